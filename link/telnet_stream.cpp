#include "link/telnet_stream.h"

namespace telnet {

namespace {

// A subnegotiation longer than any COM-PORT-OPTION answer is cut there.
const size_t LONGEST_SUBNEGOTIATION = 64;
// The board's bytes kept unread: a server that sends and sends while the
// tool does not read (before the negotiation is through) costs no more.
const size_t MOST_UNREAD = 64 * 1024;

bool wanted_local(unsigned char option)
{
    return option == OPT_BINARY || option == OPT_SGA || option == OPT_COM_PORT;
}

bool wanted_remote(unsigned char option)
{
    return option == OPT_BINARY || option == OPT_SGA;
}

void escaped(std::string* to, unsigned char byte)
{
    *to += static_cast<char>(byte);
    if (byte == IAC)
        *to += static_cast<char>(IAC);
}

} // namespace

void Stream::request_options()
{
    queue_command(WILL, OPT_BINARY);
    queue_command(DO, OPT_BINARY);
    queue_command(WILL, OPT_COM_PORT);
    queue_command(WILL, OPT_SGA);
    queue_command(DO, OPT_SGA);
}

void Stream::queue_byte(unsigned char byte)
{
    escaped(&out_, byte);
}

void Stream::queue_command(unsigned char verb, unsigned char option)
{
    if (verb == WILL)
        asked_will_[option] = true;
    if (verb == DO)
        asked_do_[option] = true;
    out_ += {static_cast<char>(IAC), static_cast<char>(verb), static_cast<char>(option)};
}

void Stream::queue_com_port(unsigned char command, const std::string& value)
{
    out_ += {static_cast<char>(IAC), static_cast<char>(SB), static_cast<char>(OPT_COM_PORT), static_cast<char>(command)};
    for (unsigned char c : value)
        escaped(&out_, c);
    out_ += {static_cast<char>(IAC), static_cast<char>(SE)};
}

// Only a change of state is answered, so that two ends never echo each
// other's requests for ever; an answer to our own request is not answered.
void Stream::negotiate(unsigned char verb, unsigned char option)
{
    switch (verb) {
    case DO:
        if (!wanted_local(option)) {
            // Refused once: a server asking again is looping, and answering
            // each time would grow what waits for a server that may not read.
            if (!declined_local_[option])
                queue_command(WONT, option);
            declined_local_[option] = true;
        } else if (!local_[option]) {
            local_[option] = true;
            if (!asked_will_[option])
                queue_command(WILL, option);
        }
        asked_will_[option] = false;
        break;
    case DONT:
        refused_[option] = refused_[option] || asked_will_[option];
        asked_will_[option] = false;
        if (local_[option]) {
            local_[option] = false;
            queue_command(WONT, option);
        }
        break;
    case WILL:
        if (!wanted_remote(option)) {
            if (!declined_remote_[option])
                queue_command(DONT, option);
            declined_remote_[option] = true;
        } else if (!remote_[option]) {
            remote_[option] = true;
            if (!asked_do_[option])
                queue_command(DO, option);
        }
        asked_do_[option] = false;
        break;
    case WONT:
        refused_[option] = refused_[option] || asked_do_[option];
        asked_do_[option] = false;
        if (remote_[option]) {
            remote_[option] = false;
            queue_command(DONT, option);
        }
        break;
    }
}

void Stream::drop_data()
{
    data_.clear();
    data_at_ = 0;
}

void Stream::subnegotiation(const std::string& sub)
{
    if (sub.size() < 2 || static_cast<unsigned char>(sub[0]) != OPT_COM_PORT ||
        static_cast<unsigned char>(sub[1]) <= SERVER_OFFSET)
        return;
    const unsigned char command = static_cast<unsigned char>(sub[1] - SERVER_OFFSET);
    answers_[command] = sub.substr(2);
    // What came before the purge was the line's past, as tcflush drops it.
    if (command == PURGE_DATA)
        drop_data();
}

void Stream::take(const unsigned char* bytes, size_t n)
{
    if (!has_data())
        drop_data();
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = bytes[i];
        switch (state_) {
        case State::DATA:
            if (c == IAC)
                state_ = State::IAC_SEEN;
            else
                data_ += static_cast<char>(c);
            break;
        case State::IAC_SEEN:
            state_ = State::DATA;
            if (c == IAC) {
                data_ += static_cast<char>(c);
            } else if (c == DO || c == DONT || c == WILL || c == WONT) {
                verb_ = c;
                state_ = State::OPTION;
            } else if (c == SB) {
                sub_.clear();
                state_ = State::SUB;
            }
            break;
        case State::OPTION:
            negotiate(verb_, c);
            state_ = State::DATA;
            break;
        case State::SUB:
            if (c == IAC)
                state_ = State::SUB_IAC;
            else if (sub_.size() < LONGEST_SUBNEGOTIATION)
                sub_ += static_cast<char>(c);
            break;
        case State::SUB_IAC:
            if (c == SE) {
                subnegotiation(sub_);
                state_ = State::DATA;
            } else {
                if (c == IAC && sub_.size() < LONGEST_SUBNEGOTIATION)
                    sub_ += static_cast<char>(c);
                state_ = State::SUB;
            }
            break;
        }
    }
    if (data_.size() - data_at_ > MOST_UNREAD) {
        data_.erase(0, data_.size() - MOST_UNREAD);
        data_at_ = 0;
    }
}

} // namespace telnet
