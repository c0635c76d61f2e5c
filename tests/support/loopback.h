// Test support: TCP on loopback for the servers and relays that tests put
// between a program and its peer, and the power pipe of a korvasim board.
#ifndef KORVA_TESTS_LOOPBACK_H
#define KORVA_TESTS_LOOPBACK_H

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

inline sockaddr_in loopback_address(int port)
{
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

// A listening socket on a free port of loopback; the port in *port.
inline int listen_on_loopback(int* port, int backlog = 16)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback_address(0);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    listen(s, backlog);
    socklen_t size = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &size);
    *port = ntohs(a.sin_port);
    return s;
}

// A port of loopback that nothing listens on now, for a server that must
// be told its port.
inline int unused_loopback_port()
{
    int port = 0;
    close(listen_on_loopback(&port));
    return port;
}

// Writes one line to a korvasim board's power pipe ("on", "off").
inline void switch_power(const std::string& pipe, const char* word)
{
    const int fd = open(pipe.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0) << pipe;
    const std::string line = std::string(word) + "\n";
    EXPECT_EQ(write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    close(fd);
}

#endif
