// Debian's ser2net, started by a test on loopback: each given serial port
// (a korvasim pseudo-terminal) served by RFC 2217 on a port of its own.
#ifndef KORVA_TESTS_SER2NET_SERVER_H
#define KORVA_TESTS_SER2NET_SERVER_H

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fstream>
#include <memory>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "tests/support/loopback.h"
#include "tests/support/session.h"

inline bool accepts_connections(int port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = loopback_address(port);
    const bool accepted = connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return accepted;
}

class Ser2net {
public:
    Ser2net(const std::string& dir, const std::vector<std::string>& ptys)
    {
        const std::string config = dir + "/ser2net.yaml";
        std::ofstream yaml(config);
        for (size_t i = 0; i < ptys.size(); ++i) {
            ports_.push_back(unused_loopback_port());
            yaml << "connection: &board" << i << "\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << ports_.back()
                 << "\n  connector: serialdev," << ptys[i] << ",115200n81,local\n  options:\n    chardelay: false\n";
        }
        yaml.close();
        // -u: no UUCP lock, so that the pseudo-terminal stays korvasim's own.
        server_ = std::make_unique<Session>(SER2NET_PATH, ChildOptions{{"-n", "-u", "-c", config, "-P", dir + "/ser2net.pid"}, {}, dir});
        for (int port : ports_)
            EXPECT_TRUE(server_->wait_until([&] { return accepts_connections(port); }, 30000)) << server_->err();
    }

    std::string url(size_t i) const { return "rfc2217://127.0.0.1:" + std::to_string(ports_.at(i)); }
    int port(size_t i) const { return ports_.at(i); }
    Session& process() { return *server_; }

private:
    std::vector<int> ports_;
    std::unique_ptr<Session> server_;
};

#endif
