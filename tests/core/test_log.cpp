// Layout of the two log writers, and the line of the exception boundary.
#include <gtest/gtest.h>

#include <clocale>
#include <new>
#include <regex>

#include "core/boundary.h"
#include "core/log.h"
#include "support/stdout_capture.h"

using kestrune::log_hex;
using kestrune::log_printf;
using kestrune::log_wstream;
using kestrune::test::StdoutCapture;

namespace {

TEST(Log, PrintfLineIsWrittenAsFormatted)
{
    StdoutCapture out;
    log_printf("E KestruneCtl %s %d: operation %d fail, ret=%d\r\n", "set_group_policy_key_value", 87, 100, 2);
    log_printf("I KestruneCtl %s %d: RegQueryValueEx %s not found\r\n", "get_group_policy_key_value", 120, "Deny_Read");
    EXPECT_EQ(out.text(), "E KestruneCtl set_group_policy_key_value 87: operation 100 fail, ret=2\r\n"
                          "I KestruneCtl get_group_policy_key_value 120: RegQueryValueEx Deny_Read not found\r\n");
}

TEST(Log, StreamLineLayoutWithDecimalValueAndClosingText)
{
    StdoutCapture out;
    log_wstream('E', "QVX_KESTRUNE_set_storage_device_permit", 865) << "Error device_id=" << -3 << "!";
    log_wstream('E', "set_group_policy_key_value", 90) << "RegCreateKeyEx ret =" << 6u;
    EXPECT_EQ(out.text(), "E KestruneCtl QVX_KESTRUNE_set_storage_device_permit 865: Error device_id=-3!\n"
                          "E KestruneCtl set_group_policy_key_value 90: RegCreateKeyEx ret =6\n");
}

TEST(Log, HexAppliesToOneValueOnly)
{
    StdoutCapture out;
    log_wstream('E', "QVX_KESTRUNE_Initialize", 171) << "Failed CoCreateInstance. Error code = 0x"
                                                     << log_hex{0x80070005u};
    log_wstream('E', "QVX_KESTRUNE_Initialize", 172) << "x=0x" << log_hex{0x1Fu} << " y=" << 31;
    log_wstream('I', "QVX_KESTRUNE_Apply", 200) << "RefreshPolicy done";
    EXPECT_EQ(out.text(), "E KestruneCtl QVX_KESTRUNE_Initialize 171: Failed CoCreateInstance. Error code = 0x80070005\n"
                          "E KestruneCtl QVX_KESTRUNE_Initialize 172: x=0x1f y=31\n"
                          "I KestruneCtl QVX_KESTRUNE_Apply 200: RefreshPolicy done\n");
}

TEST(Log, StreamAndPrintfLinesShareOneNarrowStream)
{
    StdoutCapture out;
    log_printf("I KestruneCtl %s %d: ENABLE LOG INFO\r\n", "QVX_KESTRUNE_Initialize", 1);
    log_wstream('E', "UpdateDevice", 2) << "ERR: SetupDiGetDeviceInstanceId(): " << 3 << ", " << 122ul;
    log_printf("E KestruneCtl %s %d: ENABLE LOG ERROR\r\n", "QVX_KESTRUNE_Initialize", 3);
    EXPECT_EQ(out.text(), "I KestruneCtl QVX_KESTRUNE_Initialize 1: ENABLE LOG INFO\r\n"
                          "E KestruneCtl UpdateDevice 2: ERR: SetupDiGetDeviceInstanceId(): 3, 122\n"
                          "E KestruneCtl QVX_KESTRUNE_Initialize 3: ENABLE LOG ERROR\r\n");
}

TEST(Log, WideTextGoesOutInTheLocaleEncoding)
{
    std::string saved = std::setlocale(LC_ALL, nullptr);
    StdoutCapture out;
    if (std::setlocale(LC_ALL, "C.UTF-8") != nullptr) {
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
