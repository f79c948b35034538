// StdoutCapture on Windows: descriptor 1 of the C runtime, which the library's
// module shares with the test, goes to a temporary file (deleted when closed),
// which text() reads through a handle of its own, so that reading never moves
// the position the writers share.
#include "support/stdout_capture.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <stdexcept>

namespace kestrune::test {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

} // namespace

StdoutCapture::StdoutCapture()
{
    std::fflush(stdout);
    wchar_t directory[MAX_PATH];
    wchar_t name[MAX_PATH];
    if (GetTempPathW(MAX_PATH, directory) == 0 || GetTempFileNameW(directory, L"kst", 0, name) == 0)
        throw std::runtime_error("no temporary file for the capture");
    HANDLE file = CreateFileW(name, GENERIC_WRITE, kShareAll, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot create the capture file");
    file_ = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_WRONLY | _O_BINARY);
    saved_ = _dup(1);
    _dup2(file_, 1);
}

StdoutCapture::~StdoutCapture()
{
    std::fflush(stdout);
    if (::testing::Test::HasFailure()) {
        std::string captured = text();
        std::fwrite(captured.data(), 1, captured.size(), stderr);
    }
    _dup2(saved_, 1);
    _close(saved_);
    _close(file_);
}

std::string StdoutCapture::text()
{
    std::fflush(stdout);
    HANDLE reader = ReOpenFile(reinterpret_cast<HANDLE>(_get_osfhandle(file_)), GENERIC_READ, kShareAll, 0);
    if (reader == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot read the capture file");
    std::string out;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(reader, buffer, sizeof buffer, &got, nullptr) && got > 0)
        out.append(buffer, got);
    CloseHandle(reader);
    return out;
}

} // namespace kestrune::test
