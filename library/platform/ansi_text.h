// Platform seam: conversion of UTF-16 text into the system's 8-bit character set
// (the ANSI code page on Windows, WideCharToMultiByte with CP_ACP and no flags;
// the current locale's character set on Linux, through iconv). Pure function,
// any thread.
#ifndef KESTRUNE_PLATFORM_ANSI_TEXT_H
#define KESTRUNE_PLATFORM_ANSI_TEXT_H

#include <string>
#include <string_view>

namespace kestrune::platform {

struct AnsiText {
    // Characters the character set cannot represent become '?' (on Windows the
    // code page's default character, '?' in most, after the system's best-fit
    // mapping, which counts as exact).
    std::string text;
    bool exact; // false when any character had to be replaced
};

AnsiText wide_to_ansi(std::u16string_view text);

} // namespace kestrune::platform

#endif
