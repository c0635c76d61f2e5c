// A debugger's end of the stub's connection, speaking the protocol by
// hand, and boards under a stub in this process: the stub's tests' tools.
#ifndef KORVA_TESTS_STUB_CLIENT_H
#define KORVA_TESTS_STUB_CLIENT_H

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "firmware/boot_image.h"
#include "sim/gdb/gdb_server.h"
#include "tests/sim/program_runner.h"

namespace stub_test {

using korvasim::Board;
using korvasim::BoardConfig;
using korvasim::GdbServer;

const int TIMEOUT_MS = 5000;

// A debugger's end of the connection, speaking the protocol by hand.
class Client {
public:
    explicit Client(uint16_t port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
        // As gdb does: an ack and the next packet go out at once.
        const int on = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    ~Client() { disconnect(); }

    void disconnect()
    {
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }

    void send_raw(const std::string& bytes)
    {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

    // Sends a packet and returns the payload of the reply (after the ack).
    std::string ask(const std::string& payload)
    {
        send_raw(korvasim::gdb::frame(payload));
        return reply();
    }

    // The next packet's payload, acknowledged; "<closed>" or "<none>" when
    // the stub closed the connection or sent nothing in time.
    std::string reply()
    {
        korvasim::gdb::PacketReader reader;
        std::vector<korvasim::gdb::PacketReader::Event> events;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(TIMEOUT_MS);
        for (;;) {
            for (const auto& e : events)
                if (e.kind == korvasim::gdb::PacketReader::Kind::PACKET) {
                    send_raw("+");
                    return e.payload;
                }
            events.clear();
            pollfd p = {fd_, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now()).count();
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
                return "<none>";
            char c;
            if (read(fd_, &c, 1) != 1)
                return "<closed>";
            reader.feed(&c, 1, &events);
        }
    }

    // Sends all of bytes, waiting while the socket is full; false once the
    // stub has closed the connection.
    bool send_all(const std::string& bytes)
    {
        for (size_t sent = 0; sent < bytes.size();) {
            const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0)
                sent += static_cast<size_t>(n);
            else if (n < 0 && (errno == EAGAIN || errno == EINTR))
                usleep(1000);
            else
                return false;
        }
        return true;
    }

    // As a debugger that stopped reading: the kernel holds little for it.
    void shrink_receive_buffer()
    {
        const int size = 4096;
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }

    // The next single byte the stub sends (an ack or a nack).
    char next_byte()
    {
        pollfd p = {fd_, POLLIN, 0};
        char c = 0;
        if (poll(&p, 1, TIMEOUT_MS) <= 0 || read(fd_, &c, 1) != 1)
            return 0;
        return c;
    }

private:
    int fd_ = -1;
};

// A board from the boot image, under a stub on a free port.
class DebuggedBoard {
public:
    explicit DebuggedBoard(bool hold_at_reset = false)
        : server_("127.0.0.1", 0, hold_at_reset, [this](const std::string& news) {
              std::lock_guard<std::mutex> lock(told_mutex_);
              told_ += news + "\n";
          }),
          board_(config())
    {
    }

    BoardConfig config()
    {
        BoardConfig c;
        c.timed_line = false;
        c.debugger = &server_;
        return c;
    }

    uint16_t port() const { return server_.port(); }
    Board& board() { return board_; }
    // The stub's lines so far; its thread adds to them.
    std::string told() const
    {
        std::lock_guard<std::mutex> lock(told_mutex_);
        return told_;
    }

private:
    mutable std::mutex told_mutex_;
    std::string told_;
    GdbServer server_;
    Board board_;
};

inline std::vector<uint8_t> monitor_image()
{
    return std::vector<uint8_t>(boot_image, boot_image + BOOT_IMAGE_SIZE);
}

// The monitor booted and waiting for a command, stopped there by a debugger
// that attached to it.
class AttachedBoard {
public:
    AttachedBoard() : gdb_(boot()) { EXPECT_EQ(gdb_.ask("?"), "S02"); }

    Board& board() { return debugged_.board(); }
    Client& gdb() { return gdb_; }
    DebuggedBoard& debugged() { return debugged_; }

private:
    uint16_t boot()
    {
        EXPECT_TRUE(debugged_.board().boot(monitor_image(), TIMEOUT_MS));
        return debugged_.port();
    }

    DebuggedBoard debugged_;
    Client gdb_;
};

// Whether the monitor still answers: the SRAM test passes.
inline void expect_monitor_answers(Board& board)
{
    std::string answer;
    EXPECT_TRUE(board.exchange("3", TIMEOUT_MS, &answer)) << board.fault();
    EXPECT_EQ(answer, ":0?");
}

} // namespace stub_test

#endif
