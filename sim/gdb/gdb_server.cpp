#include "sim/gdb/gdb_server.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include "sim/gdb/gdb_commands.h"

namespace korvasim {

namespace {

const int INTERRUPT_REPEAT_MS = 20;
const auto SLOW_INTERRUPT = std::chrono::seconds(2);
// How long replies may wait for a debugger that does not read them, and how
// many may pile up meanwhile.
const auto SEND_TIME_OUT = std::chrono::seconds(5);
const size_t OUTBOX_LIMIT = 1 << 20;
const int CLIENT_SEND_BUFFER = 64 * 1024;
const auto REFUSAL_LINGER = std::chrono::seconds(2);

std::runtime_error socket_error(const std::string& what)
{
    return std::runtime_error(what + ": " + strerror(errno));
}

} // namespace

Result parse_gdb_address(const std::string& text, std::string* host, uint16_t* port)
{
    const size_t colon = text.rfind(':');
    std::string port_text = text;
    *host = "127.0.0.1";
    if (colon != std::string::npos) {
        *host = text.substr(0, colon);
        port_text = text.substr(colon + 1);
        if (host->size() >= 2 && host->front() == '[' && host->back() == ']')
            *host = host->substr(1, host->size() - 2);
        if (host->empty())
            return Result::failure("no host before ':' in '" + text + "'");
    }
    char* end = nullptr;
    errno = 0;
    const unsigned long value = strtoul(port_text.c_str(), &end, 10);
    if (port_text.empty() || *end != '\0' || port_text[0] == '-' || port_text[0] == '+' ||
        errno != 0 || value > 65535)
        return Result::failure("'" + port_text + "' is not a TCP port number (0 to 65535)");
    *port = static_cast<uint16_t>(value);
    return Result::ok();
}

GdbServer::GdbServer(const std::string& host, uint16_t port, bool hold_at_reset,
                     std::function<void(const std::string&)> tell)
    : tell_(std::move(tell)), boards_(hold_at_reset, [this] { wake(); })
{
    listen_on(host, port);
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        close(listener_);
        throw socket_error("cannot create the debugger's wake-up pipe");
    }
    wake_read_ = pipe_ends[0];
    wake_write_ = pipe_ends[1];
    thread_ = std::thread([this] { serve(); });
}

void GdbServer::listen_on(const std::string& host, uint16_t port)
{
    addrinfo hints = {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(port);
    const int looked_up = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
    if (looked_up != 0)
        throw std::runtime_error("cannot listen for a debugger on " + host + ": " +
                                 gai_strerror(looked_up));
    std::string failure;
    for (addrinfo* a = found; a && listener_ < 0; a = a->ai_next) {
        const int fd = socket(a->ai_family, a->ai_socktype | SOCK_CLOEXEC, a->ai_protocol);
        const int on = 1;
        if (fd >= 0 && setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
            bind(fd, a->ai_addr, a->ai_addrlen) == 0 && listen(fd, 2) == 0) {
            listener_ = fd;
            break;
        }
        failure = strerror(errno);
        if (fd >= 0)
            close(fd);
    }
    freeaddrinfo(found);
    if (listener_ < 0)
        throw std::runtime_error("cannot listen for a debugger on " + host + ":" + service + ": " +
                                 failure);
    sockaddr_storage bound = {};
    socklen_t size = sizeof bound;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&bound), &size);
    char name[INET6_ADDRSTRLEN] = "";
    if (bound.ss_family == AF_INET6) {
        const auto* v6 = reinterpret_cast<const sockaddr_in6*>(&bound);
        inet_ntop(AF_INET6, &v6->sin6_addr, name, sizeof name);
        port_ = ntohs(v6->sin6_port);
        address_ = std::string("[") + name + "]:" + std::to_string(port_);
        loopback_ = IN6_IS_ADDR_LOOPBACK(&v6->sin6_addr) != 0;
    } else {
        const auto* v4 = reinterpret_cast<const sockaddr_in*>(&bound);
        inet_ntop(AF_INET, &v4->sin_addr, name, sizeof name);
        port_ = ntohs(v4->sin_port);
        address_ = std::string(name) + ":" + std::to_string(port_);
        loopback_ = (ntohl(v4->sin_addr.s_addr) >> 24) == 127;
    }
}

GdbServer::~GdbServer()
{
    {
        std::lock_guard<std::mutex> lock(quit_mutex_);
        quit_ = true;
    }
    wake();
    thread_.join();
    if (client_ >= 0)
        close(client_);
    for (const Refused& r : refused_)
        close(r.fd);
    close(listener_);
    close(wake_read_);
    close(wake_write_);
}

void GdbServer::wake()
{
    const char byte = 0;
    // A full pipe wakes the server thread just as well.
    (void)!write(wake_write_, &byte, 1);
}

void GdbServer::serve()
{
    for (;;) {
        const short client_events = static_cast<short>(POLLIN | (outbox_.empty() ? 0 : POLLOUT));
        std::vector<pollfd> fds = {{wake_read_, POLLIN, 0}, {listener_, POLLIN, 0}, {client_, client_events, 0}};
        for (const Refused& r : refused_)
            fds.push_back({r.fd, POLLIN, 0});
        const bool hurry = boards_.interrupting() || !refused_.empty() || !outbox_.empty();
        poll(fds.data(), fds.size(), hurry ? INTERRUPT_REPEAT_MS : 1000);
        const int count = client_ >= 0 ? 3 : 2;
        std::vector<int> refused_readable;
        for (size_t i = 3; i < fds.size(); ++i)
            if (fds[i].revents)
                refused_readable.push_back(fds[i].fd);
        drain_refused(refused_readable);
        if (fds[0].revents) {
            char drain[64];
            while (read(wake_read_, drain, sizeof drain) > 0) {
            }
        }
        {
            std::lock_guard<std::mutex> lock(quit_mutex_);
            if (quit_)
                return;
        }
        // The debugger first: one that closed and connects again at once is
        // gone before its new connection is looked at.
        if (count == 3 && (fds[2].revents & POLLOUT))
            flush_outbox();
        if (count == 3 && client_ >= 0 && (fds[2].revents & ~POLLOUT))
            receive();
        if (client_ >= 0 && !outbox_.empty())
            flush_outbox();
        if (fds[1].revents & POLLIN)
            accept_debugger();
        report_stop_if_any();
        keep_interrupting();
    }
}

void GdbServer::keep_interrupting()
{
    if (!boards_.interrupting()) {
        interrupt_asked_.reset();
        slow_interrupt_told_ = false;
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (!interrupt_asked_)
        interrupt_asked_ = now;
    else if (now - *interrupt_asked_ > SLOW_INTERRUPT && !slow_interrupt_told_) {
        tell_("the board has not stopped yet: its core stops at its next device access, "
              "and code that touches no device runs on");
        slow_interrupt_told_ = true;
    }
    boards_.ask_again();
}

void GdbServer::accept_debugger()
{
    sockaddr_storage peer = {};
    socklen_t size = sizeof peer;
    const int fd = accept4(listener_, reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC);
    if (fd < 0) {
        // Out of descriptors, say: the listener stays readable, so do not spin.
        if (errno != EINTR && errno != EAGAIN && errno != ECONNABORTED)
            std::this_thread::sleep_for(std::chrono::milliseconds(INTERRUPT_REPEAT_MS * 5));
        return;
    }
    char host[NI_MAXHOST] = "?", service[NI_MAXSERV] = "?";
    getnameinfo(reinterpret_cast<sockaddr*>(&peer), size, host, sizeof host, service, sizeof service,
                NI_NUMERICHOST | NI_NUMERICSERV);
    const std::string who = std::string(host) + ":" + service;
    // What the attached debugger still sent, its close among it, comes first.
    for (pollfd p = {client_, POLLIN, 0}; client_ >= 0 && poll(&p, 1, 0) > 0; p.fd = client_)
        receive();
    if (client_ >= 0) {
        refused_.push_back({fd, std::chrono::steady_clock::now() + REFUSAL_LINGER, {}, false});
        tell_("refused a debugger from " + who + ": another one is attached");
        return;
    }
    const int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    // Replies wait in the stub's outbox, not in a kernel buffer that may
    // grow to megabytes: a debugger that reads nothing is then seen within
    // SEND_TIME_OUT however slowly its requests are answered.
    const int send_buffer = CLIENT_SEND_BUFFER;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &send_buffer, sizeof send_buffer);
    client_ = fd;
    reader_ = gdb::PacketReader();
    no_ack_ = false;
    last_sent_.clear();
    boards_.attach();
    tell_("debugger attached from " + who + "; " + boards_.status());
}

void GdbServer::drain_refused(const std::vector<int>& readable)
{
    const auto now = std::chrono::steady_clock::now();
    for (auto it = refused_.begin(); it != refused_.end();) {
        char buffer[256];
        bool done = now >= it->until;
        if (!done && std::find(readable.begin(), readable.end(), it->fd) != readable.end()) {
            const ssize_t n = read(it->fd, buffer, sizeof buffer);
            done = n <= 0;
            std::vector<gdb::PacketReader::Event> events;
            if (n > 0)
                it->reader.feed(buffer, static_cast<size_t>(n), &events);
            for (const auto& e : events) {
                if (e.kind != gdb::PacketReader::Kind::PACKET || it->told)
                    continue;
                const std::string refusal =
                    "+" + gdb::frame("E.another debugger is attached to this board");
                (void)!send(it->fd, refusal.data(), refusal.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
                shutdown(it->fd, SHUT_WR);
                it->told = true;
            }
        }
        if (done) {
            close(it->fd);
            it = refused_.erase(it);
        } else {
            ++it;
        }
    }
}

void GdbServer::drop_debugger(const std::string& why)
{
    close(client_);
    client_ = -1;
    outbox_.clear();
    boards_.detach();
    tell_("debugger " + why);
}

void GdbServer::receive()
{
    char buffer[4096];
    const ssize_t n = read(client_, buffer, sizeof buffer);
    if (n <= 0) {
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        drop_debugger("disconnected");
        return;
    }
    std::vector<gdb::PacketReader::Event> events;
    reader_.feed(buffer, static_cast<size_t>(n), &events);
    for (const auto& event : events) {
        if (client_ < 0)
            return;
        switch (event.kind) {
        case gdb::PacketReader::Kind::ACK:
            break;
        case gdb::PacketReader::Kind::NACK:
            if (!last_sent_.empty())
                send_raw(last_sent_);
            break;
        case gdb::PacketReader::Kind::BAD_PACKET:
            if (!no_ack_)
                send_raw("-");
            break;
        case gdb::PacketReader::Kind::INTERRUPT:
            boards_.interrupt_if_waiting();
            break;
        case gdb::PacketReader::Kind::PACKET:
            if (!no_ack_)
                send_raw("+");
            answer(event.payload);
            break;
        }
    }
}

void GdbServer::answer(const std::string& packet)
{
    const gdb::GdbReply reply = gdb::run_command(boards_, packet);
    for (const std::string& payload : reply.packets)
        if (client_ >= 0)
            send_packet(payload);
    switch (reply.action) {
    case gdb::GdbAction::NONE:
        break;
    case gdb::GdbAction::STOP_ACKS:
        no_ack_ = true;
        break;
    case gdb::GdbAction::DETACH:
        if (client_ >= 0)
            drop_debugger("detached");
        break;
    case gdb::GdbAction::KILL:
        if (client_ >= 0)
            drop_debugger("killed the board");
        break;
    }
}

void GdbServer::send_raw(const std::string& bytes)
{
    if (outbox_.empty())
        outbox_since_ = std::chrono::steady_clock::now();
    outbox_ += bytes;
    flush_outbox();
}

void GdbServer::flush_outbox()
{
    // Never blocks: a debugger that does not read must not hold the stub.
    while (!outbox_.empty() && client_ >= 0) {
        const ssize_t n = send(client_, outbox_.data(), outbox_.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        if (n <= 0) {
            drop_debugger("lost");
            return;
        }
        outbox_.erase(0, static_cast<size_t>(n));
        outbox_since_ = std::chrono::steady_clock::now();
    }
    if (client_ >= 0 && !outbox_.empty() &&
        (outbox_.size() > OUTBOX_LIMIT || std::chrono::steady_clock::now() - outbox_since_ > SEND_TIME_OUT))
        drop_debugger("dropped: it has read nothing of the stub's replies for " +
                      std::to_string(std::chrono::duration_cast<std::chrono::seconds>(SEND_TIME_OUT).count()) +
                      " s");
}

void GdbServer::send_packet(const std::string& payload)
{
    last_sent_ = gdb::frame(payload);
    send_raw(last_sent_);
}

void GdbServer::report_stop_if_any()
{
    if (client_ < 0)
        return;
    const std::optional<DebugStop> stop = boards_.take_stop_to_report();
    if (!stop)
        return;
    if (!stop->fault.empty())
        send_packet("O" + gdb::to_hex("the board stopped: " + stop->fault + "\n"));
    if (client_ >= 0)
        send_packet(gdb::stop_reply(*stop));
}

} // namespace korvasim
