/*
 * fusefault: a pass-through FUSE file system that injects one kind of data
 * fault per mount, for black-box tests that must see what the kernel really
 * hands back (a preload library only sees the C library's side).
 *
 * Usage: fusefault [options] <backing-dir> <mountpoint> [-f] [-o ...]
 *
 *   --fault=KIND    flip        a read returns one payload bit flipped
 *                   zero-read   a read returns the block as zeros
 *                   undelivered a read returns the block as the reader's
 *                               buffer held it before the read, had the
 *                               read reported bytes it never delivered:
 *                               the poison a verifying reader puts there
 *                               ("ICHPOISN", then 0xA5 bytes)
 *                   misplace    a read of the block at A returns the block
 *                               stored at A + block of the same file
 *                   drop-write  a write is acknowledged but the block is
 *                               not stored (it stays a hole)
 *                   misdirect   the block written for offset A lands at the
 *                               block before it, B = A - block; A stays a hole
 *                   swap        the blocks at A and A + block change places
 *                   stale       the block is stored as it was in the previous
 *                               incarnation of the same file name
 *                   foreign     a read returns the same block of another
 *                               file (of the same worker where there is one)
 *                   short-read  every read of more than 512 bytes returns
 *                               512 bytes fewer, the rest left to the next
 *                               call (legal, and what FUSE and NFS may do);
 *                               nothing is logged
 *                   none        (default) pass everything through
 *   --count=N       faulted blocks per file incarnation (default 1)
 *   --block=BYTES   block size (default 4096)
 *   --span=BYTES    faults land in the first BYTES of a file (default 1 MiB);
 *                   never in its first or last block of the span
 *   --log=FILE      one line per injection, written at once:
 *                   "<kind> <path> <offset> [<detail>]", the path as seen
 *                   through the mount
 *   --volatile      hold unflushed data and names in memory (volatile_cache.h);
 *   --lie           with --volatile: flushes succeed and persist nothing
 *   --drop=MOUNT    client: drop everything unflushed on the mount, and exit
 *   --cut=MOUNT     client: the same, and the daemon ends at once (a power
 *                   cut: every later request fails; a fresh mount on the same
 *                   backing directory sees only what was flushed)
 *   --stall=OP      write|read|fsync|unlink|close|open|statfs: the
 *                   --stall-after=N-th such call (default 1) blocks until
 *                   --release=FILE exists or the mount goes away; logged
 *                   "stall <op> <path> <off>" (statfs: of any path, since
 *                   it names the file system rather than a file)
 *
 * Only files whose name ends in ".DUMMY" are faulted. An incarnation of a
 * name starts when it is created or truncated to zero; the faulted blocks of
 * an incarnation are a fixed function of the name and the incarnation number,
 * so a run can be repeated, and the log says where they went.
 */
#define FUSE_USE_VERSION 31
#define _GNU_SOURCE
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <fuse.h>
#include <fuse_lowlevel.h>
#include <limits.h>
#include <stdarg.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include "volatile_cache.h"

enum fault {
    F_NONE,
    F_FLIP,
    F_ZERO_READ,
    F_DROP_WRITE,
    F_MISDIRECT,
    F_SWAP,
    F_STALE,
    F_FOREIGN,
    F_UNDELIVERED,
    F_MISPLACE,
    F_SHORT_READ
};

static const char *const fault_names[] = {
    "none", "flip", "zero-read", "drop-write", "misdirect", "swap", "stale",
    "foreign", "undelivered", "misplace", "short-read",
};

enum stall_op {
    S_NONE, S_WRITE, S_READ, S_FSYNC, S_UNLINK, S_CLOSE, S_OPEN, S_STATFS
};

static const char *const stall_names[] = {
    "none", "write", "read", "fsync", "unlink", "close", "open", "statfs",
};

#define COUNT_OF(names) ((int)(sizeof(names) / sizeof *(names)))
#define MAX_COUNT 16
#define MAX_FILES 4096

/* Settings: written by main() before the mount, read-only afterwards. */
static struct {
    enum fault fault;
    unsigned count;
    uint64_t block;
    uint64_t span;
    enum stall_op stall;
    unsigned long long stall_after;
    const char *release;
    int log_fd;
    int backing;          /* descriptor of the backing directory */
    const char *mountpoint;
} cfg = {F_NONE, 1, 4096, 1 << 20, S_NONE, 1, NULL, -1, -1, NULL};

/* Calls of the stalled operation seen so far, by all request threads. */
static atomic_ullong stall_seen;

/*
 * What is known about one .DUMMY name. The table is shared by the request
 * threads and guarded by `lock`; entries are never freed (names are few in a
 * test run, and an open handle keeps a pointer to its entry).
 */
struct file_state {
    char name[NAME_MAX + 2];        /* "/<name>", as FUSE passes it */
    unsigned incarnation;           /* 1 = first creation */
    int live;                       /* exists in the backing directory */
    int written;                    /* written since the incarnation began */
    uint64_t target[MAX_COUNT];     /* faulted block offsets, this one */
    int done[MAX_COUNT];            /* already injected this incarnation */
    uint64_t covered[MAX_COUNT];    /* read faults: bytes of the block
                                       faulted so far (a block may span
                                       two read requests) */
    struct file_state *from[MAX_COUNT]; /* foreign: the file taken from */
    unsigned char *held[MAX_COUNT]; /* swap: the lower block, kept until
                                       the upper one is written */
    int held_ok[MAX_COUNT];
    unsigned char *prev[MAX_COUNT]; /* stale: block at target[i] from the
                                       previous incarnation */
    int prev_ok[MAX_COUNT];
    unsigned char *next[MAX_COUNT]; /* stale: this incarnation's block at
                                       the next incarnation's targets */
    int next_ok[MAX_COUNT];
};

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static struct file_state *files[MAX_FILES];
static int nfiles;

/* An open file or directory: the backing descriptor, for a directory its
 * stream, and for a .DUMMY file its entry. */
struct handle {
    int fd;
    DIR *dir;
    struct file_state *st;
    char *dir_path; /* a directory's path, for its flush */
};

static void die(const char *what, const char *value)
{
    fprintf(stderr, "fusefault: bad %s '%s'\n", what, value ? value : "");
    exit(2);
}

static int is_dummy(const char *path)
{
    size_t n = path ? strlen(path) : 0;

    return n >= 6 && memcmp(path + n - 6, ".DUMMY", 6) == 0;
}

/* Paths below the backing directory: FUSE passes "/x", openat wants "x". */
static const char *rel(const char *path)
{
    while (*path == '/')
        path++;
    return *path ? path : ".";
}

static void log_line(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

static void log_line(const char *fmt, ...)
{
    char line[PATH_MAX + 256];
    va_list ap;
    int n;

    if (cfg.log_fd < 0)
        return;
    va_start(ap, fmt);
    n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n <= 0)
        return;
    if ((size_t)n >= sizeof line)
        n = sizeof line - 1;
    /* One write on an O_APPEND descriptor: lines stay whole and are on disk
     * for the test as soon as the faulted call returns. */
    if (write(cfg.log_fd, line, (size_t)n) < 0) {
        /* the test notices a missing line */
    }
}

static uint64_t mix(uint64_t x)
{
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdULL;
    x ^= x >> 33;
    x *= 0xc4ceb9fe1a85ec53ULL;
    return x ^ (x >> 33);
}

static uint64_t name_hash(const char *name)
{
    uint64_t h = 1469598103934665603ULL;

    while (*name)
        h = (h ^ (unsigned char)*name++) * 1099511628211ULL;
    return h;
}

/*
 * Block offset of fault i in incarnation k of a name. The span is cut into
 * `count` segments and each fault stays two blocks clear of its segment's
 * edges, so the block before it (misdirect) and after it (swap) belong to
 * the same fault, and the faulted block is never the last one written (a
 * dropped last block would make the file short instead of holed).
 */
static uint64_t target_of(const char *name, unsigned k, unsigned i)
{
    uint64_t seg = cfg.span / cfg.block / cfg.count;
    uint64_t h = mix(name_hash(name) + 0x9e3779b97f4a7c15ULL * k + i);

    return (i * seg + 2 + h % (seg - 3)) * cfg.block;
}

/* Starts a new incarnation; called with `lock` held. */
static void begin_incarnation(struct file_state *st)
{
    unsigned i;

    st->incarnation++;
    st->written = 0;
    for (i = 0; i < cfg.count; i++) {
        st->target[i] = target_of(st->name, st->incarnation, i);
        st->done[i] = 0;
        st->covered[i] = 0;
        st->from[i] = NULL;
        st->held_ok[i] = 0;
        /* What was kept for this incarnation's targets becomes the stale
         * data; a fresh capture begins for the next one's. */
        if (cfg.fault == F_STALE) {
            unsigned char *t = st->prev[i];
            st->prev[i] = st->next[i];
            st->prev_ok[i] = st->next_ok[i];
            st->next[i] = t;
            st->next_ok[i] = 0;
        }
    }
}

/* The entry for a .DUMMY name, created on first sight; called with `lock`
 * held. NULL for other names, or when the table is full (no faults then). */
static struct file_state *lookup(const char *path, int create)
{
    struct file_state *st;
    unsigned i;
    int n;

    if (!is_dummy(path) || strlen(path) > NAME_MAX + 1)
        return NULL;
    for (n = 0; n < nfiles; n++)
        if (strcmp(files[n]->name, path) == 0)
            return files[n];
    if (!create || nfiles == MAX_FILES)
        return NULL;
    st = calloc(1, sizeof *st);
    if (!st)
        return NULL;
    strcpy(st->name, path);
    for (i = 0; i < cfg.count; i++) {
        st->held[i] = malloc(cfg.block);
        st->prev[i] = malloc(cfg.block);
        st->next[i] = malloc(cfg.block);
        if (!st->held[i] || !st->prev[i] || !st->next[i])
            return NULL;
    }
    files[nfiles++] = st;
    return st;
}

/* A file (re)created or truncated to zero starts a new incarnation; the
 * kernel may report one truncation twice (setattr, then open with O_TRUNC),
 * hence the check for writes in between. */
static void truncated(const char *path, int created)
{
    struct file_state *st;

    pthread_mutex_lock(&lock);
    st = lookup(path, 1);
    if (st && (created || !st->live || st->written || st->incarnation == 0))
        begin_incarnation(st);
    if (st)
        st->live = 1;
    pthread_mutex_unlock(&lock);
}

/*
 * Blocks the calling request thread when this is the chosen call of the
 * stalled operation, until the release file appears or the session ends
 * (an aborted connection or a signal ends it, so the test can always get
 * out).
 */
static void maybe_stall(enum stall_op op, const char *path, uint64_t off)
{
    struct fuse_context *ctx;
    struct timespec tick = {0, 10 * 1000 * 1000};

    if (cfg.stall != op || (op != S_STATFS && !is_dummy(path)))
        return;
    if (atomic_fetch_add(&stall_seen, 1) + 1 != cfg.stall_after)
        return;
    log_line("stall %s %s%s %llu\n", stall_names[op], cfg.mountpoint, path,
             (unsigned long long)off);
    ctx = fuse_get_context();
    while (access(cfg.release, F_OK) != 0 &&
           !fuse_session_exited(fuse_get_session(ctx->fuse)))
        nanosleep(&tick, NULL);
}

/* ---- metadata ---- */

/* The handle of an open file or directory, or NULL. Paths may be NULL
 * where a handle is given (nullpath_ok), so the handle comes first. */
static struct handle *handle_of(const struct fuse_file_info *fi)
{
    return fi && fi->fh ? (struct handle *)(uintptr_t)fi->fh : NULL;
}

static void *ff_init(struct fuse_conn_info *conn, struct fuse_config *c)
{
    (void)conn;
    /* No attribute or name caching: sizes seen by the program are always
     * the backing file's. */
    c->entry_timeout = 0;
    c->attr_timeout = 0;
    c->negative_timeout = 0;
    /* Reads and writes must reach us, not the page cache. */
    c->direct_io = 1;
    /* Unlink really unlinks even while a file is open, so no hidden files
     * are left for the test's empty-directory check; I/O goes through the
     * handle, which needs no path. */
    c->hard_remove = 1;
    c->nullpath_ok = 1;
    return NULL;
}

static int ff_getattr(const char *path, struct stat *sb, struct fuse_file_info *fi)
{
    struct handle *h = handle_of(fi);
    int rc = h ? fstat(h->fd, sb)
               : fstatat(cfg.backing, rel(path), sb, AT_SYMLINK_NOFOLLOW);

    if (rc != 0)
        return -errno;
    if (vc_enabled && h && h->st)
        vc_fix_size(h->st->name, sb);
    else if (vc_enabled && !h && is_dummy(path))
        vc_fix_size(path, sb);
    return 0;
}

static int ff_opendir(const char *path, struct fuse_file_info *fi)
{
    struct handle *h = calloc(1, sizeof *h);
    int fd;

    if (!h)
        return -ENOMEM;
    fd = openat(cfg.backing, rel(path), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    h->dir = fd >= 0 ? fdopendir(fd) : NULL;
    if (!h->dir) {
        int e = errno;
        if (fd >= 0)
            close(fd);
        free(h);
        return -e;
    }
    h->fd = fd;
    h->dir_path = strdup(path);
    fi->fh = (uint64_t)(uintptr_t)h;
    return 0;
}

static int ff_readdir(const char *path, void *buf, fuse_fill_dir_t fill,
                      off_t off, struct fuse_file_info *fi,
                      enum fuse_readdir_flags flags)
{
    struct handle *h = handle_of(fi);
    struct dirent *de;

    (void)path, (void)off, (void)flags;
    /* Listed whole each time: directories here are small. */
    rewinddir(h->dir);
    while ((de = readdir(h->dir)) != NULL)
        if (fill(buf, de->d_name, NULL, 0, 0))
            break;
    return 0;
}

static int ff_releasedir(const char *path, struct fuse_file_info *fi)
{
    struct handle *h = handle_of(fi);

    (void)path;
    closedir(h->dir);
    free(h->dir_path);
    free(h);
    return 0;
}

static int ff_mkdir(const char *path, mode_t mode)
{
    return mkdirat(cfg.backing, rel(path), mode) == 0 ? 0 : -errno;
}

static int ff_rmdir(const char *path)
{
    return unlinkat(cfg.backing, rel(path), AT_REMOVEDIR) == 0 ? 0 : -errno;
}

static int ff_unlink(const char *path)
{
    struct file_state *st;

    maybe_stall(S_UNLINK, path, 0);
    if (vc_enabled && is_dummy(path))
        vc_forget(path, 0);
    if (unlinkat(cfg.backing, rel(path), 0) != 0)
        return -errno;
    pthread_mutex_lock(&lock);
    st = lookup(path, 0);
    if (st)
        st->live = 0;
    pthread_mutex_unlock(&lock);
    return 0;
}

static int ff_rename(const char *from, const char *to, unsigned int flags)
{
    struct file_state *st;

    if (vc_enabled && is_dummy(from))
        vc_forget(from, 1);
    /* renameat2 through syscall(): older C libraries lack the wrapper. */
    if (syscall(SYS_renameat2, cfg.backing, rel(from), cfg.backing, rel(to),
                flags) != 0)
        return -errno;
    pthread_mutex_lock(&lock);
    st = lookup(from, 0);
    if (st)
        st->live = 0;
    pthread_mutex_unlock(&lock);
    return 0;
}

static int ff_truncate(const char *path, off_t size, struct fuse_file_info *fi)
{
    struct handle *h = handle_of(fi);
    int rc;

    if (vc_enabled && ((h && h->st) || (!h && is_dummy(path)))) {
        /* Held until the file's flush. */
        int fd = h ? h->fd : openat(cfg.backing, rel(path), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return -errno;
        vc_truncate(h ? h->st->name : path, fd, (uint64_t)size);
        if (!h)
            close(fd);
        if (size == 0)
            truncated(h ? h->st->name : path, 0);
        return 0;
    }
    if (h)
        rc = ftruncate(h->fd, size);
    else {
        int fd = openat(cfg.backing, rel(path), O_WRONLY | O_CLOEXEC);
        if (fd < 0)
            return -errno;
        rc = ftruncate(fd, size);
        if (rc != 0) {
            int e = errno;
            close(fd);
            errno = e;
        } else {
            close(fd);
        }
    }
    if (rc != 0)
        return -errno;
    if (size == 0 && h && h->st)
        truncated(h->st->name, 0);
    else if (size == 0 && path && is_dummy(path))
        truncated(path, 0);
    return 0;
}

static int ff_utimens(const char *path, const struct timespec tv[2],
                      struct fuse_file_info *fi)
{
    struct handle *h = handle_of(fi);
    int rc = h ? futimens(h->fd, tv)
               : utimensat(cfg.backing, rel(path), tv, AT_SYMLINK_NOFOLLOW);

    return rc == 0 ? 0 : -errno;
}

static int ff_chmod(const char *path, mode_t mode, struct fuse_file_info *fi)
{
    struct handle *h = handle_of(fi);
    int rc = h ? fchmod(h->fd, mode) : fchmodat(cfg.backing, rel(path), mode, 0);

    return rc == 0 ? 0 : -errno;
}

static int ff_statfs(const char *path, struct statvfs *sv)
{
    maybe_stall(S_STATFS, path, 0);
    return fstatvfs(cfg.backing, sv) == 0 ? 0 : -errno;
}

/* ---- open files ---- */

static int open_common(const char *path, struct fuse_file_info *fi,
                       mode_t mode, int create)
{
    struct handle *h;
    /* The mount already bypasses the page cache (direct_io); passing
     * O_DIRECT on would only impose alignment on our own buffers. */
    int flags = (fi->flags & ~O_DIRECT) | O_CLOEXEC;
    int volatile_file = vc_enabled && is_dummy(path);
    int fd;

    /* A volatile truncation leaves the backing file alone until the flush. */
    if (volatile_file)
        flags &= ~O_TRUNC;

    maybe_stall(S_OPEN, path, 0);
    fd = create ? openat(cfg.backing, rel(path), flags | O_CREAT, mode)
                : openat(cfg.backing, rel(path), flags);
    if (fd < 0)
        return -errno;
    h = calloc(1, sizeof *h);
    if (!h) {
        close(fd);
        return -ENOMEM;
    }
    h->fd = fd;
    if (volatile_file && create)
        vc_created(path);
    else if (volatile_file && (fi->flags & O_TRUNC))
        vc_truncate(path, fd, 0);
    if (is_dummy(path)) {
        if (create || (fi->flags & O_TRUNC))
            truncated(path, create);
        pthread_mutex_lock(&lock);
        h->st = lookup(path, 1);
        if (h->st)
            h->st->live = 1;
        pthread_mutex_unlock(&lock);
    }
    fi->fh = (uint64_t)(uintptr_t)h;
    fi->direct_io = 1;
    fi->keep_cache = 0;
    return 0;
}

static int ff_open(const char *path, struct fuse_file_info *fi)
{
    return open_common(path, fi, 0, 0);
}

static int ff_create(const char *path, mode_t mode, struct fuse_file_info *fi)
{
    return open_common(path, fi, mode, 1);
}

static int ff_flush(const char *path, struct fuse_file_info *fi)
{
    struct handle *h = (struct handle *)(uintptr_t)fi->fh;

    if (h->st)
        maybe_stall(S_CLOSE, h->st->name, 0);
    (void)path;
    return 0;
}

static int ff_release(const char *path, struct fuse_file_info *fi)
{
    struct handle *h = (struct handle *)(uintptr_t)fi->fh;

    (void)path;
    close(h->fd);
    free(h);
    return 0;
}

static int ff_fsync(const char *path, int datasync, struct fuse_file_info *fi)
{
    struct handle *h = (struct handle *)(uintptr_t)fi->fh;
    int rc;

    if (h->st)
        maybe_stall(S_FSYNC, h->st->name, 0);
    (void)path;
    if (vc_enabled && h->st)
        return vc_flush(h->st->name, h->fd);
    rc = datasync ? fdatasync(h->fd) : fsync(h->fd);
    return rc == 0 ? 0 : -errno;
}

static int ff_fsyncdir(const char *path, int datasync, struct fuse_file_info *fi)
{
    struct handle *h = handle_of(fi);

    (void)path, (void)datasync;
    if (vc_enabled)
        return vc_flush_dir(h->dir_path);
    return fsync(h->fd) == 0 ? 0 : -errno;
}

/* The volatile cache's control: a setxattr on the mount's root. */
static int ff_setxattr(const char *path, const char *name, const char *value,
                       size_t size, int flags)
{
    (void)value, (void)size, (void)flags;
    if (vc_enabled && strcmp(path, "/") == 0 && strcmp(name, VC_DROP_ATTR) == 0) {
        vc_drop();
        log_line("drop %s\n", cfg.mountpoint);
        return 0;
    }
    if (vc_enabled && strcmp(path, "/") == 0 && strcmp(name, VC_CUT_ATTR) == 0) {
        vc_drop();
        log_line("cut %s\n", cfg.mountpoint);
        _exit(0);
    }
    return -ENOTSUP;
}

/* ---- data ---- */

static int contains(uint64_t off, size_t size, uint64_t block)
{
    return block >= off && block + cfg.block <= off + size;
}

/* Another live .DUMMY file to take a block from, preferring one of the same
 * worker ("<pid>_<thread>_" prefix): those are complete and not being
 * rewritten while this worker reads. Called with `lock` held. */
static struct file_state *sibling_of(const struct file_state *st, uint64_t end)
{
    const char *cut = strrchr(st->name, '_');
    size_t prefix = cut ? (size_t)(cut - st->name) + 1 : 0;
    struct file_state *any = NULL;
    struct stat sb;
    int n;

    for (n = 0; n < nfiles; n++) {
        struct file_state *o = files[n];
        if (o == st || !o->live)
            continue;
        if (fstatat(cfg.backing, rel(o->name), &sb, 0) != 0 ||
            (uint64_t)sb.st_size < end)
            continue;
        if (prefix && strncmp(o->name, st->name, prefix) == 0)
            return o;
        if (!any)
            any = o;
    }
    return any;
}

/*
 * The read-side faults. A block may come in two requests when the reader's
 * buffer is not page-aligned, so each request damages its own part of the
 * block; the line is logged once the whole block was damaged.
 */
static void read_faults(struct file_state *st, int fd, char *buf, size_t got,
                        uint64_t off)
{
    unsigned i;

    pthread_mutex_lock(&lock);
    for (i = 0; i < cfg.count; i++) {
        uint64_t t = st->target[i];
        uint64_t lo = t > off ? t : off;
        uint64_t hi = t + cfg.block < off + got ? t + cfg.block : off + got;

        if (st->done[i] || lo >= hi)
            continue;
        if (cfg.fault == F_FLIP) {
            /* Past the 64-byte block header: the bits of the payload. */
            uint64_t h = mix(t ^ st->incarnation);
            uint64_t at = t + 64 + h % (cfg.block - 64);

            if (at < lo || at >= hi)
                continue;
            buf[at - off] ^= (char)(1u << (h >> 32) % 8);
            log_line("flip %s%s %llu byte=%llu\n", cfg.mountpoint, st->name,
                     (unsigned long long)t, (unsigned long long)at);
            st->done[i] = 1;
            continue;
        }
        if (cfg.fault == F_ZERO_READ) {
            memset(buf + (lo - off), 0, hi - lo);
        } else if (cfg.fault == F_UNDELIVERED) {
            static const char magic[8] = {'I', 'C', 'H', 'P', 'O', 'I', 'S', 'N'};
            uint64_t at;

            for (at = lo; at < hi; at++)
                buf[at - off] = at - t < 8 ? magic[at - t] : (char)0xA5;
        } else if (cfg.fault == F_MISPLACE) {
            if (pread(fd, buf + (lo - off), hi - lo, (off_t)(lo + cfg.block)) !=
                (ssize_t)(hi - lo))
                continue; /* no block after it yet: not injected */
        } else if (cfg.fault == F_FOREIGN) {
            struct file_state *o = st->from[i] ? st->from[i]
                                               : sibling_of(st, t + cfg.block);
            int fd = o ? openat(cfg.backing, rel(o->name), O_RDONLY | O_CLOEXEC) : -1;
            ssize_t n = fd >= 0 ? pread(fd, buf + (lo - off), hi - lo, (off_t)lo) : -1;

            if (fd >= 0)
                close(fd);
            if (n != (ssize_t)(hi - lo))
                continue; /* nothing to take from: not injected */
            st->from[i] = o;
        }
        st->covered[i] += hi - lo;
        if (st->covered[i] < cfg.block)
            continue;
        st->done[i] = 1;
        if (cfg.fault == F_ZERO_READ || cfg.fault == F_UNDELIVERED)
            log_line("%s %s%s %llu\n", fault_names[cfg.fault], cfg.mountpoint,
                     st->name, (unsigned long long)t);
        else if (cfg.fault == F_MISPLACE)
            log_line("misplace %s%s %llu from=%llu\n", cfg.mountpoint, st->name,
                     (unsigned long long)t, (unsigned long long)(t + cfg.block));
        else
            log_line("foreign %s%s %llu from=%s%s\n", cfg.mountpoint, st->name,
                     (unsigned long long)t, cfg.mountpoint, st->from[i]->name);
    }
    pthread_mutex_unlock(&lock);
}

static int ff_read(const char *path, char *buf, size_t size, off_t off,
                   struct fuse_file_info *fi)
{
    struct handle *h = (struct handle *)(uintptr_t)fi->fh;
    ssize_t got;

    (void)path;
    if (h->st)
        maybe_stall(S_READ, h->st->name, (uint64_t)off);
    if (h->st && cfg.fault == F_SHORT_READ && size > 512)
        size -= 512;
    if (vc_enabled && h->st)
        return vc_read(h->st->name, h->fd, buf, size, (uint64_t)off);
    got = pread(h->fd, buf, size, off);
    if (got < 0)
        return -errno;
    if (h->st && (cfg.fault == F_FLIP || cfg.fault == F_ZERO_READ ||
                  cfg.fault == F_FOREIGN || cfg.fault == F_UNDELIVERED ||
                  cfg.fault == F_MISPLACE))
        read_faults(h->st, h->fd, buf, (size_t)got, (uint64_t)off);
    return (int)got;
}

/* Writes [buf, buf + size) at off except the blocks at the offsets in
 * skip[0..nskip), which are left unwritten (holes in a fresh file). */
static int pwrite_except(int fd, const char *buf, size_t size, uint64_t off,
                         const uint64_t *skip, unsigned nskip)
{
    size_t at = 0;

    while (at < size) {
        size_t end = size;
        unsigned i;

        /* The run from `at` ends at the nearest skipped block after it. */
        for (i = 0; i < nskip; i++)
            if (skip[i] - off >= at && skip[i] - off < end)
                end = (size_t)(skip[i] - off);
        if (end > at &&
            pwrite(fd, buf + at, end - at, (off_t)(off + at)) != (ssize_t)(end - at))
            return errno ? -errno : -EIO;
        at = end == size ? size : end + cfg.block;
    }
    return 0;
}

/*
 * The write-side faults. The request is copied so that it can be changed.
 * Blocks are only faulted when one request holds them whole: requests are
 * cut at page boundaries of the writer's buffer, so a page-aligned buffer
 * (the program's always is) written in whole blocks gives whole blocks.
 */
static int faulty_write(struct handle *h, const char *in, size_t size, uint64_t off)
{
    struct file_state *st = h->st;
    char *buf = malloc(size ? size : 1);
    uint64_t skip[MAX_COUNT];
    unsigned nskip = 0, i;
    int rc = 0;

    if (!buf)
        return -ENOMEM;
    memcpy(buf, in, size);
    pthread_mutex_lock(&lock);
    st->written = 1;
    for (i = 0; i < cfg.count; i++) {
        uint64_t t = st->target[i];
        uint64_t p = t + cfg.block; /* swap partner */

        /* Keep this incarnation's block at the next one's target. */
        if (cfg.fault == F_STALE) {
            uint64_t n = target_of(st->name, st->incarnation + 1, i);
            if (contains(off, size, n)) {
                memcpy(st->next[i], in + (n - off), cfg.block);
                st->next_ok[i] = 1;
            }
        }
        if (st->done[i])
            continue;
        switch (cfg.fault) {
        case F_DROP_WRITE:
            if (!contains(off, size, t))
                continue;
            skip[nskip++] = t;
            log_line("drop-write %s%s %llu\n", cfg.mountpoint, st->name,
                     (unsigned long long)t);
            break;
        case F_MISDIRECT:
            if (!contains(off, size, t))
                continue;
            /* The block before belongs to this fault alone and was written
             * before (earlier request); when it is in this request too, it
             * is simply overwritten in the copy. */
            skip[nskip++] = t;
            if (contains(off, size, t - cfg.block))
                memcpy(buf + (t - cfg.block - off), in + (t - off), cfg.block);
            else if (pwrite(h->fd, in + (t - off), cfg.block,
                            (off_t)(t - cfg.block)) != (ssize_t)cfg.block)
                rc = errno ? -errno : -EIO;
            log_line("misdirect %s%s %llu to=%llu\n", cfg.mountpoint, st->name,
                     (unsigned long long)t, (unsigned long long)(t - cfg.block));
            break;
        case F_SWAP:
            if (contains(off, size, t) && contains(off, size, p)) {
                memcpy(buf + (t - off), in + (p - off), cfg.block);
                memcpy(buf + (p - off), in + (t - off), cfg.block);
            } else if (contains(off, size, t)) {
                /* The partner comes with a later request: write this one
                 * as it is for now, and keep it. */
                memcpy(st->held[i], in + (t - off), cfg.block);
                st->held_ok[i] = 1;
                continue;
            } else if (contains(off, size, p) && st->held_ok[i]) {
                memcpy(buf + (p - off), st->held[i], cfg.block);
                if (pwrite(h->fd, in + (p - off), cfg.block, (off_t)t) !=
                    (ssize_t)cfg.block)
                    rc = errno ? -errno : -EIO;
            } else {
                continue;
            }
            log_line("swap %s%s %llu with=%llu\n", cfg.mountpoint, st->name,
                     (unsigned long long)t, (unsigned long long)p);
            break;
        case F_STALE:
            if (!contains(off, size, t) || !st->prev_ok[i])
                continue;
            memcpy(buf + (t - off), st->prev[i], cfg.block);
            log_line("stale %s%s %llu incarnation=%u\n", cfg.mountpoint,
                     st->name, (unsigned long long)t, st->incarnation - 1);
            break;
        default:
            continue;
        }
        st->done[i] = 1;
    }
    pthread_mutex_unlock(&lock);

    if (rc == 0)
        rc = pwrite_except(h->fd, buf, size, off, skip, nskip);
    free(buf);
    return rc == 0 ? (int)size : rc;
}

static int ff_write(const char *path, const char *buf, size_t size, off_t off,
                    struct fuse_file_info *fi)
{
    struct handle *h = (struct handle *)(uintptr_t)fi->fh;
    ssize_t put;

    (void)path;
    if (h->st) {
        maybe_stall(S_WRITE, h->st->name, (uint64_t)off);
        if (cfg.fault == F_DROP_WRITE || cfg.fault == F_MISDIRECT ||
            cfg.fault == F_SWAP || cfg.fault == F_STALE)
            return faulty_write(h, buf, size, (uint64_t)off);
        pthread_mutex_lock(&lock);
        h->st->written = 1;
        pthread_mutex_unlock(&lock);
        if (vc_enabled)
            return vc_write(h->st->name, h->fd, buf, size, (uint64_t)off);
    }
    put = pwrite(h->fd, buf, size, off);
    return put < 0 ? -errno : (int)put;
}

static const struct fuse_operations ops = {
    .init = ff_init,
    .getattr = ff_getattr,
    .opendir = ff_opendir,
    .readdir = ff_readdir,
    .releasedir = ff_releasedir,
    .mkdir = ff_mkdir,
    .rmdir = ff_rmdir,
    .unlink = ff_unlink,
    .rename = ff_rename,
    .truncate = ff_truncate,
    .utimens = ff_utimens,
    .chmod = ff_chmod,
    .statfs = ff_statfs,
    .open = ff_open,
    .create = ff_create,
    .flush = ff_flush,
    .release = ff_release,
    .fsync = ff_fsync,
    .fsyncdir = ff_fsyncdir,
    .setxattr = ff_setxattr,
    .read = ff_read,
    .write = ff_write,
};

/* ---- start-up ---- */

static uint64_t parse_size(const char *name, const char *s, uint64_t min)
{
    char *end;
    unsigned long long v;

    errno = 0;
    v = strtoull(s, &end, 10);
    if (errno || *end || *s == '-' || !*s || v < min)
        die(name, s);
    return v;
}

static int lookup_name(const char *const *names, int n, const char *what,
                       const char *s)
{
    int i;

    for (i = 0; i < n; i++)
        if (strcmp(names[i], s) == 0)
            return i;
    die(what, s);
    return 0;
}

/* Takes our own --options out of argv; the rest is for libfuse. */
static int take_options(int argc, char **argv)
{
    int in, out = 1;

    for (in = 1; in < argc; in++) {
        char *a = argv[in];
        char *v = strchr(a, '=');

        if (strcmp(a, "--volatile") == 0 || strcmp(a, "--lie") == 0) {
            vc_enabled = 1;
            vc_lie |= a[2] == 'l';
            continue;
        }
        if (strncmp(a, "--drop=", 7) == 0)
            exit(vc_drop_client(a + 7, VC_DROP_ATTR));
        if (strncmp(a, "--cut=", 6) == 0)
            exit(vc_drop_client(a + 6, VC_CUT_ATTR));
        if (strncmp(a, "--", 2) != 0 || !v) {
            argv[out++] = a;
            continue;
        }
        v++;
        if (strncmp(a, "--fault=", 8) == 0)
            cfg.fault = (enum fault)lookup_name(fault_names, COUNT_OF(fault_names),
                                                "--fault", v);
        else if (strncmp(a, "--count=", 8) == 0)
            cfg.count = (unsigned)parse_size("--count", v, 1);
        else if (strncmp(a, "--block=", 8) == 0)
            cfg.block = parse_size("--block", v, 512);
        else if (strncmp(a, "--span=", 7) == 0)
            cfg.span = parse_size("--span", v, 1);
        else if (strncmp(a, "--log=", 6) == 0) {
            cfg.log_fd = open(v, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (cfg.log_fd < 0)
                die("--log", v);
        } else if (strncmp(a, "--stall=", 8) == 0)
            cfg.stall = (enum stall_op)lookup_name(stall_names, COUNT_OF(stall_names),
                                                   "--stall", v);
        else if (strncmp(a, "--stall-after=", 14) == 0)
            cfg.stall_after = parse_size("--stall-after", v, 1);
        else if (strncmp(a, "--release=", 10) == 0)
            cfg.release = v;
        else
            argv[out++] = a;
    }
    argv[out] = NULL;
    if (cfg.count > MAX_COUNT)
        die("--count (at most 16)", "");
    if (cfg.block & (cfg.block - 1))
        die("--block (a power of two)", "");
    if (cfg.span / cfg.block / cfg.count < 4)
        die("--span (at least 4 blocks per fault)", "");
    if (cfg.stall != S_NONE && !cfg.release)
        die("--release (needed with --stall)", "");
    return out;
}

int main(int argc, char **argv)
{
    struct fuse_cmdline_opts opts;
    struct fuse_args args;
    struct fuse *fuse;
    const char *backing;
    int rc;

    argc = take_options(argc, argv);
    /* The backing directory is the first plain argument; libfuse takes the
     * second as the mount point. */
    if (argc < 3 || argv[1][0] == '-') {
        fprintf(stderr, "usage: fusefault [--fault=KIND] [--count=N] [--block=B] "
                        "[--span=B] [--log=FILE] [--stall=OP --stall-after=N "
                        "--release=FILE] <backing-dir> <mountpoint> [-f] [-o opt]\n");
        return 2;
    }
    backing = argv[1];
    memmove(&argv[1], &argv[2], (size_t)(argc - 1) * sizeof *argv);
    argc--;
    cfg.backing = open(backing, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (cfg.backing < 0)
        die("backing directory", backing);
    vc_backing_dir = cfg.backing;

    args = (struct fuse_args)FUSE_ARGS_INIT(argc, argv);
    if (fuse_parse_cmdline(&args, &opts) != 0 || !opts.mountpoint)
        die("mount point", argc > 1 ? argv[1] : "");
    cfg.mountpoint = opts.mountpoint;

    fuse = fuse_new(&args, &ops, sizeof ops, NULL);
    if (!fuse)
        return 1;
    if (fuse_mount(fuse, opts.mountpoint) != 0)
        return 1;
    if (fuse_daemonize(opts.foreground) != 0 ||
        fuse_set_signal_handlers(fuse_get_session(fuse)) != 0) {
        fuse_unmount(fuse);
        return 1;
    }
    rc = opts.singlethread ? fuse_loop(fuse) : fuse_loop_mt(fuse, 0);
    fuse_remove_signal_handlers(fuse_get_session(fuse));
    fuse_unmount(fuse);
    fuse_destroy(fuse);
    free(opts.mountpoint);
    fuse_opt_free_args(&args);
    return rc ? 1 : 0;
}
