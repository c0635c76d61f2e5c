// dudedoved: downloads the board monitor into a Korva unit over its serial
// line and runs the SDRAM, FLASH and SRAM tests, once or continuously.
#include <cstdio>

#include "link/board_protocol.h"
#include "host/command_line.h"
#include "host/output.h"
#include "host/report_lines.h"
#include "link/serial_port.h"

namespace {

// One pass over the selected tests, in the fixed order. True if all passed.
// The last verdict of a run that ends waits until its answer is confirmed.
bool run_test_pass(const run_settings& settings)
{
    const bool selected[] = {settings.run_sdram, settings.run_flash, settings.run_sram};
    const char commands[] = {COMMAND_SDRAM_TEST, COMMAND_FLASH_TEST, COMMAND_SRAM_TEST};
    int last = 2;
    while (!selected[last])
        --last;
    bool all_passed = true;
    for (int t = 0; t <= last; ++t) {
        if (!selected[t])
            continue;
        tee_printf(TEST_ANNOUNCEMENT, TEST_NAMES[t]);
        tee_printf("%c", settings.verbose ? '\n' : ' ');
        const bool passed = board_command(commands[t]);
        if (t == last && !settings.continuous)
            board_confirm_last_answer();
        tee_printf("%s\n", passed ? REPORT_PASSED : REPORT_FAILED);
        all_passed = all_passed && passed;
    }
    return all_passed;
}

} // namespace

int main(int argc, char** argv)
{
    serial_reserve_standard_streams();
    setbuf(stdout, nullptr);
    run_settings settings;
    const int status = parse_command_line(argc, argv, &settings);
    if (status >= 0)
        return status;

    const int opened = settings.device ? serial_open_device(settings.device)
                                       : serial_open(settings.port);
    if (!opened || !serial_configure(115200)) {
        serial_close();
        close_log();
        return 1;
    }
    board_wake_and_download();
    if (settings.verbose)
        board_command(COMMAND_VERBOSE);
    if (settings.continuous)
        board_command(COMMAND_PACED);

    bool all_passed = true;
    do {
        all_passed = run_test_pass(settings) && all_passed;
    } while (settings.continuous);

    serial_close();
    close_log();
    // A board that failed a test must never look like a good one to a script.
    return all_passed ? 0 : 1;
}
