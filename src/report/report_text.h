// The texts the report writes besides JSON's own: UTF-8 checks, hex bytes
// and time stamps.
#ifndef IOCHURN_REPORT_REPORT_TEXT_H_
#define IOCHURN_REPORT_REPORT_TEXT_H_

#include <cstddef>
#include <cstdint>
#include <string>

namespace iochurn {

// True when `size` bytes at `text` are valid UTF-8 (no overlongs, no
// surrogates, nothing past U+10FFFF).
bool is_valid_utf8(const char* text, size_t size);

// Lower-case hex of `size` bytes.
std::string hex_bytes(const char* text, size_t size);

// "YYYY-MM-DDThh:mm:ss.mmmZ" for a wall-clock time in nanoseconds.
std::string iso8601_utc(int64_t wall_ns);

// The system's text for an errno value.
std::string error_text(int error);

}  // namespace iochurn

#endif  // IOCHURN_REPORT_REPORT_TEXT_H_
