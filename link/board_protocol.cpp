#include "link/board_protocol.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "firmware/boot_image.h"
#include "host/output.h"
#include "link/serial_port.h"

namespace {

const unsigned BLOCK_MASK = 0x7F;
const int SETTLE_MS = 1000;
// The monitor sends nothing after a prompt until it gets a command: a byte
// that is already there (or arrives within this time) was never asked for.
const int AFTER_PROMPT_MS = 1;

// False while the prompt that follows the last answer has not come: the next
// command waits for it first.
bool prompt_taken = true;
static_assert(sizeof WAKE_UP_MESSAGE - 1 == WAKE_UP_WIDTH, "the wipe covers the message");

void wipe_line(int width)
{
    console_printf("\r%*s\r", width, "");
}

[[noreturn]] void out_of_step()
{
    console_end_line();
    fprintf(stderr, "%s\n", OUT_OF_STEP_MESSAGE);
    // exit() flushes and closes the log and removes the port's lock.
    exit(1);
}

void expect_quiet_line(int milliseconds)
{
    int expired = 0;
    serial_get(milliseconds, &expired);
    if (!expired)
        out_of_step();
}

// The prompt, and nothing after it until we send a command.
void take_prompt()
{
    serial_wait_for(BOARD_PROMPT);
    expect_quiet_line(AFTER_PROMPT_MS + serial_latency_ms());
    prompt_taken = true;
}

// The prompt that the monitor sends right after an answer, waited for no
// longer than PROMPT_AFTER_ANSWER_MS. False when it has not come by then.
bool take_prompt_after_answer()
{
    using clock = std::chrono::steady_clock;
    const clock::time_point deadline = clock::now() + std::chrono::milliseconds(PROMPT_AFTER_ANSWER_MS);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        if (left <= 0)
            return false;
        int expired = 0;
        const char c = serial_get(static_cast<int>(left), &expired);
        if (expired)
            return false;
        if (c == BOARD_PROMPT)
            break;
        if (c == BOARD_END_OF_TEXT)
            out_of_step();
    }
    expect_quiet_line(AFTER_PROMPT_MS + serial_latency_ms());
    return true;
}

} // namespace

void serial_wait_for(char byte)
{
    for (;;) {
        const char c = serial_get(0, nullptr);
        if (static_cast<unsigned char>(c) == static_cast<unsigned char>(byte))
            return;
        // An end of text among the bytes passed over is the answer to a
        // command this run never sent (a monitor that was already running
        // when the tool started answers the image's bytes).
        if (c == BOARD_END_OF_TEXT)
            out_of_step();
    }
}

unsigned download_percentage(unsigned i, unsigned size)
{
    return (i + 1) * 100 / size;
}

void serial_pause()
{
    serial_sleep(10);
}

void board_wake_and_download()
{
    console_printf("%s", WAKE_UP_MESSAGE);
    serial_get(0, nullptr);  // the loader's wake-up byte, any value
    wipe_line(WAKE_UP_WIDTH);
    console_printf("Downloading boot code...(  0%%)");
    // The whole image goes to the port's queue at once: a stall of this
    // program (a loaded machine) must not open a gap on the line, in which
    // the board's loader would start a part of the image. The progress
    // follows the line where the port tells how far it is.
    serial_put_all(reinterpret_cast<const char*>(boot_image), BOOT_IMAGE_SIZE);
    for (unsigned i = BLOCK_MASK; i < BOOT_IMAGE_SIZE; i += BLOCK_MASK + 1) {
        serial_pause();
        while (serial_unsent() > static_cast<int>(BOOT_IMAGE_SIZE - (i + 1)))
            serial_pause();
        console_printf("\b\b\b\b\b%3u%%)", download_percentage(i, BOOT_IMAGE_SIZE));
    }
    wipe_line(PROGRESS_WIDTH);
    // The settling time counts from the image's last byte on the line.
    while (serial_unsent() > 0)
        serial_pause();
    serial_sleep(SETTLE_MS);
    // Whatever came since the wake-up byte is still in the port's buffer, so
    // this also sees the whole download and settle. A UART being set up or a
    // line end may put a byte before the first prompt, but only a monitor
    // that was already running sends an answer there.
    take_prompt();
}

bool board_command(char command)
{
    if (!prompt_taken)
        take_prompt();
    serial_put(command);
    for (;;) {
        const char c = serial_get(0, nullptr);
        if (c == BOARD_END_OF_TEXT)
            break;
        // A report never holds a prompt: this one closed an answer we missed.
        if (c == BOARD_PROMPT)
            out_of_step();
        tee_printf("%c", c);
    }
    const bool passed = serial_get(0, nullptr) == BOARD_PASSED;
    prompt_taken = take_prompt_after_answer();
    return passed;
}

void board_confirm_last_answer()
{
    // A board silent after its answer (reset, lost power) cannot be a stale
    // one: a running monitor prompts after every answer.
    if (prompt_taken)
        expect_quiet_line(LAST_ANSWER_QUIET_MS + serial_latency_ms());
}
