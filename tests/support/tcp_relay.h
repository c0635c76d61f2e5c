// A TCP relay on loopback for a test: forwards every connection to a target
// port, and can be made to fall silent (keeping the connections open but
// passing nothing on), as a proxy or a server that stops answering does.
#ifndef KORVA_TESTS_TCP_RELAY_H
#define KORVA_TESTS_TCP_RELAY_H

#include <arpa/inet.h>
#include <atomic>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/support/loopback.h"

class TcpRelay {
public:
    explicit TcpRelay(int target_port) : target_(target_port)
    {
        listener_ = listen_on_loopback(&port_);
        thread_ = std::thread([this] { relay(); });
    }
    ~TcpRelay()
    {
        stopping_ = true;
        thread_.join();
        close(listener_);
        for (int fd : open_)
            close(fd);
    }

    int port() const { return port_; }
    void fall_silent() { silent_ = true; }

private:
    void relay()
    {
        std::vector<std::pair<int, int>> pairs;  // client, server
        while (!stopping_) {
            std::vector<pollfd> fds = {{listener_, POLLIN, 0}};
            for (const auto& [client, server] : pairs) {
                fds.push_back({client, static_cast<short>(silent_ ? 0 : POLLIN), 0});
                fds.push_back({server, static_cast<short>(silent_ ? 0 : POLLIN), 0});
            }
            if (poll(fds.data(), fds.size(), 50) <= 0)
                continue;
            if (fds[0].revents & POLLIN) {
                const int client = accept(listener_, nullptr, nullptr);
                const int server = socket(AF_INET, SOCK_STREAM, 0);
                const sockaddr_in target = loopback_address(target_);
                if (client >= 0 && connect(server, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0) {
                    pairs.push_back({client, server});
                    open_.insert(open_.end(), {client, server});
                }
            }
            std::vector<bool> ended(pairs.size(), false);
            for (size_t k = 1; k < fds.size(); ++k) {
                if (!(fds[k].revents & (POLLIN | POLLHUP)) || silent_)
                    continue;
                const auto& pair = pairs[(k - 1) / 2];
                const int to = fds[k].fd == pair.first ? pair.second : pair.first;
                char buffer[16384];
                const ssize_t n = read(fds[k].fd, buffer, sizeof buffer);
                if (n > 0 && write(to, buffer, static_cast<size_t>(n)) == n)
                    continue;
                // Either end gone: the connection is over for both.
                shutdown(pair.first, SHUT_RDWR);
                shutdown(pair.second, SHUT_RDWR);
                ended[(k - 1) / 2] = true;
            }
            for (size_t i = pairs.size(); i-- > 0;)
                if (ended[i])
                    pairs.erase(pairs.begin() + static_cast<long>(i));
        }
    }

    int target_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> silent_{false};
    std::atomic<bool> stopping_{false};
    std::vector<int> open_;
    std::thread thread_;
};

#endif
