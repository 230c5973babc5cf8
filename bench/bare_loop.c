/* The bare reference loop for the benchmarks: exactly the churn one iochurn
 * worker does with one file, and nothing else (no progress output, no
 * watchdog, no bookkeeping), so that its run time is the limit the program
 * is measured against.
 *
 * Per pass and per thread: allocate and fill the buffer (memset with the
 * slot number), open the file O_RDWR|O_CREAT|O_TRUNC, write it in
 * chunk-sized writes summing the bytes, seek to 0, read it back summing,
 * compare the sums, close, unlink, free. --alloc-once keeps one buffer per
 * thread for all passes instead (the practical limit).
 *
 *   bare_loop [-j threads] [-f file_mb] [-s chunk_mb] [-p passes] [-t dir]
 *             [--sync] [--alloc-once] [--unaligned]
 */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__SSE2__)
#include <emmintrin.h>
#define BARE_HAVE_SSE2 1
#endif

#define MB (1024ull * 1024ull)
#define PAGE_BYTES 4096

struct options {
  int threads;
  uint64_t file_bytes;
  size_t chunk_bytes;
  long passes;
  const char *dir;
  int sync_writes;
  int alloc_once;
  int unaligned;
};

static struct options opt = {1, 16 * MB, 4 * MB, 1, "/tmp", 0, 0, 0};

struct thread_result {
  int index;
  int slot; /* always 0: one file per thread, like iochurn's default -n 1 */
  int failed;
  uint64_t bytes_written;
  uint64_t bytes_read;
};

/* Sum of the byte values modulo 2^32. psadbw adds eight bytes into a 64-bit
 * lane at a time; four independent accumulators keep the adds off the
 * critical path. */
static uint32_t byte_sum(const uint8_t *p, size_t n) {
  uint64_t total = 0;
  size_t i = 0;
#ifdef BARE_HAVE_SSE2
  const __m128i zero = _mm_setzero_si128();
  __m128i a0 = zero, a1 = zero, a2 = zero, a3 = zero;
  for (; i + 64 <= n; i += 64) {
    a0 = _mm_add_epi64(a0, _mm_sad_epu8(_mm_loadu_si128((const __m128i *)(p + i)), zero));
    a1 = _mm_add_epi64(a1, _mm_sad_epu8(_mm_loadu_si128((const __m128i *)(p + i + 16)), zero));
    a2 = _mm_add_epi64(a2, _mm_sad_epu8(_mm_loadu_si128((const __m128i *)(p + i + 32)), zero));
    a3 = _mm_add_epi64(a3, _mm_sad_epu8(_mm_loadu_si128((const __m128i *)(p + i + 48)), zero));
  }
  __m128i acc = _mm_add_epi64(_mm_add_epi64(a0, a1), _mm_add_epi64(a2, a3));
  total = (uint64_t)_mm_cvtsi128_si64(acc) +
          (uint64_t)_mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc));
#endif
  for (; i < n; ++i) total += p[i];
  return (uint32_t)total;
}

static int write_all(int fd, const uint8_t *buf, size_t n) {
  ssize_t done = write(fd, buf, n);
  if (done < 0) return errno;
  return (size_t)done == n ? 0 : ENOSPC;
}

static int read_all(int fd, uint8_t *buf, size_t n) {
  ssize_t done = read(fd, buf, n);
  if (done < 0) return errno;
  return (size_t)done == n ? 0 : ENODATA;
}

/* A page-aligned buffer, as the program uses (direct I/O needs it), filled
 * with the slot number. glibc serves an aligned request of this size with a fresh
 * mapping each time, so the every-pass mode pays the page faults again on
 * every pass; --unaligned uses plain malloc, which glibc reuses from the
 * second pass on but which is 16 bytes off a page boundary. */
static uint8_t *get_buffer(int slot) {
  void *buf = NULL;
  if (opt.unaligned) {
    buf = malloc(opt.chunk_bytes);
  } else {
    int rc = posix_memalign(&buf, PAGE_BYTES, opt.chunk_bytes);
    if (rc != 0) {
      errno = rc;
      buf = NULL;
    }
  }
  if (buf == NULL) {
    perror("bare_loop: allocating the buffer");
    return NULL;
  }
  memset(buf, slot & 0xFF, opt.chunk_bytes);
  return buf;
}

/* One pass over the thread's single file; 0 on success. */
static int one_pass(struct thread_result *r, const char *path, uint8_t *buf) {
  int fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) {
    fprintf(stderr, "bare_loop: open %s: %s\n", path, strerror(errno));
    return 1;
  }
  int error = 0;
  uint32_t write_sum = 0, read_sum = 0;
  uint64_t left = opt.file_bytes;
  while (left != 0 && error == 0) {
    size_t n = left < opt.chunk_bytes ? (size_t)left : opt.chunk_bytes;
    write_sum += byte_sum(buf, n);
    error = write_all(fd, buf, n);
    if (error == 0 && opt.sync_writes && fdatasync(fd) != 0) error = errno;
    if (error == 0) r->bytes_written += n;
    left -= n;
  }
  if (error == 0 && lseek(fd, 0, SEEK_SET) != 0) error = errno;
  left = opt.file_bytes;
  while (left != 0 && error == 0) {
    size_t n = left < opt.chunk_bytes ? (size_t)left : opt.chunk_bytes;
    error = read_all(fd, buf, n);
    if (error == 0) {
      read_sum += byte_sum(buf, n);
      r->bytes_read += n;
    }
    left -= n;
  }
  if (error != 0)
    fprintf(stderr, "bare_loop: %s: %s\n", path, strerror(error));
  else if (read_sum != write_sum) {
    fprintf(stderr, "bare_loop: %s: sums differ, write=%u read=%u\n", path,
            write_sum, read_sum);
    error = -1;
  }
  close(fd);
  unlink(path);
  return error != 0;
}

static void *thread_main(void *arg) {
  struct thread_result *r = arg;
  char path[4096];
  snprintf(path, sizeof path, "%s/bare_%d_%d_0.DUMMY", opt.dir, (int)getpid(),
           r->index);
  uint8_t *kept = opt.alloc_once ? get_buffer(r->slot) : NULL;
  if (opt.alloc_once && kept == NULL) {
    r->failed = 1;
    return NULL;
  }
  for (long pass = 0; pass < opt.passes && !r->failed; ++pass) {
    uint8_t *buf = kept != NULL ? kept : get_buffer(r->slot);
    if (buf == NULL) {
      r->failed = 1;
      break;
    }
    r->failed = one_pass(r, path, buf);
    if (kept == NULL) free(buf);
  }
  free(kept);
  return NULL;
}

static void usage(FILE *out) {
  fputs("usage: bare_loop [-j threads] [-f file_mb] [-s chunk_mb] [-p passes]\n"
        "                 [-t dir] [--sync] [--alloc-once]\n"
        "  -j, --threads N     worker threads (default 1)\n"
        "  -f, --file-mb N     file size in MB (default 16)\n"
        "  -s, --chunk-mb N    write/read size and buffer size in MB (default 4)\n"
        "  -p, --passes N      passes per thread (default 1)\n"
        "  -t, --dir DIR       directory of the files (default /tmp)\n"
        "  -y, --sync          fdatasync after every write\n"
        "  -1, --alloc-once    one buffer per thread for all passes\n"
        "                      (default: allocate, fill and free every pass)\n"
        "  -u, --unaligned     plain malloc instead of page-aligned buffers\n",
        out);
}

static long positive(const char *text, const char *what) {
  char *end;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < 1) {
    fprintf(stderr, "bare_loop: bad %s: %s\n", what, text);
    exit(2);
  }
  return v;
}

int main(int argc, char **argv) {
  static const struct option longs[] = {
      {"threads", required_argument, NULL, 'j'},
      {"file-mb", required_argument, NULL, 'f'},
      {"chunk-mb", required_argument, NULL, 's'},
      {"passes", required_argument, NULL, 'p'},
      {"dir", required_argument, NULL, 't'},
      {"sync", no_argument, NULL, 'y'},
      {"alloc-once", no_argument, NULL, '1'},
      {"unaligned", no_argument, NULL, 'u'},
      {"help", no_argument, NULL, 'h'},
      {NULL, 0, NULL, 0}};
  int c;
  while ((c = getopt_long(argc, argv, "j:f:s:p:t:y1uh", longs, NULL)) != -1) {
    switch (c) {
      case 'j': opt.threads = (int)positive(optarg, "thread count"); break;
      case 'f': opt.file_bytes = (uint64_t)positive(optarg, "file size") * MB; break;
      case 's': opt.chunk_bytes = (size_t)positive(optarg, "chunk size") * MB; break;
      case 'p': opt.passes = positive(optarg, "pass count"); break;
      case 't': opt.dir = optarg; break;
      case 'y': opt.sync_writes = 1; break;
      case '1': opt.alloc_once = 1; break;
      case 'u': opt.unaligned = 1; break;
      case 'h': usage(stdout); return 0;
      default: usage(stderr); return 2;
    }
  }
  if (optind != argc) {
    usage(stderr);
    return 2;
  }

  struct thread_result *results = calloc((size_t)opt.threads, sizeof *results);
  pthread_t *ids = calloc((size_t)opt.threads, sizeof *ids);
  if (results == NULL || ids == NULL) {
    perror("bare_loop: calloc");
    return 1;
  }
  int started = 0;
  for (int t = 0; t < opt.threads; ++t) {
    results[t].index = t;
    int rc = pthread_create(&ids[t], NULL, thread_main, &results[t]);
    if (rc != 0) {
      fprintf(stderr, "bare_loop: pthread_create: %s\n", strerror(rc));
      results[t].failed = 1;
      break;
    }
    ++started;
  }
  uint64_t written = 0, read_back = 0;
  int failed = started != opt.threads;
  for (int t = 0; t < started; ++t) {
    pthread_join(ids[t], NULL);
    written += results[t].bytes_written;
    read_back += results[t].bytes_read;
    failed |= results[t].failed;
  }
  printf("Read_Bytes=%llu   Write_Bytes=%llu\n", (unsigned long long)read_back,
         (unsigned long long)written);
  free(ids);
  free(results);
  return failed ? 1 : 0;
}
