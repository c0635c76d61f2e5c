// HTTP as a hostile or careless client speaks it: a connection to the
// station's page with bytes sent as the test wants them, and what comes
// back read as it comes.
#ifndef KORVA_TESTS_RAW_HTTP_H
#define KORVA_TESTS_RAW_HTTP_H

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

// A connection to the page's port on loopback with text sent; the socket.
inline int request(int port, const std::string& text)
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_EQ(connect(s, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    if (!text.empty()) {
        EXPECT_EQ(send(s, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
    }
    return s;
}

// What came on s until it holds what, the connection closed, or timeout_ms.
inline std::string read_until(int s, const std::string& what, int timeout_ms)
{
    std::string seen;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (seen.find(what) == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        pollfd p{s, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = read(s, buffer, sizeof buffer);
        if (n <= 0)
            break;
        seen.append(buffer, static_cast<size_t>(n));
    }
    return seen;
}

// The port of a page's URL ("http://127.0.0.1:8080/").
inline int port_of(const std::string& url)
{
    return std::stoi(url.substr(url.rfind(':') + 1));
}

#endif
