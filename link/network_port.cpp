// RFC 2217 over a TCP connection, written here because no Debian library
// offers a C++ client of it: the connection, the wait for the telnet
// negotiation (telnet_stream), and COM-PORT-OPTION's line settings and
// purge, checked before the board's first byte is read.
#include "link/network_port.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "host/output.h"
#include "link/serial_port.h"
#include "link/telnet_stream.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace telnet;

const int SET_UP_MS = 10000;
const size_t OUT_BATCH = 4096;

struct Connection {
    int socket = -1;
    Stream stream;
    std::string url;
    int baud = 0;
    bool settings_checked = true;  // the line settings' answers came and took
    Clock::time_point configured_at;
    int round_trip_ms = -1;
};

Connection connection;

// Sends what is queued; a reason when the connection failed, or when the
// server took none of it by the deadline (set-up only: a board's line
// waits as long as a local port's does).
const char* send_queued(const Clock::time_point* deadline = nullptr)
{
    size_t sent = 0;
    while (sent < connection.stream.out().size()) {
        const std::string& out = connection.stream.out();
        const ssize_t n = send(connection.socket, out.data() + sent, out.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            return n < 0 ? strerror(errno) : "the connection closed";
        const int left = deadline ? static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                         *deadline - Clock::now()).count())
                                  : -1;
        pollfd p = {connection.socket, POLLOUT, 0};
        if (deadline && (left <= 0 || poll(&p, 1, left) == 0))
            return "the server does not read what the tool sends";
        if (!deadline)
            poll(&p, 1, -1);
    }
    connection.stream.out().clear();
    return nullptr;
}

// Reads what the connection has within timeout_ms. 1 when something came,
// 0 on time-out, -1 with *why when the connection failed or closed.
int receive(int timeout_ms, std::string* why)
{
    pollfd p = {connection.socket, POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, timeout_ms);
    } while (ready < 0 && errno == EINTR);
    if (ready == 0)
        return 0;
    unsigned char buffer[4096];
    const ssize_t n = ready < 0 ? -1 : recv(connection.socket, buffer, sizeof buffer, MSG_DONTWAIT);
    if (n > 0) {
        // A server that sends an answer in small pieces waits for our
        // acknowledgement of each (Nagle's rule): acknowledge at once
        // rather than after the 40 ms a receiver may wait. Linux turns this
        // off again by itself, so it is asked for after every read.
        const int one = 1;
        setsockopt(connection.socket, IPPROTO_TCP, TCP_QUICKACK, &one, sizeof one);
        connection.stream.take(buffer, static_cast<size_t>(n));
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
        if (const char* failed = send_queued(&deadline)) {
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
    // A port beyond 65535 would wrap to another one: refused.
    return !host->empty() && !port->empty() && port->find_first_not_of("0123456789") == std::string::npos &&
           port->size() <= 5 && std::stol(*port) >= 1 && std::stol(*port) <= 65535;
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
    // Stays non-blocking: every send and receive waits in a poll of its own.
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
    connection = Connection();
    connection.url = url;
    std::string host, port;
    if (!parse_url(url, &host, &port)) {
        *why = "expected rfc2217://HOST:PORT, PORT from 1 to 65535";
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
    for (const addrinfo* a = found; a && connection.socket < 0; a = a->ai_next)
        connection.socket = connect_within(a, SET_UP_MS, &error);
    freeaddrinfo(found);
    if (connection.socket < 0) {
        *why = strerror(error);
        return false;
    }
    // A command byte must not wait for more bytes to join it.
    const int one = 1;
    setsockopt(connection.socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    const Clock::time_point asked = Clock::now();
    connection.stream.request_options();
    // The server answers the first requests at once: their round trip is
    // the network's. Its answers to the line settings take as long as the
    // serial port's driver does, which is no measure of the network.
    const bool negotiated = wait_for([&] {
        if (connection.round_trip_ms < 0 && (connection.stream.binary_both_ways() || connection.stream.refused(OPT_BINARY)))
            connection.round_trip_ms = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked).count());
        return (connection.stream.binary_both_ways() && connection.stream.com_port()) ||
               connection.stream.refused(OPT_BINARY) || connection.stream.refused(OPT_COM_PORT);
    }, "telnet negotiation", why);
    if (negotiated && connection.stream.refused(OPT_BINARY))
        *why = "the server refuses binary transmission";
    else if (negotiated && connection.stream.refused(OPT_COM_PORT))
        *why = "the server does not set serial lines (no RFC 2217 COM-PORT-OPTION)";
    if (!negotiated || connection.stream.refused(OPT_BINARY) || connection.stream.refused(OPT_COM_PORT)) {
        network_close();
        return false;
    }
    return true;
}

bool network_configure(int baud, std::string* why)
{
    connection.stream.answers().clear();
    connection.baud = baud;
    connection.settings_checked = false;
    connection.configured_at = Clock::now();
    connection.stream.queue_com_port(SET_BAUDRATE, be32(static_cast<unsigned>(baud)));
    connection.stream.queue_com_port(SET_DATASIZE, std::string(1, 8));
    connection.stream.queue_com_port(SET_PARITY, std::string(1, static_cast<char>(PARITY_NONE)));
    connection.stream.queue_com_port(SET_STOPSIZE, std::string(1, static_cast<char>(STOP_ONE)));
    connection.stream.queue_com_port(SET_CONTROL, std::string(1, static_cast<char>(CONTROL_NO_FLOW)));
    connection.stream.queue_com_port(SET_CONTROL, std::string(1, static_cast<char>(CONTROL_NO_INBOUND_FLOW)));
    // As a local port's are: a server whose port has no modem lines (a
    // pseudo-terminal) answers as it can, and the answer is not waited for.
    connection.stream.queue_com_port(SET_CONTROL, std::string(1, static_cast<char>(CONTROL_DTR_OFF)));
    connection.stream.queue_com_port(SET_CONTROL, std::string(1, static_cast<char>(CONTROL_RTS_OFF)));
    connection.stream.queue_com_port(PURGE_DATA, std::string(1, static_cast<char>(PURGE_BOTH)));
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(SET_UP_MS);
    if (const char* failed = send_queued(&deadline)) {
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
    const std::string& rate = connection.stream.answers()[SET_BAUDRATE];
    unsigned took = 0;
    for (unsigned char c : rate)
        took = took << 8 | c;
    if (rate.size() != 4 || took != static_cast<unsigned>(connection.baud))
        return "the server refuses " + std::to_string(connection.baud) + " baud (it answered " + std::to_string(took) + ")";
    const std::pair<unsigned char, unsigned char> settings[] = {
        {SET_DATASIZE, 8}, {SET_PARITY, PARITY_NONE}, {SET_STOPSIZE, STOP_ONE}};
    const char* names[] = {"8 data bits", "no parity", "one stop bit"};
    for (size_t i = 0; i < 3; ++i) {
        const std::string& answer = connection.stream.answers()[settings[i].first];
        if (answer.size() != 1 || static_cast<unsigned char>(answer[0]) != settings[i].second)
            return std::string("the server refuses ") + names[i];
    }
    return "";
}

[[noreturn]] void configuration_failed(const std::string& why)
{
    console_end_line();
    fprintf(stderr, "Could not configure serial port %s (%s).\n", connection.url.c_str(), why.c_str());
    exit(1);
}

// The line settings are answered while the tool waits for the board (the
// server may take tens of milliseconds to set its port): no byte of the
// board's is read before they are known to have taken.
bool settings_known(Clock::time_point now)
{
    if (connection.settings_checked)
        return true;
    const unsigned char needed[] = {SET_BAUDRATE, SET_DATASIZE, SET_PARITY, SET_STOPSIZE, PURGE_DATA};
    for (unsigned char c : needed)
        if (!connection.stream.answers().count(c)) {
            if (now - connection.configured_at > std::chrono::milliseconds(SET_UP_MS))
                configuration_failed("no answer to the line settings from the server in " +
                                     std::to_string(SET_UP_MS / 1000) + " s");
            return false;
        }
    if (const std::string why = refused_setting(); !why.empty())
        configuration_failed(why);
    connection.settings_checked = true;
    return true;
}

} // namespace

void network_put(char byte)
{
    connection.stream.queue_byte(static_cast<unsigned char>(byte));
    if (connection.stream.out().size() >= OUT_BATCH)
        network_flush();
}

void network_put_all(const char* bytes, unsigned count)
{
    for (unsigned i = 0; i < count; ++i)
        connection.stream.queue_byte(static_cast<unsigned char>(bytes[i]));
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
    while (!settings_known(Clock::now()) || !connection.stream.has_data()) {
        // Waits for the board's bytes, and no longer than the settings'
        // answers may take.
        int left = connection.settings_checked ? -1 : SET_UP_MS;
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
        if (got >= 0 && !connection.stream.out().empty())
            network_flush();
        if (got < 0) {
            if (error) {
                *error = 1;
                return 0;
            }
            serial_lost(why.c_str());
        }
    }
    return static_cast<signed char>(connection.stream.next_data());
}

void network_close()
{
    if (connection.socket >= 0) {
        // What is left goes if the server takes it in time; a server that
        // does not read must not hold the tool at its end.
        const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(SET_UP_MS);
        send_queued(&deadline);
        close(connection.socket);
    }
    connection.socket = -1;
}

int network_round_trip_ms()
{
    return std::max(connection.round_trip_ms, 0);
}
