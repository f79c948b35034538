// A whole policy cycle through the exports writes its files under KESTRUNE_ROOT
// and nowhere else.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>

#include "core/kestrune.h"
#include "policy/policy_store_fixture.h"

using namespace kestrune::test;

namespace {

// Every file a policy cycle writes lies under KESTRUNE_ROOT; the default root and
// the working directory stay as they were.
std::set<std::string> listing(const std::filesystem::path &dir, bool recursive)
{
    std::set<std::string> names;
    std::error_code ec;
    auto add = [&](const std::filesystem::directory_entry &entry) {
        names.insert(std::filesystem::relative(entry.path(), dir).string() + " " +
                     std::to_string(entry.last_write_time(ec).time_since_epoch().count()));
    };
    if (recursive) {
        for (auto it = std::filesystem::recursive_directory_iterator(dir, ec); !ec && it != decltype(it)();
             it.increment(ec))
            add(*it);
    } else {
        for (auto it = std::filesystem::directory_iterator(dir, ec); !ec && it != decltype(it)(); it.increment(ec))
            add(*it);
    }
    return names;
}

TEST(PolicyStoreFiles, EverythingStaysUnderTheScratchRoot)
{
    const std::filesystem::path defaultRoot = "/var/lib/kestrune";
    const std::filesystem::path cwd = std::filesystem::current_path();
    auto defaultBefore = listing(defaultRoot, true);
    auto cwdBefore = listing(cwd, false);
    std::set<std::string> written;
    std::vector<int> results;
    {
        ScratchRoot root;
        logged([&] {
            results = {QVX_KESTRUNE_Initialize(),
                       QVX_KESTRUNE_set_storage_device_permit(QVX_KESTRUNE_STORAGE_DEVID_UDISK,
                                                              QVX_KESTRUNE_STORAGE_PERM_READ_ONLY),
                       QVX_KESTRUNE_set_normal_device_permit(QVX_KESTRUNE_NORMAL_DEVID_MOUSE,
                                                             QVX_KESTRUNE_NORMAL_PERM_DENY),
                       QVX_KESTRUNE_Apply(), QVX_KESTRUNE_Uninitialize()};
        });
        for (const auto &entry : std::filesystem::recursive_directory_iterator(root.path()))
            if (entry.is_regular_file())
                written.insert(std::filesystem::relative(entry.path(), root.path()).string());
    }
    EXPECT_EQ(results, (std::vector<int>{0, 0, 0, 0, 0}));
    EXPECT_EQ(written, (std::set<std::string>{"GroupPolicy/Machine/Registry.pol", "GroupPolicy/gpt.ini",
                                              "Policies/Machine.pol"}));
    EXPECT_EQ(listing(defaultRoot, true), defaultBefore);
    EXPECT_EQ(listing(cwd, false), cwdBefore);
}

} // namespace
