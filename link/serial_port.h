// The host's serial port: every platform call that touches the port sits
// behind this header, one implementation file per platform.
#ifndef DUDEDOVED_SERIAL_PORT_H
#define DUDEDOVED_SERIAL_PORT_H

// Opens port number n (1 is the first port). 1 on success, 0 on failure
// after a message on standard error.
int serial_open(int port);

// Opens a device by its platform name as it stands (a path, for example).
int serial_open_device(const char* device);

// True when a -p argument names a device rather than a port number.
bool serial_is_device_name(const char* argument);

// Purges both directions and sets the line format: raw, 8N1, no flow
// control, DTR and RTS inactive. 1 on success, 0 after a message.
int serial_configure(int baud);

// Sends one byte. A port that fails ends the program (serial_lost).
void serial_put(char byte);

// Reads one byte. With time-out 0 it waits without limit; otherwise up to
// timeout_ms. An expired or failed read returns 0 and sets *error when an
// error flag is given; a failed read without one ends the program.
signed char serial_get(int timeout_ms, int* error);

void serial_close();

void serial_sleep(int milliseconds);

// Reports a port that stopped working and ends the program with status 1.
[[noreturn]] void serial_lost(const char* reason);

#endif
