#include "policy_session.h"

#include "command_error.h"
#include "host.h"
#include "kestrune.h"

namespace kestrune::cli {

int exit_status_of(int result)
{
    switch (result) {
    case QVX_KESTRUNE_RESULT_SUCCESS: return kExitSuccess;
    case QVX_KESTRUNE_RESULT_INVALID_PARAM: return kExitUsage;
    case QVX_KESTRUNE_RESULT_ACCESS_DENIED: return kExitNotAdministrator;
    default: return kExitFailure;
    }
}

PolicySession::PolicySession()
{
    const int result = QVX_KESTRUNE_Initialize();
    if (result == QVX_KESTRUNE_RESULT_ACCESS_DENIED)
        throw CommandError(kExitNotAdministrator, "not allowed to open the policy store in " + host::policy_root() +
                                                      "; run it as root, or set KESTRUNE_ROOT to a folder you may write");
    if (result != QVX_KESTRUNE_RESULT_SUCCESS)
        throw CommandError(exit_status_of(result), "cannot open the policy store in " + host::policy_root() +
                                                       " (result " + std::to_string(result) + "); " +
                                                       kSeeLibraryLines);
    held_ = true;
}

PolicySession::~PolicySession()
{
    if (held_)
        QVX_KESTRUNE_Uninitialize();
}

void PolicySession::apply()
{
    const int result = QVX_KESTRUNE_Apply();
    if (result != QVX_KESTRUNE_RESULT_SUCCESS)
        throw CommandError(exit_status_of(result), "the policy could not be saved and applied in " +
                                                       host::policy_root() + " (result " + std::to_string(result) +
                                                       "); " + kSeeLibraryLines);
}

void PolicySession::close()
{
    held_ = false;
    const int result = QVX_KESTRUNE_Uninitialize();
    if (result != QVX_KESTRUNE_RESULT_SUCCESS)
        throw CommandError(exit_status_of(result), "the policy store could not be released (result " +
                                                       std::to_string(result) + "); " + kSeeLibraryLines);
}

} // namespace kestrune::cli
