// The telnet side of a serial port served by RFC 2217, apart from the
// connection that carries it: what goes out (requests, the board's bytes
// with every 0xFF doubled, COM-PORT-OPTION commands) and what comes in
// taken apart into the board's bytes, the option negotiation (answered
// only when its state changes, RFC 1143's rule against endless echoes) and
// the server's answers to the line settings.
#ifndef DUDEDOVED_TELNET_STREAM_H
#define DUDEDOVED_TELNET_STREAM_H

#include <cstddef>
#include <map>
#include <string>

namespace telnet {

const unsigned char IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
const unsigned char OPT_BINARY = 0, OPT_SGA = 3, OPT_COM_PORT = 44;
// COM-PORT-OPTION commands (client to server); the server answers each
// with the command plus SERVER_OFFSET and the value it took.
const unsigned char SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4, SET_CONTROL = 5,
                    PURGE_DATA = 12, SERVER_OFFSET = 100;
const unsigned char PARITY_NONE = 1, STOP_ONE = 1, CONTROL_NO_FLOW = 1, CONTROL_DTR_OFF = 9, CONTROL_RTS_OFF = 12,
                    CONTROL_NO_INBOUND_FLOW = 14, PURGE_BOTH = 3;

class Stream {
public:
    // Binary transmission both ways, the COM-PORT-OPTION, and suppressed
    // go-aheads, asked for.
    void request_options();
    void queue_byte(unsigned char byte);
    void queue_com_port(unsigned char command, const std::string& value);
    // What is queued to send; the caller empties it once sent.
    std::string& out() { return out_; }

    // Takes what came from the server.
    void take(const unsigned char* bytes, size_t n);
    // The board's bytes that came, not yet read.
    bool has_data() const { return data_at_ < data_.size(); }
    unsigned char next_data() { return static_cast<unsigned char>(data_[data_at_++]); }

    bool binary_both_ways() const { return local_[OPT_BINARY] && remote_[OPT_BINARY]; }
    bool com_port() const { return local_[OPT_COM_PORT]; }
    // The server said DONT or WONT to an option we asked for.
    bool refused(unsigned char option) const { return refused_[option]; }
    // The server's answers to COM-PORT-OPTION commands, by command.
    std::map<unsigned char, std::string>& answers() { return answers_; }

private:
    void queue_command(unsigned char verb, unsigned char option);
    void negotiate(unsigned char verb, unsigned char option);
    void subnegotiation(const std::string& sub);
    void drop_data();

    std::string out_;
    std::string data_;
    size_t data_at_ = 0;
    enum class State { DATA, IAC_SEEN, OPTION, SUB, SUB_IAC } state_ = State::DATA;
    unsigned char verb_ = 0;
    std::string sub_;
    bool local_[256] = {};    // we WILL, and the server said DO
    bool remote_[256] = {};   // the server WILL, and we said DO
    bool refused_[256] = {};
    bool asked_will_[256] = {}, asked_do_[256] = {};  // our requests not yet answered
    bool declined_local_[256] = {}, declined_remote_[256] = {};  // options we do not take, refused once
    std::map<unsigned char, std::string> answers_;
};

} // namespace telnet

#endif
