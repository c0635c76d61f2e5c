// korvasim as a child process, and the host's side of its port.
#ifndef KORVA_SIMULATOR_PROCESS_H
#define KORVA_SIMULATOR_PROCESS_H

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "tests/support/session.h"

// How long the simulator may take to print its terminal's path.
const int SIMULATOR_START_MS = 5000;

// The host side of the simulated board's port, opened as dudedoved would.
class HostPort {
public:
    explicit HostPort(const std::string& path, bool set_up = true)
    {
        fd_ = open(path.c_str(), O_RDWR | O_NOCTTY);
        EXPECT_GE(fd_, 0) << path << ": " << strerror(errno);
        if (!set_up)
            return;
        termios raw;
        tcgetattr(fd_, &raw);
        cfmakeraw(&raw);
        tcsetattr(fd_, TCSANOW, &raw);
        tcflush(fd_, TCIOFLUSH);
    }
    ~HostPort() { close(fd_); }
    int fd() const { return fd_; }

    // Reads until count bytes arrived or timeout_ms passed.
    std::string read_bytes(size_t count, int timeout_ms)
    {
        std::string got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (got.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now()).count();
            pollfd p = {fd_, POLLIN, 0};
            if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0)
                break;
            char c;
            if (read(fd_, &c, 1) != 1)
                break;
            got += c;
        }
        return got;
    }

    void send(const std::vector<uint8_t>& bytes)
    {
        ASSERT_EQ(write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }

private:
    int fd_ = -1;
};

class Simulator {
public:
    explicit Simulator(std::vector<std::string> args, const char* program = KORVASIM_PATH)
        : process_(program, ChildOptions{std::move(args), {}, {}})
    {
        EXPECT_TRUE(process_.wait_stdout("\n", SIMULATOR_START_MS)) << process_.err();
        path_ = process_.out().substr(0, process_.out().find('\n'));
    }
    const std::string& path() const { return path_; }
    Session& process() { return process_; }

private:
    Session process_;
    std::string path_;
};

#endif
