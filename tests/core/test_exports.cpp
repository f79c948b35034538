// The shared library exports exactly the fourteen entry points, read from its
// dynamic symbol table.
#include <elf.h>
#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <set>
#include <string>

#include "support/export_names.h"
#include "support/scratch_dir.h"

#ifndef KESTRUNE_LIBRARY_PATH
#error "KESTRUNE_LIBRARY_PATH must name the built libKestrune.so"
#endif

namespace {

std::set<std::string> defined_dynamic_symbols(const std::string &image)
{
    std::set<std::string> names;
    auto header = reinterpret_cast<const Elf64_Ehdr *>(image.data());
    if (image.size() < sizeof(Elf64_Ehdr) || std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 ||
        header->e_ident[EI_CLASS] != ELFCLASS64)
        return names;
    auto sections = reinterpret_cast<const Elf64_Shdr *>(image.data() + header->e_shoff);
    for (int i = 0; i < header->e_shnum; ++i) {
        if (sections[i].sh_type != SHT_DYNSYM)
            continue;
        const Elf64_Shdr &strtab = sections[sections[i].sh_link];
        auto symbols = reinterpret_cast<const Elf64_Sym *>(image.data() + sections[i].sh_offset);
        size_t count = sections[i].sh_size / sizeof(Elf64_Sym);
        for (size_t s = 1; s < count; ++s) {
            if (symbols[s].st_shndx == SHN_UNDEF || ELF64_ST_BIND(symbols[s].st_info) == STB_LOCAL)
                continue;
            names.insert(image.data() + strtab.sh_offset + symbols[s].st_name);
        }
    }
    return names;
}

TEST(Exports, ExactlyTheFourteenEntryPoints)
{
    std::set<std::string> expected(std::begin(kestrune::test::kPlainExports), std::end(kestrune::test::kPlainExports));
    expected.insert(std::begin(kestrune::test::kGccDecoratedExports), std::end(kestrune::test::kGccDecoratedExports));
    EXPECT_EQ(defined_dynamic_symbols(kestrune::test::read_file(KESTRUNE_LIBRARY_PATH)), expected);
}

} // namespace
