// The thin layer through which the policy store reaches the file system. Every
// system call that can fail goes through `posix_io`, so a test can make the Nth
// call fail and check that each failure ends in success or a clean error, with
// the policy file old or new, never torn.
#ifndef KESTRUNE_PLATFORM_POSIX_FILE_IO_H
#define KESTRUNE_PLATFORM_POSIX_FILE_IO_H

#include <dirent.h>
#include <sys/stat.h>
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
    int (*stat)(const char *path, struct stat *info);
    int (*fstat)(int fd, struct stat *info);
    int (*kill)(pid_t process, int signal);
    DIR *(*opendir)(const char *path);
};

// The calls in use; tests may replace entries and must restore them.
extern PosixIo posix_io;
extern const PosixIo kRealPosixIo;

// Not an errno: read_whole_file found a FIFO, a device, a directory or a socket
// where a policy file belongs. Such a file is never read (a FIFO would block, a
// device might never end).
inline constexpr int kNotARegularFile = -1;

// The outcome of a file operation; on failure, the call that failed and the path
// it acted on, so that the backend can name them in one diagnostic line.
struct IoResult {
    int error = 0; // errno, kNotARegularFile, or 0 for success
    const char *call = "";
    std::string path;

    bool failed() const { return error != 0; }
};

IoResult read_whole_file(const std::string &path, std::vector<uint8_t> &out);
// Replaces `path` atomically: a temporary file in the same directory (mode 0600),
// written, flushed to disk, renamed over `path`, then the directory flushed. On
// any failure the temporary file is removed and `path` is left as it was.
IoResult write_file_atomically(const std::string &path, const std::vector<uint8_t> &bytes);
// Creates `path` and its missing parents with mode 0700; existing directories are
// left as they are.
IoResult make_directories(const std::string &path);

// Removes the temporary files that write_file_atomically left beside `path` when
// its process was killed mid-write: those whose process no longer exists. Files
// of live processes (a save in progress) stay. Best effort: the first failure is
// reported, the rest of the directory is still swept.
IoResult remove_stale_temporaries(const std::string &path);

} // namespace kestrune::platform

#endif
