// The thin layer through which the policy store reaches the file system. Every
// system call that can fail goes through `posix_io`, so a test can make the Nth
// call fail and check that each failure ends in success or a clean error, with
// the policy file old or new, never torn.
#ifndef KESTRUNE_PLATFORM_POSIX_FILE_IO_H
#define KESTRUNE_PLATFORM_POSIX_FILE_IO_H

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace kestrune::platform {

struct PosixIo {
    int (*open)(const char *path, int flags, mode_t mode);
    ssize_t (*read)(int fd, void *buffer, size_t count);
    ssize_t (*write)(int fd, const void *buffer, size_t count);
    int (*fsync)(int fd);
    int (*close)(int fd);
    int (*rename)(const char *from, const char *to);
    int (*unlink)(const char *path);
    int (*mkdir)(const char *path, mode_t mode);
    int (*access)(const char *path, int mode);
};

// The calls in use; tests may replace entries and must restore them.
extern PosixIo posix_io;
extern const PosixIo kRealPosixIo;

// Results carry errno (0 for success).
int read_whole_file(const std::string &path, std::vector<uint8_t> &out);
// Replaces `path` atomically: a temporary file in the same directory (mode 0600),
// written, flushed to disk, renamed over `path`, then the directory flushed. On
// any failure the temporary file is removed and `path` is left as it was.
int write_file_atomically(const std::string &path, const std::vector<uint8_t> &bytes);
// Creates `path` and its missing parents with mode 0700; existing directories are
// left as they are.
int make_directories(const std::string &path);

} // namespace kestrune::platform

#endif
