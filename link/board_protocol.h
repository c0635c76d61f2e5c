// The host side of the serial exchange with the board: wake-up, boot image
// download, and one-byte command transactions with the board monitor.
#ifndef DUDEDOVED_BOARD_PROTOCOL_H
#define DUDEDOVED_BOARD_PROTOCOL_H

#include "monitor_protocol.h"

// The console lines that the download overwrites when it is through, and
// the widths of the blanks that wipe them.
const char WAKE_UP_MESSAGE[] = "Waiting for the board to wake up...";
const int WAKE_UP_WIDTH = 35;
const int PROGRESS_WIDTH = 30;

// Waits for the loader's wake-up byte, sends the boot image with a progress
// display and gives the board one second to start the monitor.
void board_wake_and_download();

// One transaction: waits for the prompt, sends the command, echoes the
// board's text through tee_printf up to ':'. True when the result is '0'.
bool board_command(char command);

// Reads and discards bytes up to and including the first one equal to byte.
void serial_wait_for(char byte);

// The pause after each 128-byte block of the download.
void serial_pause();

// Percentage shown after the block that ends at index i of an image of
// size bytes.
unsigned download_percentage(unsigned i, unsigned size);

#endif
