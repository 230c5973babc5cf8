/*
 * The volatile-cache mode of fusefault (--volatile): a file system that
 * loses what was not flushed, as a device with a write-back cache does when
 * the power goes. Written data of a ".DUMMY" file is held in memory until
 * that file is flushed (fsync/fdatasync), a truncation likewise, and a new
 * name until its directory is flushed (fsync of the directory). The control
 * command (fusefault --drop=MOUNTPOINT, a setxattr of "user.fusefault.drop"
 * on the mount's root) throws away everything unflushed at once. With
 * --lie, flushes return success and persist nothing.
 *
 * Deletions and renames are taken as durable at once (a rename flushes the
 * file first): losing them is allowed and the tests never need it.
 */
#ifndef FUSEFAULT_VOLATILE_CACHE_H
#define FUSEFAULT_VOLATILE_CACHE_H

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

/* Settings: written by main() before the mount, read-only afterwards. */
extern int vc_enabled;
extern int vc_lie;
extern int vc_backing_dir; /* descriptor of the backing directory */

/* The control attributes and their client: drop the unflushed state, or
 * drop it and end the daemon (a cut: the device is gone). */
#define VC_DROP_ATTR "user.fusefault.drop"
#define VC_CUT_ATTR "user.fusefault.cut"
int vc_drop_client(const char *mountpoint, const char *attr);

/* Hooks, each for a ".DUMMY" path as FUSE names it ("/x" or "/dir/x");
 * `fd` is the open backing descriptor where there is one. Return 0 or a
 * negative errno value unless said otherwise. Any request thread. */

/* A name created (the backing file exists, empty, from now on). */
void vc_created(const char *path);
/* A truncation to `size` (an O_TRUNC open gives 0); the backing file is
 * not touched until the flush. */
void vc_truncate(const char *path, int fd, uint64_t size);
/* Returns the bytes read, as pread would. */
int vc_read(const char *path, int fd, char *buf, size_t size, uint64_t off);
/* Returns the bytes written. */
int vc_write(const char *path, int fd, const char *buf, size_t size,
             uint64_t off);
/* fsync/fdatasync of the file: its data and truncation become durable. */
int vc_flush(const char *path, int fd);
/* fsync of a directory: the names created in it become durable. */
int vc_flush_dir(const char *dir);
/* Before a deletion or rename of the name. */
void vc_forget(const char *path, int flush_first);
/* The size the program sees, for a file that has volatile state. */
void vc_fix_size(const char *path, struct stat *sb);
/* Drops everything unflushed (the control command). */
void vc_drop(void);

#endif
