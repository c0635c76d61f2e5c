// The RS-232 line between the board's UART and the host: what a receiver
// makes of a byte that a sender with other line settings put on the wire.
#ifndef KORVASIM_SERIAL_LINE_H
#define KORVASIM_SERIAL_LINE_H

#include <cstdint>

namespace korvasim {

struct LineSettings {
    unsigned baud = 115200;     // 0: the line is not driven at all
    unsigned data_bits = 8;     // 5 to 8
    char parity = 'N';          // N, E, O, M (mark) or S (space)
    unsigned stop_bits = 1;

    bool operator==(const LineSettings& o) const
    {
        return baud == o.baud && data_bits == o.data_bits && parity == o.parity &&
               stop_bits == o.stop_bits;
    }
};

// Whether a receiver set to `receiver` reads a sender set to `sender` right:
// the same format, and rates within the 3% a UART's sampling tolerates.
bool lines_match(const LineSettings& sender, const LineSettings& receiver);

// The byte that the receiver reads for one frame of the sender, sampled in
// the middle of each of its own bit times from the start bit's edge. A frame
// whose parity or stop bits do not fit the receiver's format is a framing
// error, read as 0 (as a terminal that checks its input does).
uint8_t across_line(uint8_t byte, const LineSettings& sender, const LineSettings& receiver);

} // namespace korvasim

#endif
