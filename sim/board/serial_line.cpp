#include "sim/board/serial_line.h"

#include <cstdlib>
#include <vector>

namespace korvasim {

namespace {

const double RATE_TOLERANCE = 0.03;

// The frame's levels, bit by bit: start, data (least significant first),
// parity, stop bits.
std::vector<int> frame(uint8_t byte, const LineSettings& line)
{
    std::vector<int> bits = {0};
    int ones = 0;
    for (unsigned i = 0; i < line.data_bits; ++i) {
        const int bit = (byte >> i) & 1;
        ones += bit;
        bits.push_back(bit);
    }
    switch (line.parity) {
    case 'E': bits.push_back(ones & 1); break;
    case 'O': bits.push_back(!(ones & 1)); break;
    case 'M': bits.push_back(1); break;
    case 'S': bits.push_back(0); break;
    default: break;
    }
    for (unsigned i = 0; i < line.stop_bits; ++i)
        bits.push_back(1);
    return bits;
}

} // namespace

bool lines_match(const LineSettings& sender, const LineSettings& receiver)
{
    if (sender.baud == 0 || receiver.baud == 0)
        return false;
    const double ratio = static_cast<double>(sender.baud) / receiver.baud;
    return std::abs(ratio - 1.0) <= RATE_TOLERANCE && sender.data_bits == receiver.data_bits &&
           sender.parity == receiver.parity && sender.stop_bits == receiver.stop_bits;
}

uint8_t across_line(uint8_t byte, const LineSettings& sender, const LineSettings& receiver)
{
    if (lines_match(sender, receiver))
        return byte;
    // Back to back, frames with other stop bits fall out of step: a strict
    // receiver sees framing errors whatever the single frame would give.
    if (sender.baud == 0 || receiver.baud == 0 || sender.stop_bits != receiver.stop_bits)
        return 0;
    const std::vector<int> sent = frame(byte, sender);
    // The level at time t (in receiver bit times) after the start bit's edge;
    // after the frame the line idles high.
    const auto level = [&](double t) {
        const size_t bit = static_cast<size_t>(t * sender.baud / receiver.baud);
        return bit < sent.size() ? sent[bit] : 1;
    };
    uint8_t got = 0;
    for (unsigned i = 0; i < receiver.data_bits; ++i)
        got = static_cast<uint8_t>(got | level(1.5 + i) << i);
    const std::vector<int> expected = frame(got, receiver);
    for (size_t i = 1 + receiver.data_bits; i < expected.size(); ++i)
        if (level(i + 0.5) != expected[i])
            return 0;  // parity or stop bit wrong: a framing error
    return got;
}

} // namespace korvasim
