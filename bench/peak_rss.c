/* Runs a command and reports its peak resident set size.
 *
 *   peak_rss command [args...]
 *
 * The command's own output is left alone; the last line on standard error
 * is "peak_rss_kb N". This exists because the kernel counts the memory of
 * the process that forked a child as the child's until it execs: a child of
 * the Python benchmark driver would report the interpreter's size. Started
 * from this small program instead, the figure is the command's own. */
#define _GNU_SOURCE
#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

int main(int argc, char **argv) {
  if (argc < 2) {
    fputs("usage: peak_rss command [args...]\n", stderr);
    return 2;
  }
  pid_t pid = fork();
  if (pid < 0) {
    perror("peak_rss: fork");
    return 2;
  }
  if (pid == 0) {
    execvp(argv[1], argv + 1);
    fprintf(stderr, "peak_rss: %s: %s\n", argv[1], strerror(errno));
    _exit(127);
  }
  int status;
  struct rusage usage;
  while (wait4(pid, &status, 0, &usage) < 0) {
    if (errno != EINTR) {
      perror("peak_rss: wait4");
      return 2;
    }
  }
  fprintf(stderr, "peak_rss_kb %ld\n", usage.ru_maxrss);
  if (WIFEXITED(status)) return WEXITSTATUS(status);
  return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}
