#include "sim/gdb/gdb_packets.h"

namespace korvasim {
namespace gdb {

namespace {

int hex_digit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

const char DIGITS[] = "0123456789abcdef";

} // namespace

uint8_t checksum(const std::string& bytes)
{
    uint8_t sum = 0;
    for (char c : bytes)
        sum = static_cast<uint8_t>(sum + static_cast<uint8_t>(c));
    return sum;
}

std::string frame(const std::string& payload)
{
    std::string body;
    for (char c : payload) {
        if (c == '$' || c == '#' || c == '}' || c == '*') {
            body += '}';
            body += static_cast<char>(c ^ 0x20);
        } else {
            body += c;
        }
    }
    const uint8_t sum = checksum(body);
    return "$" + body + "#" + DIGITS[sum >> 4] + DIGITS[sum & 0xF];
}

std::string to_hex(const uint8_t* bytes, size_t length)
{
    std::string hex;
    for (size_t i = 0; i < length; ++i) {
        hex += DIGITS[bytes[i] >> 4];
        hex += DIGITS[bytes[i] & 0xF];
    }
    return hex;
}

std::string to_hex(const std::string& text)
{
    return to_hex(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

bool from_hex(const std::string& hex, std::vector<uint8_t>* bytes)
{
    if (hex.size() % 2 != 0)
        return false;
    bytes->clear();
    for (size_t i = 0; i < hex.size(); i += 2) {
        const int high = hex_digit(hex[i]);
        const int low = hex_digit(hex[i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes->push_back(static_cast<uint8_t>(high << 4 | low));
    }
    return true;
}

bool parse_number(const std::string& text, uint32_t* value)
{
    if (text.empty() || text.size() > 8)
        return false;
    uint32_t v = 0;
    for (char c : text) {
        const int d = hex_digit(c);
        if (d < 0)
            return false;
        v = v << 4 | static_cast<uint32_t>(d);
    }
    *value = v;
    return true;
}

void PacketReader::start_packet()
{
    raw_.clear();
    payload_.clear();
    oversized_ = false;
    state_ = State::BODY;
}

void PacketReader::feed(const char* data, size_t length, std::vector<Event>* events)
{
    for (size_t i = 0; i < length; ++i) {
        const char c = data[i];
        switch (state_) {
        case State::IDLE:
            // Anything else between packets is line noise.
            if (c == '$') {
                start_packet();
            } else if (c == '+') {
                events->push_back({Kind::ACK, ""});
            } else if (c == '-') {
                events->push_back({Kind::NACK, ""});
            } else if (c == INTERRUPT) {
                events->push_back({Kind::INTERRUPT, ""});
            }
            break;
        case State::BODY:
        case State::ESCAPE:
            if (c == '#') {
                state_ = State::SUM_HIGH;
                break;
            }
            if (c == '$') {  // a packet cut short: start again
                start_packet();
                break;
            }
            if (raw_.size() >= PACKET_SIZE) {
                oversized_ = true;
                break;
            }
            raw_ += c;
            if (state_ == State::ESCAPE) {
                payload_ += static_cast<char>(c ^ 0x20);
                state_ = State::BODY;
            } else if (c == '}') {
                state_ = State::ESCAPE;
            } else {
                payload_ += c;
            }
            break;
        case State::SUM_HIGH:
            sum_high_ = hex_digit(c);
            state_ = State::SUM_LOW;
            break;
        case State::SUM_LOW: {
            const int low = hex_digit(c);
            const bool good = sum_high_ >= 0 && low >= 0 && !oversized_ &&
                              checksum(raw_) == (sum_high_ << 4 | low);
            events->push_back({good ? Kind::PACKET : Kind::BAD_PACKET, good ? payload_ : ""});
            state_ = State::IDLE;
            break;
        }
        }
    }
}

} // namespace gdb
} // namespace korvasim
