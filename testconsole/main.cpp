// KestruneTest: one complete pass over the library from "KestruneCtl_Test_Cfg.ini".
// It writes every permission the file names, saves, reads all permissions back
// into "KestruneCtl_Output_Cfg.ini" and then waits for the operator's Q (quit) or
// S (release the bandwidth limit) while it prints device events.
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "config.h"
#include "config_file.h"
#include "console_platform.h"
#include "device_perm.h"
#include "kestrune.h"

namespace {

const char *const test_config_name = "KestruneCtl_Test_Cfg.ini";

struct ConfigFiles {
    const char *test;
    const char *output;
};

// Runs on the library's notification thread, unlocked against the main thread.
// The flush shows the event at once also when standard output is a pipe.
void print_device_event(int type, char *data)
{
    std::printf("=== get cb type=%d, data=[%s]\r\n", type, data != nullptr ? data : "");
    std::fflush(stdout);
}

// The test configuration in the current directory, else in its parent; the output
// goes beside the one that was found.
std::optional<ConfigFiles> choose_config_files()
{
    const ConfigFiles choices[] = {
        {test_config_name, "KestruneCtl_Output_Cfg.ini"},
        {"../KestruneCtl_Test_Cfg.ini", "../KestruneCtl_Output_Cfg.ini"},
    };
    for (const ConfigFiles &files : choices) {
        if (usable_config_file(files.test))
            return files;
        std::cout << "KESTRUNE_TEST ERR: Test config file " << files.test << " is not exist!"
                  << std::endl;
    }
    return std::nullopt;
}

// The whole store, then one more end of line. Failures are not reported: the
// output file is a record for the operator, not a step the run depends on.
void write_output(const Config &config, const char *name)
{
    std::ostringstream rendered;
    rendered << config;
    std::ofstream out(name, std::ios::out | std::ios::trunc);
    out << rendered.str() << std::endl;
}

enum class ConfigStep { done, no_config };

// Writes the configured permissions, reads all of them back and writes the
// output file. `succeeded` counts the set calls that returned success.
ConfigStep run_config_step(int32_t &succeeded)
{
    try {
        const std::optional<ConfigFiles> files = choose_config_files();
        if (!files)
            return ConfigStep::no_config;

        auto config = std::make_unique<Config>(files->test, "=", "#");
        std::cout << "KESTRUNE_TEST INFO: TEST config file is " << files->test << std::endl;

        std::cout << "KESTRUNE_TEST DBG: ================ write perm ================" << std::endl;
        if (const int status = write_all_device_perm(*config, &succeeded); status != 0)
            std::cout << "KESTRUNE_TEST ERR: Call write_all_device_perm ret=" << status << std::endl;
        std::cout << "KESTRUNE_TEST DBG: ================ write perm done ================"
                  << std::endl;

        if (const int status = read_all_device_perm(*config); status != 0)
            std::cout << "KESTRUNE_TEST ERR: Call read_all_device_perm ret=" << status << std::endl;

        config->add("KEY", "value");
        write_output(*config, files->output);
    } catch (...) {
        std::cout << "KESTRUNE_TEST ERR: Config action" << std::endl;
    }
    return ConfigStep::done;
}

// Q quits; S releases the bandwidth limit; anything else asks again. The end of
// standard input quits as Q does: a closed input would otherwise bring the
// prompt back forever.
void run_operator_loop()
{
    char answer = 0;
    do {
        std::cout << "enter Q/q for quit, S/s for stop limit bandwidth: " << std::endl;
        if (!(std::cin >> answer))
            return;
        if (answer == 'S' || answer == 's') {
            QVX_KESTRUNE_set_net_device_permit(QVX_KESTRUNE_NET_DEVID_ETH_CARD,
                                               QVX_KESTRUNE_NET_PERM_ALLOW, 0);
            std::cout << "already stop limit bandwidth.." << std::endl;
        }
    } while (answer != 'Q' && answer != 'q');
}

} // namespace

int main()
{
    set_console_locale();

    if (const int result = QVX_KESTRUNE_Register_Device_Notification(print_device_event);
        result != 0)
        std::cout << "KESTRUNE_TEST ERR: Call QVX_KESTRUNE_Register_Device_Notification ret="
                  << result << std::endl;

    int32_t succeeded = 0;
    if (const int result = QVX_KESTRUNE_Initialize(); result != 0) {
        std::cout << "KESTRUNE_TEST ERR: Call QVX_KESTRUNE_Initialize ret=" << result << std::endl;
        return -1;
    }

    print_config_directory(test_config_name);
    if (run_config_step(succeeded) == ConfigStep::no_config) {
        // Leaves the message readable in a console window that closes on exit.
        pause_five_seconds();
        return -1;
    }

    std::cout
        << "KESTRUNE_TEST INFO: ---------------- Finish Processing Group Policy --------------------"
        << std::endl;
    std::cout << "KESTRUNE_TEST Saving, Please wait 5 seconds.." << std::endl;
    if (succeeded > 0) {
        const int result = QVX_KESTRUNE_Apply();
        std::cout << "KESTRUNE_TEST DBG: finish Call 'QVX_KESTRUNE_Apply' " << result << std::endl;
    }

    if (const int result = QVX_KESTRUNE_Uninitialize(); result != 0) {
        std::cout << "KESTRUNE_TEST ERR: Call QVX_KESTRUNE_Uninitialize ret=" << result << std::endl;
        return -1;
    }
    std::cout << "KESTRUNE_TEST End test Kestrune DLL!" << std::endl;
    std::cout << "KESTRUNE_TEST ======================== Test quit ========================"
              << std::endl;

    run_operator_loop();
    QVX_KESTRUNE_Unregister_Device_Notification();
    return 0;
}
