// ScratchDir on Windows: a fresh folder in the temporary folder, removed with
// everything in it. The policy root of ScratchRoot has no meaning here.
#include "support/scratch_dir.h"

#include <windows.h>

#include <filesystem>
#include <stdexcept>
#include <string>

namespace kestrune::test {

ScratchDir::ScratchDir()
{
    std::filesystem::path base = std::filesystem::temp_directory_path();
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        std::filesystem::path candidate =
            base / ("kestrune-test-" + std::to_string(GetCurrentProcessId()) + "-" + std::to_string(GetTickCount()) +
                    "-" + std::to_string(attempt));
        if (std::filesystem::create_directory(candidate)) {
            path_ = candidate.string();
            return;
        }
    }
    throw std::runtime_error("no scratch folder");
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

} // namespace kestrune::test
