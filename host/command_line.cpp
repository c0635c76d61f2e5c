#include "host/command_line.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <getopt.h>

#include "host/output.h"
#include "link/serial_port.h"

void print_usage()
{
    fputs("Usage: dudedoved [-c] [-h] [-l <logfile>] [-p <port>] [-v] [sdram|flash|sram]\n"
          "\n"
          "Tests basic components (SDRAM, FLASH and SRAM) of a Korva unit.\n"
          "If no test is specified all tests are run in sequence.\n"
          "\n"
          "  -c            Run test(s) continuously (CTRL-C to stop).\n"
          "\n"
          "  -h            Print this usage message.\n"
          "\n"
          "  -l            Log test(s) results to <logfile>.\n"
          "\n"
          "  -p <port>     Use the specified serial port (default is \"1\").  Valid\n",
          stderr);
    fputs("                values are 1 (COM1), 2 (COM2), etc.\n", stderr);
    fputs("\n"
          "  -v            Run test(s) in verbose mode.\n"
          "\n",
          stderr);
}

namespace {

int usage_exit()
{
    print_usage();
    return 1;
}

int parse_options(int argc, char** argv, run_settings* settings)
{
    *settings = run_settings{1, nullptr, false, false, true, true, true};
    opterr = 0;
    // getopt_long without long options: it permutes the arguments (and
    // honours POSIXLY_CORRECT) on every runtime, unlike some plain getopts.
    static const option no_long_options[] = {{nullptr, 0, nullptr, 0}};
    for (;;) {
        const signed char option =
            static_cast<signed char>(getopt_long(argc, argv, "chl:p:v", no_long_options, nullptr));
        if (option == -1)
            break;
        switch (option) {
        case 'c':
            settings->continuous = true;
            break;
        case 'h':
            return usage_exit();
        case 'l':
            // Not truncated yet: a later -l wins, and leaves this file alone.
            if (!open_log(optarg, false)) {
                fprintf(stderr, "Could not open logfile '%s'.\n", optarg);
                return 1;
            }
            printf("Logging to '%s'\n", optarg);
            break;
        case 'p':
            if (serial_is_device_name(optarg)) {
                settings->device = optarg;
            } else {
                settings->device = nullptr;
                settings->port = atoi(optarg);
            }
            break;
        case 'v':
            settings->verbose = true;
            break;
        default:
            return usage_exit();
        }
    }
    // Only a single operand is looked at; none or several run every test.
    if (argc == optind + 1) {
        const char* test = argv[argc - 1];
        const bool sdram = strcmp(test, "sdram") == 0;
        const bool flash = strcmp(test, "flash") == 0;
        const bool sram = strcmp(test, "sram") == 0;
        if (!sdram && !flash && !sram)
            return usage_exit();
        settings->run_sdram = sdram;
        settings->run_flash = flash;
        settings->run_sram = sram;
    }
    return -1;
}

} // namespace

int parse_command_line(int argc, char** argv, run_settings* settings)
{
    const int status = parse_options(argc, argv, settings);
    // The log that won starts empty, as it would have with a single -l.
    if (log_file && !reopen_log_truncated()) {
        fprintf(stderr, "Could not open logfile '%s'.\n", log_file_name());
        return 1;
    }
    return status;
}
