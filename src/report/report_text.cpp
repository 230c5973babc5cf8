// UTF-8 checks, hex bytes and time stamps for the report.
#include "report/report_text.h"

#include <time.h>

#include <cstdio>
#include <cstring>

namespace iochurn {

bool is_valid_utf8(const char* text, size_t size) {
  const auto* s = reinterpret_cast<const unsigned char*>(text);
  size_t i = 0;
  while (i < size) {
    unsigned c = s[i];
    if (c < 0x80) {
      ++i;
      continue;
    }
    int extra;
    unsigned min;
    if (c >= 0xC2 && c <= 0xDF) {
      extra = 1, min = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      extra = 2, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      extra = 3, min = 0x10000;
    } else {
      return false;
    }
    if (i + static_cast<size_t>(extra) >= size) return false;
    unsigned code = c & (0x3F >> extra);
    for (int k = 1; k <= extra; ++k) {
      unsigned next = s[i + static_cast<size_t>(k)];
      if ((next & 0xC0) != 0x80) return false;
      code = (code << 6) | (next & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += static_cast<size_t>(extra) + 1;
  }
  return true;
}

std::string hex_bytes(const char* text, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  out.reserve(size * 2);
  for (size_t i = 0; i < size; ++i) {
    auto b = static_cast<unsigned char>(text[i]);
    out += kDigits[b >> 4];
    out += kDigits[b & 0xF];
  }
  return out;
}

std::string iso8601_utc(int64_t wall_ns) {
  time_t seconds = static_cast<time_t>(wall_ns / 1000000000);
  int millis = static_cast<int>((wall_ns % 1000000000) / 1000000);
  tm utc;
  gmtime_r(&seconds, &utc);
  char text[40];
  size_t n = strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
  std::snprintf(text + n, sizeof text - n, ".%03dZ", millis);
  return text;
}

std::string error_text(int error) {
  char buffer[256];
  // The GNU strerror_r returns the text, maybe not in `buffer`.
  return strerror_r(error, buffer, sizeof buffer);
}

}  // namespace iochurn
