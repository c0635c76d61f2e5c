// The host's serial port: every platform call that touches the port sits
// behind this header, one implementation file per platform.
#ifndef DUDEDOVED_SERIAL_PORT_H
#define DUDEDOVED_SERIAL_PORT_H

// Makes sure that descriptors 0-2 are open (to the null device where they
// were closed), so that the port is never opened as standard output.
void serial_reserve_standard_streams();

// Opens port number n (1 is the first port). 1 on success, 0 on failure
// after a message on standard error.
int serial_open(int port);

// Opens a device by its platform name: a path as it stands, or a bare device
// name (ttyUSB0 on Linux, COM12 on Windows). The port is taken for this
// program alone; one that another program holds is refused, naming the
// holder where the platform tells.
int serial_open_device(const char* device);

// True when a -p argument names a device rather than a port number.
bool serial_is_device_name(const char* argument);

// Purges both directions and sets the line format: raw, 8N1, no flow
// control, DTR and RTS inactive. 1 on success, 0 after a message.
int serial_configure(int baud);

// Sends one byte. A port that fails ends the program (serial_lost).
void serial_put(char byte);

// Hands count bytes to the port's queue at once: they leave back to back,
// whatever this program does meanwhile. A port that fails ends the program.
void serial_put_all(const char* bytes, unsigned count);

// Bytes handed to the port that the line has not sent yet; -1 where the
// platform cannot tell. A port that failed ends the program.
int serial_unsent();

// Reads one byte. With time-out 0 it waits without limit; otherwise up to
// timeout_ms. An expired read returns 0 and sets *error when an error flag
// is given. A failed read returns 0 and sets *error too; without an error
// flag it ends the program.
signed char serial_get(int timeout_ms, int* error);

void serial_close();

void serial_sleep(int milliseconds);

// What the line adds to the time of an answer: 0 for a local port, the
// round trip a network port showed when it was set up.
int serial_latency_ms();

// Reports a port that stopped working and ends the program with status 1.
[[noreturn]] void serial_lost(const char* reason);

#endif
