// A board's serial port on another machine, reached by RFC 2217 (a serial
// port over telnet, as ser2net serves it): behind serial_port.h, which
// hands a port named rfc2217://HOST:PORT to these functions.
#ifndef DUDEDOVED_NETWORK_PORT_H
#define DUDEDOVED_NETWORK_PORT_H

#include <string>

// Whether a -p argument names a network port.
bool network_port_named(const char* device);

// Connects and negotiates binary transmission both ways and the
// COM-PORT-OPTION. False with the reason in *why.
bool network_open(const char* url, std::string* why);
// Asks the server to set the line (baud, 8N1, no flow control) and to purge
// its buffers. Its answers are checked before the board's first byte is
// read: a refusal ends the program with a message. False with the reason
// in *why when the request could not be sent.
bool network_configure(int baud, std::string* why);
// Queues one byte; bytes go out together before the next read or pause.
void network_put(char byte);
// Queues count bytes and sends them.
void network_put_all(const char* bytes, unsigned count);
// As serial_get; a lost connection ends the program through serial_lost.
signed char network_get(int timeout_ms, int* error);
// Sends what network_put queued.
void network_flush();
void network_close();
// The round trip the connection showed while it was set up, in ms.
int network_round_trip_ms();

#endif
