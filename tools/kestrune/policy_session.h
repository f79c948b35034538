// The library's policy object for the length of one command: opened at
// construction, applied on request, released at the end. Releasing without
// applying drops every change, which is what makes "set" all or nothing.
#ifndef KESTRUNE_TOOLS_POLICY_SESSION_H
#define KESTRUNE_TOOLS_POLICY_SESSION_H

#include <string>

namespace kestrune::cli {

// The exit status for a result code of the library: 3 (an argument out of
// range) is wrong usage, 4 missing rights, anything else a failure.
int exit_status_of(int result);

// The advice that ends a failure message: the library says which call failed.
inline const std::string kSeeLibraryLines = "run it again with --verbose to see the library's lines";

class PolicySession {
public:
    // Throws a CommandError that says what to do when the store cannot be opened.
    PolicySession();
    ~PolicySession();
    PolicySession(const PolicySession &) = delete;
    PolicySession &operator=(const PolicySession &) = delete;

    // Saves the object and refreshes machine policy; throws on failure.
    void apply();
    // Releases the object; throws on failure.
    void close();

private:
    bool held_ = false;
};

} // namespace kestrune::cli

#endif
