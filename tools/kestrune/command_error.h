// How the command ends: its exit statuses, and the one-line error that carries
// one of them up to main.
#ifndef KESTRUNE_TOOLS_COMMAND_ERROR_H
#define KESTRUNE_TOOLS_COMMAND_ERROR_H

#include <stdexcept>
#include <string>

namespace kestrune::cli {

enum ExitStatus : int {
    kExitSuccess = 0,
    kExitFailure = 1,          // a platform operation failed
    kExitUsage = 2,            // wrong usage: nothing was changed
    kExitNotAdministrator = 4, // missing rights for the policy store or the packet queue
};

// The message is one line that says what went wrong and what to do; main
// prefixes it with "kestrune: " and writes it to standard error.
class CommandError : public std::runtime_error {
public:
    CommandError(int status, const std::string &message) : std::runtime_error(message), status_(status) {}
    int status() const { return status_; }

private:
    int status_;
};

inline CommandError usage_error(const std::string &message)
{
    return CommandError(kExitUsage, message + "; see 'kestrune --help'");
}

} // namespace kestrune::cli

#endif
