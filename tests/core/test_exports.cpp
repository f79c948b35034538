// The shared library exports exactly the fourteen entry points, as its dynamic
// symbol table lists them.
#include <gtest/gtest.h>

#include <cstdio>
#include <iterator>
#include <set>
#include <string>

#include "support/export_names.h"

#ifndef KESTRUNE_LIBRARY_PATH
#error "KESTRUNE_LIBRARY_PATH must name the built libKestrune.so"
#endif

namespace {

TEST(Exports, ExactlyTheFourteenEntryPoints)
{
    std::set<std::string> expected(std::begin(kestrune::test::kPlainExports), std::end(kestrune::test::kPlainExports));
    expected.insert(std::begin(kestrune::test::kGccDecoratedExports), std::end(kestrune::test::kGccDecoratedExports));
    std::set<std::string> exported;
    FILE *nm = popen("nm -D --defined-only --extern-only --format=just-symbols " KESTRUNE_LIBRARY_PATH, "r");
    ASSERT_NE(nm, nullptr);
    for (char name[512]; std::fscanf(nm, "%511s", name) == 1;)
        exported.insert(name);
    EXPECT_EQ(pclose(nm), 0);
    EXPECT_EQ(exported, expected);
}

} // namespace
