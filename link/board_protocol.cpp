#include "board_protocol.h"

#include <cstdio>

#include "boot_image.h"
#include "output.h"
#include "serial_port.h"

namespace {

const unsigned BLOCK_MASK = 0x7F;
const int SETTLE_MS = 1000;
static_assert(sizeof WAKE_UP_MESSAGE - 1 == WAKE_UP_WIDTH, "the wipe covers the message");

void wipe_line(int width)
{
    console_printf("\r%*s\r", width, "");
}

} // namespace

unsigned download_percentage(unsigned i, unsigned size)
{
    return (i + 1) * 100 / size;
}

void serial_wait_for(char byte)
{
    while (static_cast<unsigned char>(serial_get(0, nullptr)) != static_cast<unsigned char>(byte)) {
    }
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
    for (unsigned i = 0; i < BOOT_IMAGE_SIZE; ++i) {
        serial_put(static_cast<char>(boot_image[i]));
        if ((i & BLOCK_MASK) == BLOCK_MASK) {
            serial_pause();
            console_printf("\b\b\b\b\b%3u%%)", download_percentage(i, BOOT_IMAGE_SIZE));
        }
    }
    wipe_line(PROGRESS_WIDTH);
    serial_sleep(SETTLE_MS);
}

bool board_command(char command)
{
    serial_wait_for(BOARD_PROMPT);
    serial_put(command);
    for (;;) {
        char c = serial_get(0, nullptr);
        if (c == BOARD_END_OF_TEXT)
            break;
        tee_printf("%c", c);
    }
    return serial_get(0, nullptr) == BOARD_PASSED;
}
