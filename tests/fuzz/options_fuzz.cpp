// Fuzz target for the option loop: any argument vector must leave the
// settings within their limits, or be refused with a status, without
// crashing or hanging.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "config/options.h"
#include "config/run_settings.h"

using iochurn::MonitorSettings;
using iochurn::RunSettings;

namespace {

// "-h" ends the process by design; a word that could carry it is dropped.
bool may_ask_for_help(const std::string& word) {
  return word.size() > 1 && word[0] == '-' && word.find('h') != std::string::npos;
}

void require(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Words are separated by NUL bytes, as in a real argument vector.
  std::vector<std::string> words{"iochurn"};
  std::string word;
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      words.push_back(word);
      word.clear();
    } else {
      word.push_back(static_cast<char>(data[i]));
    }
  }
  words.push_back(word);
  std::vector<char*> argv;
  for (auto& w : words)
    if (!may_ask_for_help(w)) argv.push_back(w.data());
  argv.push_back(nullptr);

  RunSettings s;
  iochurn::reset_run_settings(&s);
  MonitorSettings m;
  optind = 0;
  int rc = iochurn::process_options(static_cast<int>(argv.size()) - 1,
                                    argv.data(), &s, &m);
  // Go on, --version (0), a refused long option (2), -O without -o (7).
  require(rc == -1 || rc == 0 || rc == 2 || rc == 7);
  if (rc == -1) {
    // What the long options let through is within their limits.
    uint32_t block = s.verify_block;
    require(block >= 512 && (block & (block - 1)) == 0);
    require(s.verify_mode != iochurn::VerifyMode::kBlocks ||
            block <= iochurn::buffer_bytes(s));
    require(s.status_interval >= 0 && s.keep_failed_max >= 0);
    require(s.memory_budget_mb >= -1);
  }
  require(s.threads <= iochurn::kMaxThreads && s.threads != 0);
  require(s.filecount <= iochurn::kMaxFiles && s.filecount != 0);
  require(s.bufsize >= 1 && s.bufsize <= iochurn::kMaxBufsizeMb);
  require(iochurn::buffer_bytes(s) != 0);
  require(s.filesize != 0 && s.passes != 0 && s.io_tmout_secs != 0);
  require(s.max_int_num <= iochurn::kMaxPrimeLimit);
  require(rc != 7 || (m.monitor_threads && m.actv_mon_tmout == -1));
  iochurn::longest_temp_name(s, iochurn::host_max_pid());
  return 0;
}
