// The deliverables as a program built elsewhere meets them. Their PE tables, read
// from images the loader maps without running them: Kestrune.dll exports exactly
// the fourteen at their ordinals; KestruneTest.exe imports the nine by ordinal and
// the five by their MSVC names, asks for administrator rights, and needs no mingw
// runtime DLL. And a caller binding the DLL at run time, by ordinal and by name.
#include <windows.h>

#include <gtest/gtest.h>

#include <cctype>
#include <map>
#include <set>
#include <stdexcept>
#include <string>

#include "kestrune.h"
#include "support/export_names.h"
#include "support/stdout_capture.h"

namespace {

using kestrune::test::kMsvcDecoratedExports;
using kestrune::test::kPlainExports;

// An image mapped as the loader maps it, without its imports resolved or its
// code run; RVAs are offsets from its base.
class MappedImage {
public:
    explicit MappedImage(const wchar_t *file) : module_(LoadLibraryExW(file, nullptr, LOAD_LIBRARY_AS_IMAGE_RESOURCE))
    {
        if (module_ == nullptr)
            throw std::runtime_error("LoadLibraryExW error " + std::to_string(GetLastError()));
        base_ = reinterpret_cast<const BYTE *>(reinterpret_cast<ULONG_PTR>(module_) & ~ULONG_PTR{3});
    }
    ~MappedImage() { FreeLibrary(module_); }
    MappedImage(const MappedImage &) = delete;
    MappedImage &operator=(const MappedImage &) = delete;

    template <typename T>
    const T *at(DWORD rva) const
    {
        return reinterpret_cast<const T *>(base_ + rva);
    }
    const IMAGE_DATA_DIRECTORY &directory(int index) const
    {
        auto nt = at<IMAGE_NT_HEADERS64>(static_cast<DWORD>(at<IMAGE_DOS_HEADER>(0)->e_lfanew));
        return nt->OptionalHeader.DataDirectory[index];
    }
    HMODULE module() const { return module_; }

private:
    HMODULE module_;
    const BYTE *base_;
};

struct Imports {
    std::set<WORD> ordinals;
    std::set<std::string> names;
};

// Imports by DLL name in lower case.
std::map<std::string, Imports> imports_of(const MappedImage &image)
{
    std::map<std::string, Imports> out;
    auto descriptor = image.at<IMAGE_IMPORT_DESCRIPTOR>(image.directory(IMAGE_DIRECTORY_ENTRY_IMPORT).VirtualAddress);
    for (; descriptor->Name != 0; ++descriptor) {
        std::string dll = image.at<char>(descriptor->Name);
        for (char &c : dll)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        DWORD lookup = descriptor->OriginalFirstThunk != 0 ? descriptor->OriginalFirstThunk : descriptor->FirstThunk;
        for (auto thunk = image.at<IMAGE_THUNK_DATA64>(lookup); thunk->u1.AddressOfData != 0; ++thunk) {
            if (IMAGE_SNAP_BY_ORDINAL64(thunk->u1.Ordinal))
                out[dll].ordinals.insert(static_cast<WORD>(IMAGE_ORDINAL64(thunk->u1.Ordinal)));
            else
                out[dll].names.insert(image.at<IMAGE_IMPORT_BY_NAME>(static_cast<DWORD>(thunk->u1.AddressOfData))->Name);
        }
    }
    return out;
}

TEST(Deliverables, TheDllExportsExactlyTheFourteenAtTheirOrdinals)
{
    MappedImage dll(L"Kestrune.dll");
    auto exports = dll.at<IMAGE_EXPORT_DIRECTORY>(dll.directory(IMAGE_DIRECTORY_ENTRY_EXPORT).VirtualAddress);
    EXPECT_STREQ(dll.at<char>(exports->Name), "Kestrune.dll");
    EXPECT_EQ(exports->Base, 1u);
    EXPECT_EQ(exports->NumberOfFunctions, 14u) << "every ordinal from the base on is an export";
    std::map<DWORD, std::string> named, expected;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        named[exports->Base + dll.at<WORD>(exports->AddressOfNameOrdinals)[i]] =
            dll.at<char>(dll.at<DWORD>(exports->AddressOfNames)[i]);
    for (DWORD i = 0; i < 14; ++i)
        expected[1 + i] = i < 9 ? kPlainExports[i] : kMsvcDecoratedExports[i - 9];
    EXPECT_EQ(named, expected);
}

TEST(Deliverables, TheConsoleImportsByOrdinalAndByNameAndAsksForAdministratorRights)
{
    MappedImage console(L"KestruneTest.exe");
    std::map<std::string, Imports> imports = imports_of(console);
    EXPECT_EQ(imports["kestrune.dll"].ordinals, (std::set<WORD>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(imports["kestrune.dll"].names,
              std::set<std::string>(std::begin(kMsvcDecoratedExports), std::end(kMsvcDecoratedExports)));

    HRSRC found = FindResourceW(console.module(), MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)); // RT_MANIFEST
    ASSERT_NE(found, nullptr);
    std::string manifest(static_cast<const char *>(LockResource(LoadResource(console.module(), found))),
                         SizeofResource(console.module(), found));
    EXPECT_NE(manifest.find("level=\"requireAdministrator\""), std::string::npos) << manifest;
}

TEST(Deliverables, NeitherNeedsAMingwRuntimeDll)
{
    // What Windows ships, plus the DLL that comes with each deliverable.
    const std::set<std::string> shipped = {"advapi32.dll", "kernel32.dll", "msvcrt.dll",  "ole32.dll",
                                           "setupapi.dll", "user32.dll",   "userenv.dll", "winmm.dll"};
    const std::map<const wchar_t *, std::string> companion = {{L"Kestrune.dll", "windivert.dll"},
                                                              {L"KestruneTest.exe", "kestrune.dll"}};
    for (const auto &[file, own] : companion)
        for (const auto &[dll, unused] : imports_of(MappedImage(file)))
            EXPECT_TRUE(shipped.count(dll) == 1 || dll == own) << dll;
}

// A caller binding the DLL at run time: an ordinal and a decorated name reach
// the functions behind them, which answer a caller out of order as on Linux.
TEST(Deliverables, ACallerBindsByOrdinalAndByDecoratedName)
{
    HMODULE dll = LoadLibraryW(L"Kestrune.dll");
    ASSERT_NE(dll, nullptr) << GetLastError();
    auto bind = [dll](const char *name) { return reinterpret_cast<void *>(GetProcAddress(dll, name)); };
    using Frame = int(KESTRUNE_CALL *)();
    auto apply = reinterpret_cast<Frame>(bind(MAKEINTRESOURCEA(2)));
    auto uninitialize = reinterpret_cast<Frame>(bind(MAKEINTRESOURCEA(3)));
    auto unregister = reinterpret_cast<QVX_KESTRUNE_RESULT_E(KESTRUNE_CALL *)()>(bind(kMsvcDecoratedExports[1]));
    auto permId = reinterpret_cast<int(KESTRUNE_CALL *)(QVX_KESTRUNE_DEVICE_TYPE_E, const char *)>(
        bind(kMsvcDecoratedExports[3]));
    auto permStr = reinterpret_cast<const char *(KESTRUNE_CALL *)(QVX_KESTRUNE_DEVICE_TYPE_E, int)>(
        bind(kMsvcDecoratedExports[4]));
    ASSERT_TRUE(apply && uninitialize && unregister && permId && permStr);
    kestrune::test::StdoutCapture out;
    EXPECT_EQ(apply(), QVX_KESTRUNE_RESULT_INTERNAL_ERROR) << "Apply before Initialize";
    EXPECT_EQ(uninitialize(), QVX_KESTRUNE_RESULT_INTERNAL_ERROR) << "Uninitialize before Initialize";
    EXPECT_EQ(unregister(), QVX_KESTRUNE_RESULT_INVALID_PARAM) << "unregister without registration";
    EXPECT_EQ(permId(QVX_KESTRUNE_DEVICE_TYPE_NET, "QVX_KESTRUNE_NET_PERM_LIMIT"), 4);
    EXPECT_STREQ(permStr(QVX_KESTRUNE_DEVICE_TYPE_STORAGE, 6), "QVX_KESTRUNE_STORAGE_PERM_WRITE_OUT_ONLY");
    EXPECT_EQ(kestrune::test::without_line_numbers(out.text()),
              "E KestruneCtl QVX_KESTRUNE_Apply #: Internal error! pGPO null\n"
              "E KestruneCtl QVX_KESTRUNE_Uninitialize #: Internal error! pGPO null\n"
              "E KestruneCtl QVX_KESTRUNE_Unregister_Device_Notification #: empty handle!\r\n");
    FreeLibrary(dll);
}

} // namespace
