#include "support/scratch_dir.h"

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

namespace kestrune::test {

ScratchDir::ScratchDir()
{
    char name[] = "/tmp/kestrune-test-XXXXXX";
    if (mkdtemp(name) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = name;
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ScratchRoot::ScratchRoot() { setenv("KESTRUNE_ROOT", path().c_str(), 1); }

ScratchRoot::~ScratchRoot() { unsetenv("KESTRUNE_ROOT"); }

} // namespace kestrune::test
