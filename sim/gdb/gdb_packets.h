// The GDB remote serial protocol's framing: "$payload#checksum" with '$',
// '#', '}' and '*' escaped, acknowledgements, and the interrupt byte.
#ifndef KORVASIM_GDB_PACKETS_H
#define KORVASIM_GDB_PACKETS_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace korvasim {
namespace gdb {

// The largest packet either side sends, as told in qSupported.
const size_t PACKET_SIZE = 0x4000;
const char INTERRUPT = 0x03;

// The modulo-256 sum of the bytes.
uint8_t checksum(const std::string& bytes);
// A payload ready for the wire.
std::string frame(const std::string& payload);

std::string to_hex(const uint8_t* bytes, size_t length);
std::string to_hex(const std::string& text);
// Pairs of hex digits; false on anything else.
bool from_hex(const std::string& hex, std::vector<uint8_t>* bytes);
// One to eight hex digits and nothing else.
bool parse_number(const std::string& text, uint32_t* value);

// Cuts the debugger's byte stream into events.
class PacketReader {
public:
    enum class Kind {
        PACKET,      // a whole packet, checksum right, escapes undone
        BAD_PACKET,  // a wrong checksum, a bad digit or an oversized body
        ACK,
        NACK,
        INTERRUPT,   // the 0x03 byte between packets
    };
    struct Event {
        Kind kind;
        std::string payload;
    };

    void feed(const char* data, size_t length, std::vector<Event>* events);

private:
    enum class State { IDLE, BODY, ESCAPE, SUM_HIGH, SUM_LOW };
    void start_packet();

    State state_ = State::IDLE;
    std::string raw_;       // between '$' and '#', as sent
    std::string payload_;   // the same, unescaped
    bool oversized_ = false;
    int sum_high_ = 0;
};

} // namespace gdb
} // namespace korvasim

#endif
