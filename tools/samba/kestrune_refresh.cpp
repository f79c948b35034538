// kestrune-refresh: recomputes the effective machine policy from the local policy
// object and the domain policy file, as QVX_KESTRUNE_Apply's refresh does. The
// domain client calls it after writing Policies/Domain.pol. It does not go through
// Apply, which would also save the local object: a copy loaded before an
// administrator's program saves would overwrite that program's policy.
#include <cstdio>
#include <cstdlib>

#include "platform/policy_object.h"

int main(int argc, char **)
{
    if (argc != 1) {
        std::fputs("usage: kestrune-refresh (policy root from $KESTRUNE_ROOT)\n", stderr);
        return 2;
    }
    if (!kestrune::platform::refresh_policy(true)) {
        const char *root = std::getenv("KESTRUNE_ROOT");
        std::fprintf(stderr, "kestrune-refresh: refresh of machine policy under %s failed\n",
                     root != nullptr && *root != '\0' ? root : "/var/lib/kestrune");
        return 1;
    }
    return 0;
}
