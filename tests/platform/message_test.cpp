// One-write messages and the line prefix of the multi-host program.
#include "platform/message.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace iochurn {
namespace {

// What one call of `write` put into a pipe standing in for `fd`.
template <typename Write>
std::string written_to(int fd, Write write_it) {
  int p[2];
  EXPECT_EQ(pipe(p), 0);
  int saved = dup(fd);
  dup2(p[1], fd);
  write_it();
  dup2(saved, fd);
  close(saved);
  close(p[1]);
  std::string out;
  char buffer[4096];
  ssize_t n;
  while ((n = read(p[0], buffer, sizeof buffer)) > 0) out.append(buffer, n);
  close(p[0]);
  return out;
}

class LinePrefix : public ::testing::Test {
 protected:
  void TearDown() override { set_line_prefix(""); }
};

TEST_F(LinePrefix, GoesBehindLeadingNewlinesOnStandardErrorOnly) {
  auto notice = [] { write_message(STDERR_FILENO, "\nsignal() %d\n", 15); };
  EXPECT_EQ(written_to(STDERR_FILENO, notice), "\nsignal() 15\n");

  set_line_prefix("[node7:3] ");
  EXPECT_EQ(written_to(STDERR_FILENO, notice), "\n[node7:3] signal() 15\n");
  EXPECT_EQ(written_to(STDERR_FILENO, [] {
              write_long_message(STDERR_FILENO, "Thread %d: ERR [open]: %s\n", 1, "x");
            }),
            "[node7:3] Thread 1: ERR [open]: x\n");
  // Descriptor 0 gets the notice as the plain program writes it.
  EXPECT_EQ(written_to(STDIN_FILENO, [] {
              write_message(STDIN_FILENO, "\nsignal() %d\n", 2);
            }),
            "\nsignal() 2\n");
}

TEST_F(LinePrefix, LongHostNamesKeepTheWholeMessage) {
  // A 64-byte host name (the longest Linux allows) and a large rank.
  std::string prefix = "[" + std::string(64, 'h') + ":1048575] ";
  set_line_prefix(prefix.c_str());
  std::string text(kMessageBufferSize - 1, 'm');
  EXPECT_EQ(written_to(STDERR_FILENO, [&] {
              write_message(STDERR_FILENO, "%s", text.c_str());
            }),
            prefix + text);
  // Text past the buffer is cut, never split into a second write.
  std::string longer = text + "tail";
  EXPECT_EQ(written_to(STDERR_FILENO, [&] {
              write_message(STDERR_FILENO, "%s", longer.c_str());
            }),
            prefix + text);
}

TEST_F(LinePrefix, EveryLineOfAWrittenTextIsPrefixed) {
  // A hang report: a line, then stack lines, then a blank line.
  std::string text = "Thread 0: HUNG [write]: 1 bytes\n  #0 f\n\n  #1 g\n";
  auto write_it = [&] { write_lines(STDERR_FILENO, text.data(), text.size()); };
  EXPECT_EQ(written_to(STDERR_FILENO, write_it), text);
  set_line_prefix("[n:1] ");
  EXPECT_EQ(written_to(STDERR_FILENO, write_it),
            "[n:1] Thread 0: HUNG [write]: 1 bytes\n[n:1]   #0 f\n\n[n:1]   #1 g\n");
  // A text longer than the buffer still comes out whole, every line marked.
  std::string many;
  for (int i = 0; i < 1000; ++i) many += "line " + std::to_string(i) + "\n";
  std::string out = written_to(STDERR_FILENO, [&] {
    write_lines(STDERR_FILENO, many.data(), many.size());
  });
  EXPECT_EQ(out.size(), many.size() + 1000 * 6);
  EXPECT_EQ(out.substr(out.size() - 15), "[n:1] line 999\n");
}

}  // namespace
}  // namespace iochurn
