// RFC 2217 over a TCP connection, written here because no Debian library
// offers a C++ client of it: telnet's option negotiation (RFC 854, 1143's
// rule that only a change of state is answered), binary transmission both
// ways (RFC 856, so that no byte of the image is changed), every 0xFF
// doubled both ways, and COM-PORT-OPTION's line settings and purge.
#include "link/network_port.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "host/output.h"
#include "link/serial_port.h"

namespace {

using Clock = std::chrono::steady_clock;

const unsigned char IAC = 255, DONT = 254, DO = 253, WONT = 252, WILL = 251, SB = 250, SE = 240;
const unsigned char OPT_BINARY = 0, OPT_SGA = 3, OPT_COM_PORT = 44;
// COM-PORT-OPTION commands (client to server); the server answers each
// with the command plus 100 and the value it took.
const unsigned char SET_BAUDRATE = 1, SET_DATASIZE = 2, SET_PARITY = 3, SET_STOPSIZE = 4, SET_CONTROL = 5,
                    PURGE_DATA = 12, SERVER_OFFSET = 100;
const unsigned char PARITY_NONE = 1, STOP_ONE = 1, CONTROL_NO_FLOW = 1, CONTROL_DTR_OFF = 9, CONTROL_RTS_OFF = 12,
                    CONTROL_NO_INBOUND_FLOW = 14, PURGE_BOTH = 3;
const int SET_UP_MS = 10000;
const size_t OUT_BATCH = 4096;

struct Telnet {
    int socket = -1;
    std::string out;       // bytes queued, already escaped
    std::string data;      // the board's bytes, unescaped, not yet read
    size_t data_at = 0;
    enum class State { DATA, IAC_SEEN, OPTION, SUB, SUB_IAC } state = State::DATA;
    unsigned char verb = 0;
    std::string sub;
    bool local[256] = {};   // we WILL, and the server said DO
    bool remote[256] = {};  // the server WILL, and we said DO
    bool refused[256] = {}; // the server said DONT or WONT to one we need
    bool asked_will[256] = {}, asked_do[256] = {};  // our requests not yet answered
    std::map<unsigned char, std::string> answers;  // COM-PORT-OPTION answers by command
    std::string url;
    int baud = 0;
    bool settings_checked = true;  // the line settings' answers came and took
    Clock::time_point configured_at;
    int round_trip_ms = -1;
};

Telnet telnet;

bool wanted_local(unsigned char option)
{
    return option == OPT_BINARY || option == OPT_SGA || option == OPT_COM_PORT;
}

bool wanted_remote(unsigned char option)
{
    return option == OPT_BINARY || option == OPT_SGA;
}

void queue_command(unsigned char verb, unsigned char option)
{
    if (verb == WILL)
        telnet.asked_will[option] = true;
    if (verb == DO)
        telnet.asked_do[option] = true;
    telnet.out += static_cast<char>(IAC);
    telnet.out += static_cast<char>(verb);
    telnet.out += static_cast<char>(option);
}

void queue_escaped(std::string* to, unsigned char byte)
{
    *to += static_cast<char>(byte);
    if (byte == IAC)
        *to += static_cast<char>(IAC);
}

void queue_com_port(unsigned char command, const std::string& value)
{
    telnet.out += static_cast<char>(IAC);
    telnet.out += static_cast<char>(SB);
    telnet.out += static_cast<char>(OPT_COM_PORT);
    telnet.out += static_cast<char>(command);
    for (unsigned char c : value)
        queue_escaped(&telnet.out, c);
    telnet.out += static_cast<char>(IAC);
    telnet.out += static_cast<char>(SE);
}

// Only a change of state is answered, so that two ends never echo each
// other's requests for ever.
void negotiate(unsigned char verb, unsigned char option)
{
    switch (verb) {
    case DO:
        if (!wanted_local(option)) {
            queue_command(WONT, option);
        } else if (!telnet.local[option]) {
            telnet.local[option] = true;
            if (!telnet.asked_will[option])
                queue_command(WILL, option);
        }
        telnet.asked_will[option] = false;
        break;
    case DONT:
        telnet.refused[option] = telnet.refused[option] || telnet.asked_will[option];
        telnet.asked_will[option] = false;
        if (telnet.local[option]) {
            telnet.local[option] = false;
            queue_command(WONT, option);
        }
        break;
    case WILL:
        if (!wanted_remote(option)) {
            queue_command(DONT, option);
        } else if (!telnet.remote[option]) {
            telnet.remote[option] = true;
            if (!telnet.asked_do[option])
                queue_command(DO, option);
        }
        telnet.asked_do[option] = false;
        break;
    case WONT:
        telnet.refused[option] = telnet.refused[option] || telnet.asked_do[option];
        telnet.asked_do[option] = false;
        if (telnet.remote[option]) {
            telnet.remote[option] = false;
            queue_command(DONT, option);
        }
        break;
    }
}

void subnegotiation(const std::string& sub)
{
    if (sub.size() < 2 || static_cast<unsigned char>(sub[0]) != OPT_COM_PORT ||
        static_cast<unsigned char>(sub[1]) <= SERVER_OFFSET)
        return;
    const unsigned char command = static_cast<unsigned char>(sub[1] - SERVER_OFFSET);
    telnet.answers[command] = sub.substr(2);
    // What came before the purge was the line's past, as tcflush drops it.
    if (command == PURGE_DATA) {
        telnet.data.clear();
        telnet.data_at = 0;
    }
}

// Takes what came: the board's bytes to telnet.data, the rest to the
// negotiation.
void take(const unsigned char* bytes, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        const unsigned char c = bytes[i];
        switch (telnet.state) {
        case Telnet::State::DATA:
            if (c == IAC)
                telnet.state = Telnet::State::IAC_SEEN;
            else
                telnet.data += static_cast<char>(c);
            break;
        case Telnet::State::IAC_SEEN:
            telnet.state = Telnet::State::DATA;
            if (c == IAC) {
                telnet.data += static_cast<char>(c);
            } else if (c == DO || c == DONT || c == WILL || c == WONT) {
                telnet.verb = c;
                telnet.state = Telnet::State::OPTION;
            } else if (c == SB) {
                telnet.sub.clear();
                telnet.state = Telnet::State::SUB;
            }
            break;
        case Telnet::State::OPTION:
            negotiate(telnet.verb, c);
            telnet.state = Telnet::State::DATA;
            break;
        case Telnet::State::SUB:
            if (c == IAC)
                telnet.state = Telnet::State::SUB_IAC;
            else if (telnet.sub.size() < 64)
                telnet.sub += static_cast<char>(c);
            break;
        case Telnet::State::SUB_IAC:
            if (c == SE) {
                subnegotiation(telnet.sub);
                telnet.state = Telnet::State::DATA;
            } else {
                if (c == IAC && telnet.sub.size() < 64)
                    telnet.sub += static_cast<char>(c);
                telnet.state = Telnet::State::SUB;
            }
            break;
        }
    }
}

// Sends what is queued; a reason when the connection failed.
const char* send_queued()
{
    size_t sent = 0;
    while (sent < telnet.out.size()) {
        const ssize_t n = send(telnet.socket, telnet.out.data() + sent, telnet.out.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n < 0 ? strerror(errno) : "the connection closed";
        sent += static_cast<size_t>(n);
    }
    telnet.out.clear();
    return nullptr;
}

// Reads what the connection has within timeout_ms. 1 when something came,
// 0 on time-out, -1 with *why when the connection failed or closed.
int receive(int timeout_ms, std::string* why)
{
    pollfd p = {telnet.socket, POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0)
        return 0;
    unsigned char buffer[4096];
    const ssize_t n = ready < 0 ? -1 : recv(telnet.socket, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
        // A server that sends an answer in small pieces waits for our
        // acknowledgement of each (Nagle's rule): acknowledge at once
        // rather than after the 40 ms a receiver may wait. Linux turns this
        // off again by itself, so it is asked for after every read.
        const int one = 1;
        setsockopt(telnet.socket, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        take(buffer, static_cast<size_t>(n));
        return 1;
    }
    if (n < 0 && (errno == EAGAIN || errno == EINTR))
        return 1;
    *why = n == 0 ? "the server closed the connection" : strerror(errno);
    return -1;
}

// Waits until done() holds, answering the server meanwhile. False with
// *why when the connection failed or SET_UP_MS passed.
template <typename Done> bool wait_for(Done done, const char* waited_for, std::string* why)
{
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(SET_UP_MS);
    for (;;) {
        if (const char* failed = send_queued()) {
            *why = failed;
            return false;
        }
        if (done())
            return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) {
            *why = std::string("no ") + waited_for + " from the server in " + std::to_string(SET_UP_MS / 1000) + " s";
            return false;
        }
        if (receive(static_cast<int>(left), why) < 0)
            return false;
    }
}

// "rfc2217://HOST:PORT", HOST perhaps "[v6]".
bool parse_url(const char* url, std::string* host, std::string* port)
{
    const std::string rest = std::string(url).substr(strlen("rfc2217://"));
    const size_t colon = rest.rfind(':');
    if (colon == std::string::npos || colon == 0 || colon + 1 == rest.size())
        return false;
    *host = rest.substr(0, colon);
    *port = rest.substr(colon + 1);
    if (host->front() == '[' && host->back() == ']')
        *host = host->substr(1, host->size() - 2);
    return !host->empty() && port->find_first_not_of("0123456789") == std::string::npos && port->size() <= 5;
}

int connect_within(const addrinfo* a, int timeout_ms, int* error)
{
    const int s = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC | SOCK_NONBLOCK, a->ai_protocol);
    if (s < 0) {
        *error = errno;
        return -1;
    }
    if (connect(s, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
        *error = errno;
        close(s);
        return -1;
    }
    pollfd p = {s, POLLOUT, 0};
    int result = 0;
    socklen_t size = sizeof result;
    if (poll(&p, 1, timeout_ms) != 1 || getsockopt(s, SOL_SOCKET, SO_ERROR, &result, &size) != 0 || result != 0) {
        *error = result ? result : ETIMEDOUT;
        close(s);
        return -1;
    }
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) & ~O_NONBLOCK);
    return s;
}

std::string be32(unsigned value)
{
    return {static_cast<char>(value >> 24), static_cast<char>(value >> 16), static_cast<char>(value >> 8),
            static_cast<char>(value)};
}

} // namespace

bool network_port_named(const char* device)
{
    return strncmp(device, "rfc2217://", 10) == 0;
}

bool network_open(const char* url, std::string* why)
{
    telnet = Telnet();
    telnet.url = url;
    std::string host, port;
    if (!parse_url(url, &host, &port)) {
        *why = "expected rfc2217://HOST:PORT";
        return false;
    }
    addrinfo hints = {};
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int failed = getaddrinfo(host.c_str(), port.c_str(), &hints, &found)) {
        *why = "cannot resolve " + host + ": " + gai_strerror(failed);
        return false;
    }
    int error = 0;
    for (const addrinfo* a = found; a && telnet.socket < 0; a = a->ai_next)
        telnet.socket = connect_within(a, SET_UP_MS, &error);
    freeaddrinfo(found);
    if (telnet.socket < 0) {
        *why = strerror(error);
        return false;
    }
    // A command byte must not wait for more bytes to join it.
    const int one = 1;
    setsockopt(telnet.socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const Clock::time_point asked = Clock::now();
    queue_command(WILL, OPT_BINARY);
    queue_command(DO, OPT_BINARY);
    queue_command(WILL, OPT_COM_PORT);
    queue_command(WILL, OPT_SGA);
    queue_command(DO, OPT_SGA);
    // The server answers the first requests at once: their round trip is
    // the network's. Its answers to the line settings take as long as the
    // serial port's driver does, which is no measure of the network.
    const bool negotiated = wait_for([&] {
        if (telnet.round_trip_ms < 0 && (telnet.local[OPT_BINARY] || telnet.refused[OPT_BINARY]))
            telnet.round_trip_ms = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked).count());
        return (telnet.local[OPT_BINARY] && telnet.remote[OPT_BINARY] && telnet.local[OPT_COM_PORT]) ||
               telnet.refused[OPT_BINARY] || telnet.refused[OPT_COM_PORT];
    }, "telnet negotiation", why);
    if (negotiated && telnet.refused[OPT_BINARY])
        *why = "the server refuses binary transmission";
    else if (negotiated && telnet.refused[OPT_COM_PORT])
        *why = "the server does not set serial lines (no RFC 2217 COM-PORT-OPTION)";
    if (!negotiated || telnet.refused[OPT_BINARY] || telnet.refused[OPT_COM_PORT]) {
        network_close();
        return false;
    }
    return true;
}

bool network_configure(int baud, std::string* why)
{
    telnet.answers.clear();
    telnet.baud = baud;
    telnet.settings_checked = false;
    telnet.configured_at = Clock::now();
    queue_com_port(SET_BAUDRATE, be32(static_cast<unsigned>(baud)));
    queue_com_port(SET_DATASIZE, std::string(1, 8));
    queue_com_port(SET_PARITY, std::string(1, static_cast<char>(PARITY_NONE)));
    queue_com_port(SET_STOPSIZE, std::string(1, static_cast<char>(STOP_ONE)));
    queue_com_port(SET_CONTROL, std::string(1, static_cast<char>(CONTROL_NO_FLOW)));
    queue_com_port(SET_CONTROL, std::string(1, static_cast<char>(CONTROL_NO_INBOUND_FLOW)));
    // As a local port's are: a server whose port has no modem lines (a
    // pseudo-terminal) answers as it can, and the answer is not waited for.
    queue_com_port(SET_CONTROL, std::string(1, static_cast<char>(CONTROL_DTR_OFF)));
    queue_com_port(SET_CONTROL, std::string(1, static_cast<char>(CONTROL_RTS_OFF)));
    queue_com_port(PURGE_DATA, std::string(1, static_cast<char>(PURGE_BOTH)));
    if (const char* failed = send_queued()) {
        *why = failed;
        return false;
    }
    return true;
}

namespace {

// Why the server's answers to the line settings refuse them; empty when
// they took.
std::string refused_setting()
{
    const std::string& rate = telnet.answers[SET_BAUDRATE];
    unsigned took = 0;
    for (unsigned char c : rate)
        took = took << 8 | c;
    if (rate.size() != 4 || took != static_cast<unsigned>(telnet.baud))
        return "the server refuses " + std::to_string(telnet.baud) + " baud (it answered " + std::to_string(took) + ")";
    const std::pair<unsigned char, unsigned char> settings[] = {
        {SET_DATASIZE, 8}, {SET_PARITY, PARITY_NONE}, {SET_STOPSIZE, STOP_ONE}};
    const char* names[] = {"8 data bits", "no parity", "one stop bit"};
    for (size_t i = 0; i < 3; ++i) {
        const std::string& answer = telnet.answers[settings[i].first];
        if (answer.size() != 1 || static_cast<unsigned char>(answer[0]) != settings[i].second)
            return std::string("the server refuses ") + names[i];
    }
    return "";
}

[[noreturn]] void configuration_failed(const std::string& why)
{
    console_end_line();
    fprintf(stderr, "Could not configure serial port %s (%s).\n", telnet.url.c_str(), why.c_str());
    exit(1);
}

// The line settings are answered while the tool waits for the board (the
// server may take tens of milliseconds to set its port): no byte of the
// board's is read before they are known to have taken.
bool settings_known(Clock::time_point now)
{
    if (telnet.settings_checked)
        return true;
    const unsigned char needed[] = {SET_BAUDRATE, SET_DATASIZE, SET_PARITY, SET_STOPSIZE, PURGE_DATA};
    for (unsigned char c : needed)
        if (!telnet.answers.count(c)) {
            if (now - telnet.configured_at > std::chrono::milliseconds(SET_UP_MS))
                configuration_failed("no answer to the line settings from the server in " +
                                     std::to_string(SET_UP_MS / 1000) + " s");
            return false;
        }
    if (const std::string why = refused_setting(); !why.empty())
        configuration_failed(why);
    telnet.settings_checked = true;
    return true;
}

} // namespace

void network_put(char byte)
{
    queue_escaped(&telnet.out, static_cast<unsigned char>(byte));
    if (telnet.out.size() >= OUT_BATCH)
        network_flush();
}

void network_flush()
{
    if (const char* failed = send_queued())
        serial_lost(failed);
}

signed char network_get(int timeout_ms, int* error)
{
    if (error)
        *error = 0;
    network_flush();
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (!settings_known(Clock::now()) || telnet.data_at == telnet.data.size()) {
        if (telnet.data_at == telnet.data.size()) {
            telnet.data.clear();
            telnet.data_at = 0;
        }
        // Waits for the board's bytes, and no longer than the settings'
        // answers may take.
        int left = telnet.settings_checked ? -1 : SET_UP_MS;
        if (timeout_ms > 0) {
            const int until_deadline = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count());
            if (until_deadline <= 0) {
                if (error)
                    *error = 1;
                return 0;
            }
            left = left < 0 ? until_deadline : std::min(left, until_deadline);
        }
        std::string why;
        const int got = receive(left, &why);
        // The server's answers to what it was sent go out at once.
        if (got >= 0 && !telnet.out.empty())
            network_flush();
        if (got < 0) {
            if (error) {
                *error = 1;
                return 0;
            }
            serial_lost(why.c_str());
        }
    }
    return static_cast<signed char>(telnet.data[telnet.data_at++]);
}

void network_close()
{
    if (telnet.socket >= 0) {
        send_queued();
        close(telnet.socket);
    }
    telnet.socket = -1;
}

int network_round_trip_ms()
{
    return std::max(telnet.round_trip_ms, 0);
}
