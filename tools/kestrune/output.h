// The command's standard output. The library writes its diagnostic lines to
// the process's standard output too; unless the operator asks for them with
// --verbose, they go nowhere and only the command's own output remains.
#ifndef KESTRUNE_TOOLS_OUTPUT_H
#define KESTRUNE_TOOLS_OUTPUT_H

#include <cstdio>
#include <mutex>
#include <string_view>

namespace kestrune::cli {

class Output {
public:
    explicit Output(bool library_lines);

    // Writes and flushes at once, so that a line is whole and on time also
    // from the library's notification thread. False once a write has failed;
    // error() then holds its errno.
    bool write(std::string_view text);
    int error() const;

private:
    mutable std::mutex mutex_;
    std::FILE *stream_;
    int error_ = 0;
};

} // namespace kestrune::cli

#endif
