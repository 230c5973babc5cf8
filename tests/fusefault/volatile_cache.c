/*
 * fusefault's volatile cache: per file, the pages written since the last
 * flush and the size the program sees; the backing file holds only what was
 * flushed, so dropping the cache is freeing it (and deleting the names whose
 * directory was never flushed).
 */
#define _GNU_SOURCE
#include "volatile_cache.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/xattr.h>
#include <unistd.h>

#define PAGE 4096u
#define MAX_VFILES 4096

int vc_enabled;
int vc_lie;
int vc_backing_dir = -1;

/*
 * One file with unflushed state. All entries are guarded by `vc_lock`;
 * request threads hold it for the whole call, which is slow but simple
 * (test files are small).
 */
struct vfile {
    char path[PATH_MAX];
    int name_durable;      /* its directory was flushed since its creation */
    uint64_t size;         /* as the program sees it */
    uint64_t base_valid;   /* bytes of the backing file still current (a
                              volatile truncation lowers it) */
    unsigned char **pages; /* dirty pages, NULL where clean */
    size_t npages;
};

static pthread_mutex_t vc_lock = PTHREAD_MUTEX_INITIALIZER;
static struct vfile *vfiles[MAX_VFILES];
static int nvfiles;

static const char *rel(const char *path)
{
    while (*path == '/')
        path++;
    return *path ? path : ".";
}

static struct vfile *find(const char *path)
{
    int i;

    for (i = 0; i < nvfiles; i++)
        if (strcmp(vfiles[i]->path, path) == 0)
            return vfiles[i];
    return NULL;
}

static void free_pages(struct vfile *v)
{
    size_t i;

    for (i = 0; i < v->npages; i++)
        free(v->pages[i]);
    free(v->pages);
    v->pages = NULL;
    v->npages = 0;
}

static void remove_entry(struct vfile *v)
{
    int i;

    for (i = 0; i < nvfiles; i++)
        if (vfiles[i] == v) {
            vfiles[i] = vfiles[--nvfiles];
            break;
        }
    free_pages(v);
    free(v);
}

/* The entry of `path`, made from the backing file's size when `fd` is
 * given and there is none; called with vc_lock held. */
static struct vfile *entry(const char *path, int fd, int durable_name)
{
    struct vfile *v = find(path);
    struct stat sb;

    if (v || nvfiles == MAX_VFILES || strlen(path) >= PATH_MAX)
        return v;
    v = calloc(1, sizeof *v);
    if (!v)
        return NULL;
    strcpy(v->path, path);
    v->name_durable = durable_name;
    if (fd >= 0 && fstat(fd, &sb) == 0)
        v->size = v->base_valid = (uint64_t)sb.st_size;
    vfiles[nvfiles++] = v;
    return v;
}

/* The clean content of page `p`: the backing file's current bytes, zeros
 * past them. */
static void clean_page(const struct vfile *v, int fd, size_t p, unsigned char *out)
{
    uint64_t start = (uint64_t)p * PAGE;
    ssize_t got = 0;

    memset(out, 0, PAGE);
    if (start < v->base_valid) {
        uint64_t want = v->base_valid - start < PAGE ? v->base_valid - start : PAGE;
        got = pread(fd, out, want, (off_t)start);
        if (got < 0)
            memset(out, 0, PAGE);
    }
}

static unsigned char *dirty_page(struct vfile *v, int fd, size_t p)
{
    if (p >= v->npages) {
        size_t n = p + 1 > v->npages * 2 ? p + 1 : v->npages * 2;
        unsigned char **grown = realloc(v->pages, n * sizeof *grown);
        if (!grown)
            return NULL;
        memset(grown + v->npages, 0, (n - v->npages) * sizeof *grown);
        v->pages = grown;
        v->npages = n;
    }
    if (!v->pages[p]) {
        v->pages[p] = malloc(PAGE);
        if (!v->pages[p])
            return NULL;
        clean_page(v, fd, p, v->pages[p]);
    }
    return v->pages[p];
}

void vc_created(const char *path)
{
    struct vfile *v;

    pthread_mutex_lock(&vc_lock);
    v = find(path);
    if (v)
        remove_entry(v);
    v = entry(path, -1, 0);
    pthread_mutex_unlock(&vc_lock);
}

void vc_truncate(const char *path, int fd, uint64_t size)
{
    struct vfile *v;
    size_t p;

    pthread_mutex_lock(&vc_lock);
    v = entry(path, fd, 1);
    if (v) {
        for (p = (size + PAGE - 1) / PAGE; p < v->npages; p++) {
            free(v->pages[p]);
            v->pages[p] = NULL;
        }
        if (size % PAGE && size / PAGE < v->npages && v->pages[size / PAGE])
            memset(v->pages[size / PAGE] + size % PAGE, 0, PAGE - size % PAGE);
        if (size < v->base_valid)
            v->base_valid = size;
        v->size = size;
    }
    pthread_mutex_unlock(&vc_lock);
}

int vc_read(const char *path, int fd, char *buf, size_t size, uint64_t off)
{
    struct vfile *v;
    size_t done = 0;
    unsigned char page[PAGE];

    pthread_mutex_lock(&vc_lock);
    v = find(path);
    if (!v) {
        ssize_t got;
        pthread_mutex_unlock(&vc_lock);
        got = pread(fd, buf, size, (off_t)off);
        return got < 0 ? -errno : (int)got;
    }
    if (off >= v->size)
        size = 0;
    else if (size > v->size - off)
        size = (size_t)(v->size - off);
    while (done < size) {
        uint64_t at = off + done;
        size_t p = (size_t)(at / PAGE), in = (size_t)(at % PAGE);
        size_t n = PAGE - in < size - done ? PAGE - in : size - done;
        const unsigned char *src;

        if (p < v->npages && v->pages[p]) {
            src = v->pages[p];
        } else {
            clean_page(v, fd, p, page);
            src = page;
        }
        memcpy(buf + done, src + in, n);
        done += n;
    }
    pthread_mutex_unlock(&vc_lock);
    return (int)size;
}

int vc_write(const char *path, int fd, const char *buf, size_t size,
             uint64_t off)
{
    struct vfile *v;
    size_t done = 0;

    pthread_mutex_lock(&vc_lock);
    v = entry(path, fd, 1);
    if (!v) {
        pthread_mutex_unlock(&vc_lock);
        return -ENOMEM;
    }
    while (done < size) {
        uint64_t at = off + done;
        size_t p = (size_t)(at / PAGE), in = (size_t)(at % PAGE);
        size_t n = PAGE - in < size - done ? PAGE - in : size - done;
        unsigned char *dst = dirty_page(v, fd, p);

        if (!dst) {
            pthread_mutex_unlock(&vc_lock);
            return -ENOMEM;
        }
        memcpy(dst + in, buf + done, n);
        done += n;
    }
    if (off + size > v->size)
        v->size = off + size;
    pthread_mutex_unlock(&vc_lock);
    return (int)size;
}

/* Writes the entry's state into the backing file; vc_lock held. */
static int persist(struct vfile *v, int fd)
{
    size_t p;

    if (ftruncate(fd, (off_t)v->base_valid) != 0)
        return -errno;
    for (p = 0; p < v->npages; p++) {
        uint64_t start = (uint64_t)p * PAGE;
        size_t n;

        if (!v->pages[p] || start >= v->size)
            continue;
        n = v->size - start < PAGE ? (size_t)(v->size - start) : PAGE;
        if (pwrite(fd, v->pages[p], n, (off_t)start) != (ssize_t)n)
            return errno ? -errno : -EIO;
    }
    if (ftruncate(fd, (off_t)v->size) != 0)
        return -errno;
    free_pages(v);
    v->base_valid = v->size;
    return 0;
}

int vc_flush(const char *path, int fd)
{
    struct vfile *v;
    int rc = 0;

    if (vc_lie)
        return 0;
    pthread_mutex_lock(&vc_lock);
    v = find(path);
    if (v)
        rc = persist(v, fd);
    pthread_mutex_unlock(&vc_lock);
    return rc;
}

int vc_flush_dir(const char *dir)
{
    size_t n = strlen(dir);
    int i;

    if (vc_lie)
        return 0;
    /* The root is "/": its files are "/x"; a subdirectory "/d" has "/d/x". */
    if (n == 1)
        n = 0;
    pthread_mutex_lock(&vc_lock);
    for (i = 0; i < nvfiles; i++) {
        const char *p = vfiles[i]->path;
        if (strncmp(p, dir, n) == 0 && p[n] == '/' && !strchr(p + n + 1, '/'))
            vfiles[i]->name_durable = 1;
    }
    pthread_mutex_unlock(&vc_lock);
    return 0;
}

void vc_forget(const char *path, int flush_first)
{
    struct vfile *v;

    pthread_mutex_lock(&vc_lock);
    v = find(path);
    if (v && flush_first) {
        /* Evidence being kept: what the program saw is what stays. */
        int fd = openat(vc_backing_dir, rel(path), O_WRONLY | O_CLOEXEC);
        if (fd >= 0) {
            (void)persist(v, fd);
            close(fd);
        }
    }
    if (v)
        remove_entry(v);
    pthread_mutex_unlock(&vc_lock);
}

void vc_fix_size(const char *path, struct stat *sb)
{
    struct vfile *v;

    pthread_mutex_lock(&vc_lock);
    v = find(path);
    if (v)
        sb->st_size = (off_t)v->size;
    pthread_mutex_unlock(&vc_lock);
}

void vc_drop(void)
{
    pthread_mutex_lock(&vc_lock);
    while (nvfiles > 0) {
        struct vfile *v = vfiles[nvfiles - 1];
        /* A name its directory never had durably is gone with the power. */
        if (!v->name_durable)
            (void)unlinkat(vc_backing_dir, rel(v->path), 0);
        remove_entry(v);
    }
    pthread_mutex_unlock(&vc_lock);
}

int vc_drop_client(const char *mountpoint, const char *attr)
{
    int cut = strcmp(attr, VC_CUT_ATTR) == 0;

    /* A cut ends the daemon before it answers. */
    if (setxattr(mountpoint, attr, "1", 1, 0) != 0 &&
        !(cut && (errno == ENOTCONN || errno == ECONNABORTED || errno == EIO))) {
        fprintf(stderr, "fusefault: --drop=%s: %s\n", mountpoint, strerror(errno));
        return 1;
    }
    return 0;
}
