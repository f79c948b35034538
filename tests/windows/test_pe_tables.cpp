// The deliverables as files, read from their PE tables: Kestrune.dll exports
// exactly the fourteen entry points at their ordinals; KestruneTest.exe imports
// the nine by ordinal and the five by their MSVC names, and carries a manifest
// that requests administrator rights; neither imports a mingw runtime DLL.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/export_names.h"
#include "support/scratch_dir.h"

namespace {

// One PE32+ image as a file, with its sections for RVA lookups. Every read is
// bounds-checked: a malformed image fails the test instead of the reader.
class PeImage {
public:
    explicit PeImage(const std::string &path) : bytes_(kestrune::test::read_file(path))
    {
        uint32_t pe = u32(0x3C);
        if (bytes_.compare(pe, 4, std::string("PE\0\0", 4)) != 0)
            throw std::runtime_error(path + " is not a PE image");
        uint32_t coff = pe + 4;
        uint16_t sections = u16(coff + 2);
        uint32_t optional = coff + 20;
        if (u16(optional) != 0x20B)
            throw std::runtime_error(path + " is not PE32+");
        directories_ = optional + 112;
        uint32_t table = optional + u16(coff + 16);
        for (uint16_t i = 0; i < sections; ++i) {
            uint32_t s = table + i * 40u;
            sections_.push_back({u32(s + 12), std::max(u32(s + 8), u32(s + 16)), u32(s + 20)});
        }
    }

    // RVA and size of data directory `index` (0 exports, 1 imports, 2 resources).
    std::pair<uint32_t, uint32_t> directory(int index) const
    {
        uint32_t entry = directories_ + static_cast<uint32_t>(index) * 8u;
        return {u32(entry), u32(entry + 4)};
    }

    uint16_t u16(uint32_t offset) const { return static_cast<uint16_t>(byte(offset) | byte(offset + 1) << 8); }
    uint32_t u32(uint32_t offset) const { return u16(offset) | static_cast<uint32_t>(u16(offset + 2)) << 16; }
    uint64_t u64(uint32_t offset) const { return u32(offset) | static_cast<uint64_t>(u32(offset + 4)) << 32; }

    uint32_t at(uint32_t rva) const
    {
        for (const Section &section : sections_)
            if (rva >= section.address && rva - section.address < section.size)
                return section.file + (rva - section.address);
        throw std::runtime_error("RVA outside every section");
    }

    std::string text_at(uint32_t rva) const
    {
        uint32_t start = at(rva);
        size_t end = bytes_.find('\0', start);
        if (end == std::string::npos)
            throw std::runtime_error("unterminated name");
        return bytes_.substr(start, end - start);
    }

    std::string bytes(uint32_t rva, uint32_t size) const
    {
        uint32_t start = at(rva);
        if (start > bytes_.size() || size > bytes_.size() - start)
            throw std::runtime_error("data outside the file");
        return bytes_.substr(start, size);
    }

private:
    struct Section {
        uint32_t address;
        uint32_t size;
        uint32_t file;
    };

    unsigned byte(uint32_t offset) const
    {
        if (offset >= bytes_.size())
            throw std::runtime_error("read past the end of the image");
        return static_cast<unsigned char>(bytes_[offset]);
    }

    std::string bytes_;
    uint32_t directories_ = 0;
    std::vector<Section> sections_;
};

struct Exports {
    std::string dllName;
    uint32_t base = 0;
    uint32_t functions = 0;
    std::map<uint32_t, std::string> names; // ordinal -> name
};

Exports exports_of(const PeImage &image)
{
    Exports out;
    auto [rva, size] = image.directory(0);
    if (size == 0)
        return out;
    uint32_t dir = image.at(rva);
    out.dllName = image.text_at(image.u32(dir + 12));
    out.base = image.u32(dir + 16);
    out.functions = image.u32(dir + 20);
    uint32_t count = image.u32(dir + 24);
    uint32_t names = image.at(image.u32(dir + 32));
    uint32_t ordinals = image.at(image.u32(dir + 36));
    for (uint32_t i = 0; i < count; ++i)
        out.names[out.base + image.u16(ordinals + 2 * i)] = image.text_at(image.u32(names + 4 * i));
    return out;
}

struct Imports {
    std::set<uint32_t> ordinals;
    std::set<std::string> names;
};

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

// Imports by DLL name (lower case).
std::map<std::string, Imports> imports_of(const PeImage &image)
{
    std::map<std::string, Imports> out;
    auto [rva, size] = image.directory(1);
    for (uint32_t descriptor = image.at(rva); size != 0 && image.u32(descriptor + 12) != 0; descriptor += 20) {
        Imports &dll = out[lower(image.text_at(image.u32(descriptor + 12)))];
        uint32_t lookup = image.u32(descriptor) != 0 ? image.u32(descriptor) : image.u32(descriptor + 16);
        for (uint32_t thunk = image.at(lookup);; thunk += 8) {
            uint64_t entry = image.u64(thunk);
            if (entry == 0)
                break;
            if (entry & (1ull << 63))
                dll.ordinals.insert(static_cast<uint32_t>(entry & 0xFFFF));
            else
                dll.names.insert(image.text_at(static_cast<uint32_t>(entry) + 2));
        }
    }
    return out;
}

// The data of resource type `type`, name `id`, first language; empty when none.
std::string resource(const PeImage &image, uint32_t type, uint32_t id)
{
    auto [rva, size] = image.directory(2);
    if (size == 0)
        return {};
    // Finds the entry with `wanted` in the directory at offset `dir` of the section.
    auto entry = [&](uint32_t dir, uint32_t wanted, bool any) -> uint32_t {
        uint32_t first = image.at(rva + dir);
        uint32_t entries = image.u16(first + 12) + image.u16(first + 14);
        for (uint32_t i = 0; i < entries; ++i) {
            uint32_t e = first + 16 + 8 * i;
            if (any || image.u32(e) == wanted)
                return image.u32(e + 4);
        }
        return 0;
    };
    uint32_t names = entry(0, type, false);
    if (!(names & 0x80000000u))
        return {};
    uint32_t languages = entry(names & 0x7FFFFFFFu, id, false);
    if (!(languages & 0x80000000u))
        return {};
    uint32_t data = entry(languages & 0x7FFFFFFFu, 0, true);
    if (data == 0 || (data & 0x80000000u))
        return {};
    uint32_t record = image.at(rva + data);
    return image.bytes(image.u32(record), image.u32(record + 4));
}

std::string beside_this_program(const char *name)
{
    char self[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string path(self, length);
    return path.substr(0, path.find_last_of('\\') + 1) + name;
}

const std::vector<std::string> kDecorated(std::begin(kestrune::test::kMsvcDecoratedExports),
                                           std::end(kestrune::test::kMsvcDecoratedExports));

TEST(PeTables, TheDllExportsExactlyTheFourteenAtTheirOrdinals)
{
    PeImage dll(beside_this_program("Kestrune.dll"));
    Exports exports = exports_of(dll);
    std::map<uint32_t, std::string> expected;
    for (uint32_t i = 0; i < 9; ++i)
        expected[1 + i] = kestrune::test::kPlainExports[i];
    for (uint32_t i = 0; i < kDecorated.size(); ++i)
        expected[10 + i] = kDecorated[i];
    EXPECT_EQ(exports.dllName, "Kestrune.dll");
    EXPECT_EQ(exports.base, 1u);
    EXPECT_EQ(exports.functions, 14u) << "every ordinal from the base on is an export";
    EXPECT_EQ(exports.names, expected);
}

TEST(PeTables, TheConsoleImportsTheNineByOrdinalAndTheFiveByName)
{
    std::map<std::string, Imports> imports = imports_of(PeImage(beside_this_program("KestruneTest.exe")));
    ASSERT_EQ(imports.count("kestrune.dll"), 1u);
    const Imports &library = imports["kestrune.dll"];
    EXPECT_EQ(library.ordinals, (std::set<uint32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(library.names, std::set<std::string>(kDecorated.begin(), kDecorated.end()));
}

TEST(PeTables, NeitherDeliverableNeedsAMingwRuntimeDll)
{
    // What Windows ships, plus the two DLLs that come with the deliverables.
    const std::set<std::string> shipped = {"advapi32.dll", "kernel32.dll", "msvcrt.dll",  "ole32.dll",
                                           "setupapi.dll", "user32.dll",   "userenv.dll", "winmm.dll"};
    const std::map<std::string, std::set<std::string>> own = {{"Kestrune.dll", {"windivert.dll"}},
                                                              {"KestruneTest.exe", {"kestrune.dll"}}};
    for (const auto &[file, companions] : own) {
        for (const auto &[dll, unused] : imports_of(PeImage(beside_this_program(file.c_str())))) {
            EXPECT_TRUE(shipped.count(dll) == 1 || companions.count(dll) == 1) << file << " imports " << dll;
        }
    }
}

TEST(PeTables, TheConsoleRequestsAdministratorRights)
{
    PeImage console(beside_this_program("KestruneTest.exe"));
    std::string manifest = resource(console, 24, 1); // RT_MANIFEST, CREATEPROCESS_MANIFEST_RESOURCE_ID
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos) << manifest;
}

} // namespace
