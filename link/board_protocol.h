// The host side of the serial exchange with the board: wake-up, boot image
// download, and one-byte command transactions with the board monitor.
#ifndef DUDEDOVED_BOARD_PROTOCOL_H
#define DUDEDOVED_BOARD_PROTOCOL_H

#include "firmware/monitor_protocol.h"

// The console lines that the download overwrites when it is through, and
// the widths of the blanks that wipe them.
const char WAKE_UP_MESSAGE[] = "Waiting for the board to wake up...";
const int WAKE_UP_WIDTH = 35;
const int PROGRESS_WIDTH = 30;

// What the tool says, and how it ends, when the board answered a command
// that the tool never sent: every answer after that may be a stale one.
const char OUT_OF_STEP_MESSAGE[] =
    "The board is out of step (it answered a command that was never sent); "
    "power-cycle it and run again.";

// How long the tool waits for the prompt that follows an answer before it
// gives the answer's verdict without it: a USB adapter's latency and a serial
// server on a network, with room to spare.
const int PROMPT_AFTER_ANSWER_MS = 1000;

// How long the line must stay quiet after the last prompt of a run before
// the last answer counts: a few characters' time and a USB adapter's latency.
// A network port adds its round trip to this and to the quiet after every
// prompt, so that bytes a server delivers in bursts still fall inside.
const int LAST_ANSWER_QUIET_MS = 25;

// Waits for the loader's wake-up byte, sends the boot image with a progress
// display, gives the board one second to start the monitor and takes its
// first prompt. Bytes before that prompt are passed over, but an end of text
// there, or anything after the prompt, is out of step.
void board_wake_and_download();

// One transaction: waits for the board's prompt unless it came after the last
// answer, sends the command, echoes the board's text through tee_printf up to
// ':', reads the result and takes the next prompt, which the monitor sends at
// once, for up to PROMPT_AFTER_ANSWER_MS. True when the result is '0'. A
// board that says more than it was asked is out of step.
bool board_command(char command);

// Ends a run: the answer of its last command counts only if the board says
// nothing more within LAST_ANSWER_QUIET_MS after the prompt that followed it
// (when a prompt followed it at all).
void board_confirm_last_answer();

// Reads and discards bytes up to and including the first one equal to
// byte; an end of text among them is out of step.
void serial_wait_for(char byte);

// The pause after each 128-byte block of the download.
void serial_pause();

// Percentage shown after the block that ends at index i of an image of
// size bytes.
unsigned download_percentage(unsigned i, unsigned size);

#endif
