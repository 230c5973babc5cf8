/*
 * LD_PRELOAD fault injector for iochurn's black-box tests.
 *
 * Faults are injected only on files whose path ends in ".DUMMY" (plus
 * pthread_create, which has no file).  Everything else passes straight
 * through, so the program's own output, logs, /proc and /dev/null are
 * never disturbed.
 *
 * Environment (read once):
 *   FAULT_OP        open|lseek|write|read|fdatasync|close|unlink|shrink|
 *                   pthread_create; unset = inert.  "fdatasync" also
 *                   matches fsync ("fsync" is accepted as an alias).
 *   FAULT_ERRNO     name (EIO, ENOSPC, ...) or number; default EIO
 *                   (EAGAIN for pthread_create).
 *   FAULT_NTH       1-based index of the first matching call to fault.
 *   FAULT_COUNT     consecutive matching calls to fault; 0 = all from NTH.
 *   FAULT_SHORT=1   read/write: transfer half the requested count instead.
 *   FAULT_SHORT_BY=N  read/write: transfer N bytes fewer than requested
 *                   (nothing when N is the count or more).
 *   FAULT_DELAY_MS  sleep this long, then do the real call (no error).
 *   FAULT_LOG       append "<op> <nth>" per injected fault to this file.
 *   FAULT_RANK      only the process of this MPI rank (OMPI_COMM_WORLD_RANK,
 *                   else PMIX_RANK, PMI_RANK or SLURM_PROCID) injects
 *                   anything; every other process, and one with no rank,
 *                   is inert.
 *
 * pthread_create counts only calls made by the program itself, not by its
 * shared libraries: MPI and others start threads of their own, in numbers
 * that are none of the test's business.
 *
 * Data faults (what a read hands back) are made by the FUSE file system
 * in tests/fusefault, which the kernel sees; this library keeps to the
 * C library's side: errors, short transfers and delays.
 *
 * A bad setting aborts the process (exit 127) rather than silently doing
 * nothing, so a typo cannot make a test pass vacuously.
 */
#undef _FORTIFY_SOURCE /* our definitions of open/read would clash */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <link.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

/* Not declared without fortification, but fortified callers link to them. */
int __open_2(const char *path, int flags);
int __open64_2(const char *path, int flags);
int __openat_2(int dirfd, const char *path, int flags);
int __openat64_2(int dirfd, const char *path, int flags);
ssize_t __read_chk(int fd, void *buf, size_t count, size_t buflen);

enum op {
    OP_NONE,
    OP_OPEN,
    OP_LSEEK,
    OP_WRITE,
    OP_READ,
    OP_SYNC,
    OP_CLOSE,
    OP_UNLINK,
    OP_SHRINK,
    OP_THREAD
};

static const struct {
    const char *name;
    enum op op;
} op_names[] = {
    {"open", OP_OPEN},     {"lseek", OP_LSEEK},   {"write", OP_WRITE},
    {"read", OP_READ},     {"fdatasync", OP_SYNC}, {"fsync", OP_SYNC},
    {"close", OP_CLOSE},   {"unlink", OP_UNLINK}, {"shrink", OP_SHRINK},
    {"pthread_create", OP_THREAD},
};

#define E(x) {#x, x}
static const struct {
    const char *name;
    int value;
} errno_names[] = {
    E(EIO),    E(ENOSPC), E(EBADF),  E(EFBIG),  E(EAGAIN), E(EMFILE),
    E(EACCES), E(EINTR),  E(EROFS),  E(ENOENT), E(EPERM),  E(ENOMEM),
    E(EINVAL), E(ENFILE), E(EDQUOT), E(EEXIST), E(EISDIR), E(ENOTDIR),
};
#undef E

static struct {
    enum op op;
    const char *op_name;
    int err;
    unsigned long long nth;
    unsigned long long count;
    int short_io;
    unsigned long long short_by;
    long delay_ms;
    const char *log_path;
} cfg;

static atomic_ullong matched;

/* One flag per descriptor: was it opened on a .DUMMY path? */
#define MAX_FD 65536
static atomic_uchar dummy_fd[MAX_FD];

static int (*real_open)(const char *, int, ...);
static int (*real_open64)(const char *, int, ...);
static int (*real_openat)(int, const char *, int, ...);
static int (*real_openat64)(int, const char *, int, ...);
static int (*real_open_2)(const char *, int);
static int (*real_open64_2)(const char *, int);
static int (*real_openat_2)(int, const char *, int);
static int (*real_openat64_2)(int, const char *, int);
static off_t (*real_lseek)(int, off_t, int);
static off64_t (*real_lseek64)(int, off64_t, int);
static ssize_t (*real_write)(int, const void *, size_t);
static ssize_t (*real_read)(int, void *, size_t);
static ssize_t (*real_read_chk)(int, void *, size_t, size_t);
static int (*real_fdatasync)(int);
static int (*real_fsync)(int);
static int (*real_close)(int);
static int (*real_unlink)(const char *);
static int (*real_unlinkat)(int, const char *, int);
static int (*real_remove)(const char *);
static int (*real_pthread_create)(pthread_t *, const pthread_attr_t *,
                                  void *(*)(void *), void *);

static pthread_once_t init_once = PTHREAD_ONCE_INIT;

static void die(const char *what, const char *value)
{
    char msg[512];
    int n = snprintf(msg, sizeof msg, "fault_inject: bad %s '%s'\n", what,
                     value ? value : "");
    if (n > 0 && real_write)
        real_write(2, msg, (size_t)n < sizeof msg ? (size_t)n : sizeof msg - 1);
    _exit(127);
}

static unsigned long long parse_num(const char *name, const char *s,
                                    unsigned long long dflt,
                                    unsigned long long min)
{
    char *end;
    unsigned long long v;

    if (!s || !*s)
        return dflt;
    errno = 0;
    v = strtoull(s, &end, 10);
    if (errno || *end || *s == '-' || v < min)
        die(name, s);
    return v;
}

static int parse_errno(const char *s, int dflt)
{
    size_t i;

    if (!s || !*s)
        return dflt;
    for (i = 0; i < sizeof errno_names / sizeof errno_names[0]; i++)
        if (strcmp(s, errno_names[i].name) == 0)
            return errno_names[i].value;
    return (int)parse_num("FAULT_ERRNO", s, 0, 1);
}

/* Is this the process FAULT_RANK names (or is no rank named)? */
static int this_rank(void)
{
    static const char *const names[] = {"OMPI_COMM_WORLD_RANK", "PMIX_RANK",
                                        "PMI_RANK", "SLURM_PROCID"};
    const char *want = getenv("FAULT_RANK"), *mine = NULL;
    size_t i;

    if (!want || !*want)
        return 1;
    for (i = 0; i < sizeof names / sizeof names[0] && !mine; i++)
        mine = getenv(names[i]);
    return mine && parse_num("FAULT_RANK", want, 0, 0) ==
                       strtoull(mine, NULL, 10);
}

#define RESOLVE(var, sym) (*(void **)&(var) = dlsym(RTLD_NEXT, sym))

static void init(void)
{
    const char *op;
    size_t i;
    int saved = errno;

    /* Resolve everything first: die() and the fault paths need them. */
    RESOLVE(real_open, "open");
    RESOLVE(real_open64, "open64");
    RESOLVE(real_openat, "openat");
    RESOLVE(real_openat64, "openat64");
    RESOLVE(real_open_2, "__open_2");
    RESOLVE(real_open64_2, "__open64_2");
    RESOLVE(real_openat_2, "__openat_2");
    RESOLVE(real_openat64_2, "__openat64_2");
    RESOLVE(real_lseek, "lseek");
    RESOLVE(real_lseek64, "lseek64");
    RESOLVE(real_write, "write");
    RESOLVE(real_read, "read");
    RESOLVE(real_read_chk, "__read_chk");
    RESOLVE(real_fdatasync, "fdatasync");
    RESOLVE(real_fsync, "fsync");
    RESOLVE(real_close, "close");
    RESOLVE(real_unlink, "unlink");
    RESOLVE(real_unlinkat, "unlinkat");
    RESOLVE(real_remove, "remove");
    RESOLVE(real_pthread_create, "pthread_create");

    if (!this_rank())
        return; /* inert: cfg stays empty */
    op = getenv("FAULT_OP");
    if (op && *op) {
        for (i = 0; i < sizeof op_names / sizeof op_names[0]; i++)
            if (strcmp(op, op_names[i].name) == 0)
                cfg.op = op_names[i].op;
        if (cfg.op == OP_NONE)
            die("FAULT_OP", op);
        cfg.op_name = op;
        cfg.err = parse_errno(getenv("FAULT_ERRNO"),
                              cfg.op == OP_THREAD ? EAGAIN : EIO);
        cfg.short_io = (int)parse_num("FAULT_SHORT", getenv("FAULT_SHORT"), 0, 0) != 0;
        cfg.short_by = parse_num("FAULT_SHORT_BY", getenv("FAULT_SHORT_BY"), 0, 0);
        cfg.delay_ms = (long)parse_num("FAULT_DELAY_MS", getenv("FAULT_DELAY_MS"), 0, 0);
    }
    if (cfg.op != OP_NONE) {
        cfg.nth = parse_num("FAULT_NTH", getenv("FAULT_NTH"), 1, 1);
        cfg.count = parse_num("FAULT_COUNT", getenv("FAULT_COUNT"), 1, 0);
        cfg.log_path = getenv("FAULT_LOG");
        if (cfg.log_path && !*cfg.log_path)
            cfg.log_path = NULL;
    }
    errno = saved;
}

/* Interposed calls can arrive before our constructor (other libraries'
 * constructors, or the dynamic loader's own users), hence the lazy init. */
static inline int active(void)
{
    pthread_once(&init_once, init);
    return cfg.op != OP_NONE;
}

__attribute__((constructor)) static void fault_inject_ctor(void)
{
    /* Validate the configuration at startup rather than at first use. */
    pthread_once(&init_once, init);
}

static int is_dummy_path(const char *path)
{
    size_t n;

    if (!path)
        return 0;
    n = strlen(path);
    return n >= 6 && memcmp(path + n - 6, ".DUMMY", 6) == 0;
}

static int is_dummy_fd(int fd)
{
    return fd >= 0 && fd < MAX_FD &&
           atomic_load_explicit(&dummy_fd[fd], memory_order_relaxed);
}

static void track(int fd, const char *path)
{
    /* Set on every successful open so a stale flag (descriptor closed
     * behind our back, e.g. by fclose) cannot leak onto a new file. */
    if (fd >= 0 && fd < MAX_FD) {
        atomic_store_explicit(&dummy_fd[fd], (unsigned char)is_dummy_path(path),
                              memory_order_relaxed);
    }
}

static void log_fault(unsigned long long nth)
{
    char line[64];
    int n, fd, saved = errno;

    if (!cfg.log_path)
        return;
    n = snprintf(line, sizeof line, "%s %llu\n", cfg.op_name, nth);
    fd = real_open(cfg.log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (fd >= 0) {
        /* One write per line keeps lines whole when threads fault together. */
        if (real_write(fd, line, (size_t)n) < 0) {
            /* nothing useful to do; the test will notice the missing line */
        }
        real_close(fd);
    }
    errno = saved;
}

static void sleep_ms(long ms)
{
    struct timespec ts = {ms / 1000, (ms % 1000) * 1000000L};
    int saved = errno;

    while (nanosleep(&ts, &ts) != 0 && errno == EINTR)
        ;
    errno = saved;
}

/* Returns nonzero if this matching call of the configured op is to be
 * faulted; the counter is shared by all threads. Also handles the log and
 * the delay, which are the same for every op. */
static int hit(enum op op)
{
    unsigned long long n;

    if (cfg.op != op)
        return 0;
    n = atomic_fetch_add(&matched, 1) + 1;
    if (n < cfg.nth || (cfg.count && n - cfg.nth >= cfg.count))
        return 0;
    log_fault(n);
    if (cfg.delay_ms)
        sleep_ms(cfg.delay_ms);
    return 1;
}

/* Faults that don't call through: either delay only, or fail. */
#define FAIL_UNLESS_DELAYED(ret)   \
    do {                           \
        if (!cfg.delay_ms) {       \
            errno = cfg.err;       \
            return ret;            \
        }                          \
    } while (0)

/* ---- open family ---- */

/* Returns 1 if the open must fail instead of calling through. */
static int open_fault(const char *path)
{
    if (!is_dummy_path(path) || !hit(OP_OPEN) || cfg.delay_ms)
        return 0;
    errno = cfg.err;
    return 1;
}

static mode_t take_mode(int flags, va_list ap)
{
    if ((flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE)
        return (mode_t)va_arg(ap, int);
    return 0;
}

#define OPEN_BODY(real, ...)                      \
    int fd;                                       \
    if (!active())                                \
        return real(__VA_ARGS__);                 \
    if (open_fault(path))                         \
        return -1;                                \
    fd = real(__VA_ARGS__);                       \
    track(fd, path);                              \
    return fd

int open(const char *path, int flags, ...)
{
    va_list ap;
    mode_t mode;

    va_start(ap, flags);
    mode = take_mode(flags, ap);
    va_end(ap);
    OPEN_BODY(real_open, path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
    va_list ap;
    mode_t mode;

    va_start(ap, flags);
    mode = take_mode(flags, ap);
    va_end(ap);
    OPEN_BODY(real_open64, path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    mode_t mode;

    va_start(ap, flags);
    mode = take_mode(flags, ap);
    va_end(ap);
    OPEN_BODY(real_openat, dirfd, path, flags, mode);
}

int openat64(int dirfd, const char *path, int flags, ...)
{
    va_list ap;
    mode_t mode;

    va_start(ap, flags);
    mode = take_mode(flags, ap);
    va_end(ap);
    OPEN_BODY(real_openat64, dirfd, path, flags, mode);
}

int __open_2(const char *path, int flags)
{
    OPEN_BODY(real_open_2, path, flags);
}

int __open64_2(const char *path, int flags)
{
    OPEN_BODY(real_open64_2, path, flags);
}

int __openat_2(int dirfd, const char *path, int flags)
{
    OPEN_BODY(real_openat_2, dirfd, path, flags);
}

int __openat64_2(int dirfd, const char *path, int flags)
{
    OPEN_BODY(real_openat64_2, dirfd, path, flags);
}

/* ---- lseek (and shrink) ---- */

static void shrink_to_half(int fd)
{
    struct stat st;
    int saved = errno;

    if (fstat(fd, &st) == 0 && ftruncate(fd, st.st_size / 2) != 0) {
        /* the read-back check will still see the full file; nothing else to do */
    }
    errno = saved;
}

/* Returns 1 if the caller must fail with -1 instead of seeking. */
static int lseek_fault(int fd)
{
    if (!is_dummy_fd(fd))
        return 0;
    if (cfg.op == OP_SHRINK) {
        if (hit(OP_SHRINK))
            shrink_to_half(fd);
        return 0;
    }
    if (!hit(OP_LSEEK) || cfg.delay_ms)
        return 0;
    errno = cfg.err;
    return 1;
}

off_t lseek(int fd, off_t off, int whence)
{
    if (active() && lseek_fault(fd))
        return -1;
    return real_lseek(fd, off, whence);
}

off64_t lseek64(int fd, off64_t off, int whence)
{
    if (active() && lseek_fault(fd))
        return -1;
    return real_lseek64(fd, off, whence);
}

/* ---- read / write ---- */

/* Adjusts *count for a short transfer; returns 1 if the call must fail. */
static int rw_fault(enum op op, int fd, size_t *count)
{
    if (!is_dummy_fd(fd) || !hit(op))
        return 0;
    if (cfg.short_io) {
        *count /= 2; /* always below the request; 1 byte becomes 0 */
        return 0;
    }
    if (cfg.short_by) {
        *count = *count > cfg.short_by ? *count - cfg.short_by : 0;
        return 0;
    }
    if (cfg.delay_ms)
        return 0;
    errno = cfg.err;
    return 1;
}

ssize_t write(int fd, const void *buf, size_t count)
{
    if (active() && rw_fault(OP_WRITE, fd, &count))
        return -1;
    return real_write(fd, buf, count);
}

ssize_t read(int fd, void *buf, size_t count)
{
    if (active() && rw_fault(OP_READ, fd, &count))
        return -1;
    return real_read(fd, buf, count);
}

ssize_t __read_chk(int fd, void *buf, size_t count, size_t buflen)
{
    /* Let the real one report the overflow; otherwise it's a plain read. */
    if (count > buflen)
        return real_read_chk(fd, buf, count, buflen);
    return read(fd, buf, count);
}

/* ---- sync ---- */

int fdatasync(int fd)
{
    if (active() && is_dummy_fd(fd) && hit(OP_SYNC))
        FAIL_UNLESS_DELAYED(-1);
    return real_fdatasync(fd);
}

int fsync(int fd)
{
    if (active() && is_dummy_fd(fd) && hit(OP_SYNC))
        FAIL_UNLESS_DELAYED(-1);
    return real_fsync(fd);
}

/* ---- close ---- */

int close(int fd)
{
    int was_dummy, ret;

    if (!active() || fd < 0 || fd >= MAX_FD)
        return real_close(fd);
    /* Forget before closing: once closed, another thread may reopen the
     * same number and its flag must not be wiped by us afterwards. */
    was_dummy = atomic_exchange(&dummy_fd[fd], 0);
    if (!was_dummy || !hit(OP_CLOSE))
        return real_close(fd);
    ret = real_close(fd); /* always really close, so nothing leaks */
    if (cfg.delay_ms)
        return ret;
    errno = cfg.err;
    return -1;
}

/* ---- unlink ---- */

int unlink(const char *path)
{
    if (active() && is_dummy_path(path) && hit(OP_UNLINK))
        FAIL_UNLESS_DELAYED(-1);
    return real_unlink(path);
}

int unlinkat(int dirfd, const char *path, int flags)
{
    if (active() && is_dummy_path(path) && hit(OP_UNLINK))
        FAIL_UNLESS_DELAYED(-1);
    return real_unlinkat(dirfd, path, flags);
}

int remove(const char *path)
{
    if (active() && is_dummy_path(path) && hit(OP_UNLINK))
        FAIL_UNLESS_DELAYED(-1);
    return real_remove(path);
}

/* ---- threads ---- */

/* dl_iterate_phdr visits the program itself first. */
static int program_holds(struct dl_phdr_info *info, size_t size, void *data)
{
    uintptr_t addr = (uintptr_t)data;
    int i;

    (void)size;
    for (i = 0; i < info->dlpi_phnum; i++) {
        const ElfW(Phdr) *ph = &info->dlpi_phdr[i];
        uintptr_t start = info->dlpi_addr + ph->p_vaddr;
        if (ph->p_type == PT_LOAD && addr >= start && addr - start < ph->p_memsz)
            return 1;
    }
    return -1; /* stop after the first object either way */
}

static int called_by_program(const void *return_address)
{
    return dl_iterate_phdr(program_holds, (void *)return_address) == 1;
}

int pthread_create(pthread_t *thread, const pthread_attr_t *attr,
                   void *(*start)(void *), void *arg)
{
    if (active() && cfg.op == OP_THREAD &&
        called_by_program(__builtin_return_address(0)) && hit(OP_THREAD) &&
        !cfg.delay_ms)
        return cfg.err;
    return real_pthread_create(thread, attr, start, arg);
}
