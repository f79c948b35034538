#include "platform/posix/posix_file_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

namespace kestrune::platform {

namespace {

int sys_open(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }

} // namespace

const PosixIo kRealPosixIo = {sys_open, ::read, ::write, ::fsync, ::close, ::rename, ::unlink, ::mkdir, ::access};
PosixIo posix_io = kRealPosixIo;

namespace {

int close_keeping_errno(int fd)
{
    int saved = errno;
    posix_io.close(fd);
    errno = saved;
    return saved;
}

int write_all(int fd, const std::vector<uint8_t> &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = posix_io.write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return errno;
        if (n == 0)
            return EIO;
        done += static_cast<size_t>(n);
    }
    return 0;
}

int sync_directory(const std::string &dir)
{
    int fd = posix_io.open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    int result = posix_io.fsync(fd) == 0 ? 0 : errno;
    if (posix_io.close(fd) != 0 && result == 0)
        result = errno;
    return result;
}

std::string directory_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

int read_whole_file(const std::string &path, std::vector<uint8_t> &out)
{
    out.clear();
    int fd = posix_io.open(path.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0)
        return errno;
    uint8_t buffer[65536];
    for (;;) {
        ssize_t n = posix_io.read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return close_keeping_errno(fd);
        if (n == 0)
            break;
        out.insert(out.end(), buffer, buffer + n);
    }
    posix_io.close(fd);
    return 0;
}

int write_file_atomically(const std::string &path, const std::vector<uint8_t> &bytes)
{
    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        temp = path + ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        fd = posix_io.open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && (errno != EEXIST || attempt == 100))
            return errno;
    }
    int result = write_all(fd, bytes);
    if (result == 0 && posix_io.fsync(fd) != 0)
        result = errno;
    if (posix_io.close(fd) != 0 && result == 0)
        result = errno;
    if (result == 0 && posix_io.rename(temp.c_str(), path.c_str()) != 0)
        result = errno;
    if (result != 0) {
        posix_io.unlink(temp.c_str());
        return result;
    }
    // The rename is durable only once the directory entry is on disk.
    return sync_directory(directory_of(path));
}

int make_directories(const std::string &path)
{
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/')
            continue;
        std::string prefix = path.substr(0, pos);
        if (posix_io.mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            return errno;
    }
    return 0;
}

} // namespace kestrune::platform
