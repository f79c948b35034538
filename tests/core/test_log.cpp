// The two log writers sharing one narrow stream, and the line of the exception
// boundary.
#include <gtest/gtest.h>

#include <clocale>
#include <limits>
#include <new>

#include "core/boundary.h"
#include "core/log.h"
#include "support/stdout_capture.h"

using kestrune::log_hex;
using kestrune::log_printf;
using kestrune::log_wstream;
using kestrune::test::StdoutCapture;

namespace {

// printf lines keep their own ends; stream lines end in "\n", hex applies to one
// value only, and numbers of every width print whole.
TEST(Log, LinesOfBothWritersInOrder)
{
    StdoutCapture out;
    log_printf("I KestruneCtl %s %d: ENABLE LOG INFO\r\n", "QVX_KESTRUNE_Initialize", 1);
    log_wstream('E', "QVX_KESTRUNE_Initialize", 171) << "Error code = 0x" << log_hex{0x80070005u} << " y=" << 31
                                                     << " d=" << -3 << "!";
    log_wstream('I', "f", 2) << std::numeric_limits<size_t>::max() << " " << std::numeric_limits<unsigned long>::max()
                             << " " << std::numeric_limits<unsigned long long>::max() << " " << 6u;
    log_printf("E KestruneCtl %s %d: ENABLE LOG ERROR\r\n", "QVX_KESTRUNE_Initialize", 3);
    EXPECT_EQ(out.text(), "I KestruneCtl QVX_KESTRUNE_Initialize 1: ENABLE LOG INFO\r\n"
                          "E KestruneCtl QVX_KESTRUNE_Initialize 171: Error code = 0x80070005 y=31 d=-3!\n"
                          "I KestruneCtl f 2: 18446744073709551615 " +
                              std::to_string(std::numeric_limits<unsigned long>::max()) +
                              " 18446744073709551615 6\n"
                              "E KestruneCtl QVX_KESTRUNE_Initialize 3: ENABLE LOG ERROR\r\n");
}

TEST(Log, WideTextGoesOutInTheLocaleEncoding)
{
    const std::string saved = std::setlocale(LC_ALL, nullptr);
    if (std::setlocale(LC_ALL, "C.UTF-8") != nullptr) {
        StdoutCapture out;
        log_wstream('I', "f", 1) << u"caf\u00e9";
        log_printf("I KestruneCtl %s %d: %ls\r\n", "f", 2, kestrune::log_wide(u"caf\u00e9").c_str());
        EXPECT_EQ(out.text(), "I KestruneCtl f 1: caf\xc3\xa9\nI KestruneCtl f 2: caf\xc3\xa9\r\n");
    }
    std::setlocale(LC_ALL, "C");
    StdoutCapture ascii;
    // Beyond Latin-1, which the "C" locale of the Windows runtime passes through.
    log_wstream('I', "f", 3) << u"caf\u20ac";
    log_printf("I KestruneCtl %s %d: %ls\r\n", "f", 4, kestrune::log_wide(u"caf\u20ac").c_str());
    EXPECT_EQ(ascii.text(), "I KestruneCtl f 3: caf?\nI KestruneCtl f 4: caf?\r\n");
    std::setlocale(LC_ALL, saved.c_str());
}

TEST(Log, AnExceptionStoppedAtTheBoundaryIsLoggedWithTheExportsName)
{
    StdoutCapture out;
    EXPECT_EQ(kestrune::call_guarded("QVX_KESTRUNE_Apply", 1, []() -> int { throw std::bad_alloc(); }), 1);
    EXPECT_EQ(kestrune::call_guarded("QVX_KESTRUNE_Initialize", 2, []() -> int { throw 7; }), 2);
    EXPECT_EQ(kestrune::call_guarded("QVX_KESTRUNE_Uninitialize", 2, [] { return 0; }), 0);
    EXPECT_EQ(kestrune::test::without_line_numbers(out.text()),
              "E KestruneCtl QVX_KESTRUNE_Apply #: caught exception: std::bad_alloc\r\n"
              "E KestruneCtl QVX_KESTRUNE_Initialize #: caught unknown exception\r\n");
}

} // namespace
