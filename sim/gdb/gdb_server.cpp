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

namespace korvasim {

namespace {

using gdb::parse_number;
using gdb::to_hex;

// gdb numbers the ARM core's status register 25 (16-24 are the old FPA's).
const uint32_t GDB_CPSR = 25;
const uint32_t RESET_CPSR = 0xD3;
const int INTERRUPT_REPEAT_MS = 20;
const auto SLOW_INTERRUPT = std::chrono::seconds(2);
// How long replies may wait for a debugger that does not read them, and how
// many may pile up meanwhile.
const auto SEND_TIME_OUT = std::chrono::seconds(5);
const size_t OUTBOX_LIMIT = 1 << 20;
// A memory read beyond this is cut short; gdb asks for the rest.
const uint32_t MAX_MEMORY_READ = (gdb::PACKET_SIZE - 16) / 2;
const char* const ERROR_REPLY = "E01";
const auto REFUSAL_LINGER = std::chrono::seconds(2);

const char* const TARGET_XML =
    "<?xml version=\"1.0\"?>\n"
    "<!DOCTYPE target SYSTEM \"gdb-target.dtd\">\n"
    "<target version=\"1.0\">\n"
    "<architecture>arm</architecture>\n"
    "<feature name=\"org.gnu.gdb.arm.core\">\n"
    "<reg name=\"r0\" bitsize=\"32\"/>\n<reg name=\"r1\" bitsize=\"32\"/>\n"
    "<reg name=\"r2\" bitsize=\"32\"/>\n<reg name=\"r3\" bitsize=\"32\"/>\n"
    "<reg name=\"r4\" bitsize=\"32\"/>\n<reg name=\"r5\" bitsize=\"32\"/>\n"
    "<reg name=\"r6\" bitsize=\"32\"/>\n<reg name=\"r7\" bitsize=\"32\"/>\n"
    "<reg name=\"r8\" bitsize=\"32\"/>\n<reg name=\"r9\" bitsize=\"32\"/>\n"
    "<reg name=\"r10\" bitsize=\"32\"/>\n<reg name=\"r11\" bitsize=\"32\"/>\n"
    "<reg name=\"r12\" bitsize=\"32\"/>\n"
    "<reg name=\"sp\" bitsize=\"32\" type=\"data_ptr\"/>\n"
    "<reg name=\"lr\" bitsize=\"32\"/>\n"
    "<reg name=\"pc\" bitsize=\"32\" type=\"code_ptr\"/>\n"
    "<reg name=\"cpsr\" bitsize=\"32\" regnum=\"25\"/>\n"
    "</feature>\n"
    "</target>\n";

std::string word_hex(uint32_t value)
{
    // Registers travel in the target's byte order: big-endian.
    const uint8_t bytes[4] = {static_cast<uint8_t>(value >> 24), static_cast<uint8_t>(value >> 16),
                              static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    return to_hex(bytes, 4);
}

bool parse_word(const std::string& hex, uint32_t* value)
{
    std::vector<uint8_t> bytes;
    if (!gdb::from_hex(hex, &bytes) || bytes.size() != 4)
        return false;
    *value = uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
    return true;
}

// "ADDR,LENGTH" as hex numbers.
bool parse_range(const std::string& text, uint32_t* address, uint32_t* length)
{
    const size_t comma = text.find(',');
    return comma != std::string::npos && parse_number(text.substr(0, comma), address) &&
           parse_number(text.substr(comma + 1), length);
}

// A point is set once however often gdb inserts it.
template <typename Point>
void insert_or_remove(std::vector<Point>* list, const Point& point, bool insert)
{
    const auto it = std::find(list->begin(), list->end(), point);
    if (insert && it == list->end())
        list->push_back(point);
    else if (!insert && it != list->end())
        list->erase(it);
}

std::string to_hex_size_text()
{
    char text[16];
    snprintf(text, sizeof text, "%zx", gdb::PACKET_SIZE);
    return text;
}

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
    : tell_(std::move(tell)), hold_at_reset_(hold_at_reset)
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
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        close(listener_);
        throw socket_error("cannot create the debugger's wake-up pipe");
    }
    wake_read_ = pipe_ends[0];
    wake_write_ = pipe_ends[1];
    thread_ = std::thread([this] { serve(); });
}

GdbServer::~GdbServer()
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
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

DebugResume GdbServer::stopped(DebugTarget& board, const DebugStop& stop)
{
    std::unique_lock<std::mutex> lock(mutex_);
    board_ = &board;
    if (stop.cause == StopCause::RESET) {
        const bool hold = (hold_at_reset_ && !skip_hold_) || step_from_reset_;
        skip_hold_ = false;
        step_from_reset_ = false;
        if (!hold)
            return DebugResume{attached_ ? ResumeMode::CONTINUE : ResumeMode::DETACH, points_};
    } else if (!attached_) {
        return DebugResume{ResumeMode::DETACH, {}};
    }
    board_stopped_ = true;
    stop_unreported_ = true;
    stop_ = stop;
    wake();
    resumed_.wait(lock, [&] { return resume_.has_value() || board_ != &board; });
    if (board_ != &board)
        return DebugResume{ResumeMode::KILL, {}};
    board_stopped_ = false;
    const DebugResume how = *resume_;
    resume_.reset();
    return how;
}

void GdbServer::board_gone(DebugTarget& board)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (board_ != &board)
        return;
    board_ = nullptr;
    board_stopped_ = false;
    stop_unreported_ = false;
    resume_.reset();
    resumed_.notify_all();
}

void GdbServer::serve()
{
    for (;;) {
        const short client_events = static_cast<short>(POLLIN | (outbox_.empty() ? 0 : POLLOUT));
        std::vector<pollfd> fds = {{wake_read_, POLLIN, 0}, {listener_, POLLIN, 0}, {client_, client_events, 0}};
        for (const Refused& r : refused_)
            fds.push_back({r.fd, POLLIN, 0});
        const bool hurry = interrupting_ || !refused_.empty() || !outbox_.empty();
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
            std::lock_guard<std::mutex> lock(mutex_);
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
        // A stop request can slip in while the engine is between runs: ask
        // again until the board stops.
        if (interrupting_) {
            const auto now = std::chrono::steady_clock::now();
            if (!interrupt_asked_)
                interrupt_asked_ = now;
            else if (now - *interrupt_asked_ > SLOW_INTERRUPT && !slow_interrupt_told_) {
                tell_("the board has not stopped yet: its core stops at its next device access, "
                      "and code that touches no device runs on");
                slow_interrupt_told_ = true;
            }
            interrupt_board();
        } else {
            interrupt_asked_.reset();
            slow_interrupt_told_ = false;
        }
    }
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
    client_ = fd;
    reader_ = gdb::PacketReader();
    no_ack_ = false;
    waiting_ = false;
    interrupting_ = false;
    last_sent_.clear();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        attached_ = true;
    }
    tell_("debugger attached from " + who + "; " + board_status());
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
    waiting_ = false;
    interrupting_ = false;
    {
        // The board runs on without it.
        std::lock_guard<std::mutex> lock(mutex_);
        attached_ = false;
        points_ = {};
        skip_hold_ = false;
        step_from_reset_ = false;
        if (board_stopped_ && !resume_) {
            resume_ = DebugResume{ResumeMode::DETACH, {}};
            resumed_.notify_all();
        }
    }
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
            if (waiting_)
                interrupt_board();
            break;
        case gdb::PacketReader::Kind::PACKET: {
            if (!no_ack_)
                send_raw("+");
            const std::optional<std::string> reply = handle(event.payload);
            if (reply && client_ >= 0)
                send_packet(*reply);
            break;
        }
        }
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

void GdbServer::interrupt_board()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!board_) {
        // Nothing runs: the board is off, as if stopped at once.
        interrupting_ = false;
        stop_ = DebugStop{StopCause::INTERRUPT};
        stop_unreported_ = true;
        wake();
        return;
    }
    interrupting_ = !board_stopped_;
    if (interrupting_) {
        board_->interrupt();
    } else if (waiting_) {
        // Stopped already: that stop is the answer.
        stop_unreported_ = true;
        wake();
    }
}

void GdbServer::report_stop_if_any()
{
    DebugStop stop;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stop_unreported_ || client_ < 0 || !waiting_)
            return;
        stop_unreported_ = false;
        interrupting_ = false;
        waiting_ = false;
        stop = stop_;
    }
    if (!stop.fault.empty())
        send_packet("O" + to_hex("the board stopped: " + stop.fault + "\n"));
    if (client_ >= 0)
        send_packet(stop_reply(stop));
}

std::string GdbServer::stop_reply(const DebugStop& stop) const
{
    switch (stop.cause) {
    case StopCause::INTERRUPT:
        return "S02";
    case StopCause::BAD_INSTRUCTION:
        return "S04";
    case StopCause::BAD_ACCESS:
        return "S0b";
    case StopCause::WATCHPOINT: {
        const char* kind = stop.watch == WatchKind::WRITE  ? "watch"
                           : stop.watch == WatchKind::READ ? "rwatch"
                                                           : "awatch";
        char text[40];
        snprintf(text, sizeof text, "T05%s:%08x;", kind, stop.data_address);
        return text;
    }
    default:
        return "S05";
    }
}

void GdbServer::resume(ResumeMode mode)
{
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_ = true;
    stop_unreported_ = false;
    if (board_stopped_) {
        resume_ = DebugResume{mode, points_};
        resumed_.notify_all();
        return;
    }
    if (!board_) {
        // The board is off: what the debugger says holds for its next start.
        skip_hold_ = mode == ResumeMode::CONTINUE;
        step_from_reset_ = mode == ResumeMode::STEP;
    }
}

std::string GdbServer::read_registers()
{
    std::string hex;
    std::lock_guard<std::mutex> lock(mutex_);
    for (int n = 0; n <= DebugTarget::CPSR; ++n) {
        uint32_t value = n == DebugTarget::CPSR ? RESET_CPSR : 0;
        if (board_stopped_)
            value = board_->reg(n);
        hex += word_hex(value);
    }
    return hex;
}

std::string GdbServer::register_packet(const std::string& arguments, bool write)
{
    const size_t equals = arguments.find('=');
    uint32_t number = 0;
    if (!parse_number(write ? arguments.substr(0, equals) : arguments, &number) ||
        (write && equals == std::string::npos))
        return ERROR_REPLY;
    int n = -1;
    if (number < 16)
        n = static_cast<int>(number);
    else if (number == GDB_CPSR)
        n = DebugTarget::CPSR;
    if (n < 0)
        return ERROR_REPLY;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!write) {
        if (!board_stopped_)
            return word_hex(n == DebugTarget::CPSR ? RESET_CPSR : 0);
        return word_hex(board_->reg(n));
    }
    uint32_t value = 0;
    if (!board_stopped_ || !parse_word(arguments.substr(equals + 1), &value))
        return ERROR_REPLY;
    board_->set_reg(n, value);
    return "OK";
}

std::string GdbServer::read_memory(const std::string& arguments)
{
    uint32_t address = 0, length = 0;
    if (!parse_range(arguments, &address, &length))
        return ERROR_REPLY;
    length = std::min(length, MAX_MEMORY_READ);
    std::vector<uint8_t> bytes(length);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!board_stopped_ || !board_->read_memory(address, bytes.data(), length))
        return ERROR_REPLY;
    return to_hex(bytes.data(), bytes.size());
}

std::string GdbServer::write_memory(const std::string& arguments)
{
    const size_t colon = arguments.find(':');
    uint32_t address = 0, length = 0;
    std::vector<uint8_t> bytes;
    if (colon == std::string::npos || !parse_range(arguments.substr(0, colon), &address, &length) ||
        !gdb::from_hex(arguments.substr(colon + 1), &bytes) || bytes.size() != length)
        return ERROR_REPLY;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!board_stopped_ || !board_->write_memory(address, bytes.data(), bytes.size()))
        return ERROR_REPLY;
    return "OK";
}

std::string GdbServer::set_point(bool insert, const std::string& arguments)
{
    // "TYPE,ADDR,KIND": KIND is a breakpoint's size or a watchpoint's length.
    const size_t comma = arguments.find(',');
    uint32_t type = 0, address = 0, kind = 0;
    if (comma != 1 || !parse_number(arguments.substr(0, 1), &type))
        return ERROR_REPLY;
    std::string range = arguments.substr(comma + 1);
    range = range.substr(0, range.find(';'));  // conditions are gdb's business
    if (type > 4)
        return "";
    if (!parse_range(range, &address, &kind) || kind == 0 || kind > 0x10000 ||
        uint64_t(address) + kind > 0x100000000ull)
        return ERROR_REPLY;
    std::lock_guard<std::mutex> lock(mutex_);
    if (type <= 1)
        insert_or_remove(&points_.breakpoints, address, insert);
    else
        insert_or_remove(&points_.watchpoints,
                         Watchpoint{address, kind,
                                    type == 2 ? WatchKind::WRITE : type == 3 ? WatchKind::READ : WatchKind::ACCESS},
                         insert);
    return "OK";
}

std::string GdbServer::target_description(const std::string& arguments) const
{
    // "target.xml:OFFSET,LENGTH"
    const std::string annex = "target.xml:";
    uint32_t offset = 0, length = 0;
    if (arguments.compare(0, annex.size(), annex) != 0)
        return "E00";
    if (!parse_range(arguments.substr(annex.size()), &offset, &length))
        return ERROR_REPLY;
    const std::string xml = TARGET_XML;
    if (offset >= xml.size())
        return "l";
    const std::string part = xml.substr(offset, std::min<size_t>(length, MAX_MEMORY_READ));
    return (offset + part.size() >= xml.size() ? "l" : "m") + part;
}

std::optional<std::string> GdbServer::handle(const std::string& packet)
{
    if (packet.empty())
        return std::string();
    const char command = packet[0];
    const std::string arguments = packet.substr(1);
    auto starts = [&](const char* prefix) { return packet.rfind(prefix, 0) == 0; };
    switch (command) {
    case '?': {
        std::lock_guard<std::mutex> lock(mutex_);
        if (board_stopped_)
            return stop_reply(stop_);
        if (!board_)
            return std::string("S05");  // off: as at reset
        waiting_ = true;  // running: stopped for the debugger, told when it is
        stop_unreported_ = false;
        interrupting_ = true;
        board_->interrupt();
        return std::nullopt;
    }
    case 'g':
        return read_registers();
    case 'G': {
        if (arguments.size() != 17 * 8)
            return ERROR_REPLY;
        uint32_t values[17];
        for (int n = 0; n < 17; ++n)
            if (!parse_word(arguments.substr(8 * n, 8), &values[n]))
                return ERROR_REPLY;
        std::lock_guard<std::mutex> lock(mutex_);
        if (!board_stopped_)
            return ERROR_REPLY;
        for (int n = 0; n < 17; ++n)
            board_->set_reg(n, values[n]);
        return std::string("OK");
    }
    case 'p':
        return register_packet(arguments, false);
    case 'P':
        return register_packet(arguments, true);
    case 'm':
        return read_memory(arguments);
    case 'M':
        return write_memory(arguments);
    case 'c':
    case 'C':
        resume(ResumeMode::CONTINUE);
        return std::nullopt;
    case 's':
    case 'S':
        resume(ResumeMode::STEP);
        return std::nullopt;
    case 'Z':
    case 'z':
        return set_point(command == 'Z', arguments);
    case 'D':
        send_packet("OK");
        if (client_ >= 0)
            drop_debugger("detached");
        return std::nullopt;
    case 'k':
        resume(ResumeMode::KILL);
        drop_debugger("killed the board");
        return std::nullopt;
    case 'H':
    case 'T':
        return std::string("OK");
    default:
        break;
    }
    if (starts("vCont?"))
        return std::string("vCont;c;C;s;S;t");
    if (starts("vCont;")) {
        // One thread: the first action is the one.
        const char action = packet.size() > 6 ? packet[6] : '\0';
        if (action == 'c' || action == 'C')
            resume(ResumeMode::CONTINUE);
        else if (action == 's' || action == 'S')
            resume(ResumeMode::STEP);
        else if (action == 't') {
            waiting_ = true;
            interrupt_board();
        } else
            return std::string(ERROR_REPLY);
        return std::nullopt;
    }
    if (starts("vKill")) {
        send_packet("OK");
        resume(ResumeMode::KILL);
        if (client_ >= 0)
            drop_debugger("killed the board");
        return std::nullopt;
    }
    if (starts("qSupported"))
        return "PacketSize=" + to_hex_size_text() + ";qXfer:features:read+;QStartNoAckMode+;vContSupported+";
    if (packet == "QStartNoAckMode") {
        send_packet("OK");
        no_ack_ = true;
        return std::nullopt;
    }
    if (starts("qXfer:features:read:"))
        return target_description(packet.substr(20));
    if (packet == "qAttached")
        return std::string("1");
    if (packet == "qC")
        return std::string("QC1");
    if (packet == "qfThreadInfo")
        return std::string("m1");
    if (packet == "qsThreadInfo")
        return std::string("l");
    if (starts("qSymbol"))
        return std::string("OK");
    if (starts("qRcmd,")) {
        // gdb's "monitor" command: "status" tells whether a board is powered
        // and why it stands, which the registers alone do not.
        std::vector<uint8_t> bytes;
        if (!gdb::from_hex(arguments.substr(5), &bytes))
            return std::string(ERROR_REPLY);
        const std::string command(bytes.begin(), bytes.end());
        const std::string text = command == "status" || command.empty()
                                     ? board_status()
                                     : "unknown monitor command '" + command + "'; 'monitor status' tells the board's state";
        send_packet("O" + to_hex(text + "\n"));
        return std::string("OK");
    }
    return std::string();  // not supported
}

std::string GdbServer::board_status()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!board_)
        return "no board is powered: one powers up when a host opens the port (with --power, when "
               "the switch is turned on); until then registers read as at reset and memory cannot be read";
    if (!board_stopped_)
        return "the board is powered and running";
    switch (stop_.cause) {
    case StopCause::RESET:
        return "the board is powered and held at reset, before its first instruction";
    case StopCause::BREAKPOINT:
        return "the board is powered and stopped at a breakpoint";
    case StopCause::STEP:
        return "the board is powered and stopped after a single step";
    case StopCause::WATCHPOINT:
        return "the board is powered and stopped at a watchpoint";
    case StopCause::INTERRUPT:
        return "the board is powered and stopped by the debugger";
    default:
        return "the board is powered and stopped by a CPU fault: " + stop_.fault;
    }
}

} // namespace korvasim
