#include "output.h"

#include <cerrno>

#include "host.h"

namespace kestrune::cli {

Output::Output(bool library_lines) : stream_(host::take_standard_output(library_lines)) {}

bool Output::write(std::string_view text)
{
    std::lock_guard lock(mutex_);
    if (error_ != 0)
        return false;
    errno = 0;
    if (std::fwrite(text.data(), 1, text.size(), stream_) != text.size() || std::fflush(stream_) != 0)
        error_ = errno != 0 ? errno : EIO;
    return error_ == 0;
}

int Output::error() const
{
    std::lock_guard lock(mutex_);
    return error_;
}

} // namespace kestrune::cli
