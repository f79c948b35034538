#include "platform/posix/posix_file_io.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <string_view>

namespace kestrune::platform {

namespace {

int sys_open(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int sys_stat(const char *path, struct stat *info) { return ::stat(path, info); }
int sys_fstat(int fd, struct stat *info) { return ::fstat(fd, info); }

} // namespace

const PosixIo kRealPosixIo = {sys_open, ::read,  ::write,    ::fsync,    ::close, ::rename, ::unlink,
                              ::mkdir,  ::access, sys_stat, sys_fstat, ::kill,  ::opendir};
PosixIo posix_io = kRealPosixIo;

namespace {

// The failure of `call` on `path`, with the errno it left.
IoResult failure(const char *call, const std::string &path, int error = errno)
{
    return IoResult{error, call, path};
}

void close_keeping_errno(int fd)
{
    int saved = errno;
    posix_io.close(fd);
    errno = saved;
}

IoResult write_all(int fd, const std::string &path, const std::vector<uint8_t> &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = posix_io.write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return failure("write", path);
        if (n == 0)
            return failure("write", path, EIO);
        done += static_cast<size_t>(n);
    }
    return {};
}

IoResult sync_directory(const std::string &dir)
{
    int fd = posix_io.open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC, 0);
    if (fd < 0)
        return failure("open", dir);
    IoResult result;
    if (posix_io.fsync(fd) != 0)
        result = failure("fsync", dir);
    if (posix_io.close(fd) != 0 && !result.failed())
        result = failure("close", dir);
    return result;
}

std::string directory_of(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

const char kTemporaryInfix[] = ".tmp-";

// The process that wrote `name` as a temporary file of `base`
// ("<base>.tmp-<pid>-<counter>"), or 0 when `name` is not one.
pid_t temporary_file_owner(std::string_view name, std::string_view base)
{
    const std::string_view prefix = kTemporaryInfix;
    if (name.substr(0, base.size()) != base || name.substr(base.size(), prefix.size()) != prefix)
        return 0;
    name.remove_prefix(base.size() + prefix.size());
    auto number = [&name](auto &value) {
        auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), value);
        bool parsed = error == std::errc() && end != name.data();
        name.remove_prefix(static_cast<size_t>(end - name.data()));
        return parsed;
    };
    pid_t pid = 0;
    unsigned long long counter = 0;
    if (!number(pid) || pid <= 0 || name.empty() || name.front() != '-')
        return 0;
    name.remove_prefix(1);
    return number(counter) && name.empty() ? pid : 0;
}

} // namespace

IoResult read_whole_file(const std::string &path, std::vector<uint8_t> &out)
{
    out.clear();
    // Non-blocking, so that opening a FIFO returns at once; for a regular file the
    // flag changes nothing.
    int fd = posix_io.open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK, 0);
    if (fd < 0)
        return failure("open", path);
    struct stat info {};
    if (posix_io.fstat(fd, &info) != 0) {
        close_keeping_errno(fd);
        return failure("fstat", path);
    }
    if (!S_ISREG(info.st_mode)) {
        posix_io.close(fd);
        return failure("open", path, kNotARegularFile);
    }
    uint8_t buffer[65536];
    for (;;) {
        ssize_t n = posix_io.read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            close_keeping_errno(fd);
            return failure("read", path);
        }
        if (n == 0)
            break;
        out.insert(out.end(), buffer, buffer + n);
    }
    posix_io.close(fd);
    return {};
}

IoResult write_file_atomically(const std::string &path, const std::vector<uint8_t> &bytes)
{
    static std::atomic<unsigned> counter{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; fd < 0; ++attempt) {
        temp = path + kTemporaryInfix + std::to_string(::getpid()) + "-" + std::to_string(counter++);
        fd = posix_io.open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 && (errno != EEXIST || attempt == 100))
            return failure("open", temp);
    }
    IoResult result = write_all(fd, temp, bytes);
    if (!result.failed() && posix_io.fsync(fd) != 0)
        result = failure("fsync", temp);
    if (posix_io.close(fd) != 0 && !result.failed())
        result = failure("close", temp);
    if (!result.failed() && posix_io.rename(temp.c_str(), path.c_str()) != 0)
        result = failure("rename", path);
    if (result.failed()) {
        posix_io.unlink(temp.c_str());
        return result;
    }
    // The rename is durable only once the directory entry is on disk.
    return sync_directory(directory_of(path));
}

IoResult make_directories(const std::string &path)
{
    for (size_t pos = 1; pos <= path.size(); ++pos) {
        if (pos != path.size() && path[pos] != '/')
            continue;
        std::string prefix = path.substr(0, pos);
        if (posix_io.mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST)
            return failure("mkdir", prefix);
    }
    return {};
}

// A process of another PID namespace sharing the policy root would look dead
// here; its save then fails cleanly at its rename, the policy file intact.
IoResult remove_stale_temporaries(const std::string &path)
{
    const std::string dir = directory_of(path);
    const std::string base = path.substr(path.rfind('/') + 1);
    DIR *listing = posix_io.opendir(dir.c_str());
    if (listing == nullptr)
        return errno == ENOENT ? IoResult{} : failure("opendir", dir);
    IoResult result;
    while (const dirent *entry = ::readdir(listing)) {
        pid_t owner = temporary_file_owner(entry->d_name, base);
        if (owner == 0 || owner == ::getpid())
            continue;
        if (posix_io.kill(owner, 0) == 0 || errno != ESRCH)
            continue; // alive, or not ours to signal: alive all the same
        std::string stale = dir + "/" + entry->d_name;
        if (posix_io.unlink(stale.c_str()) != 0 && errno != ENOENT && !result.failed())
            result = failure("unlink", stale);
    }
    ::closedir(listing);
    return result;
}

} // namespace kestrune::platform
