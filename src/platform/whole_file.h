// Replacing a file whole, so a reader never sees half of it.
#ifndef IOCHURN_PLATFORM_WHOLE_FILE_H_
#define IOCHURN_PLATFORM_WHOLE_FILE_H_

#include <cstddef>

namespace iochurn {

// Writes `text` to `path` as a whole: into a temporary file beside it, then
// renamed over it, so a reader sees the old document or the new one, never
// half of one. Returns 0 or an errno value; leaves no temporary file behind
// on failure. Any thread.
int write_file_whole(const char* path, const char* text, size_t size);

// The temporary file write_file_whole uses for `path`: ".<name>.<pid>.tmp"
// beside it. Writes it into `out` without allocating; false when it does not
// fit. Any thread.
bool whole_file_temp_path(const char* path, char* out, size_t size);

}  // namespace iochurn

#endif  // IOCHURN_PLATFORM_WHOLE_FILE_H_
