// A TCP relay on loopback that holds every byte for a while in each
// direction, as a network between a bench and its station does.
#ifndef KORVA_TESTS_DELAY_RELAY_H
#define KORVA_TESTS_DELAY_RELAY_H

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <deque>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include "tests/support/loopback.h"

class DelayRelay {
public:
    DelayRelay(int target_port, int delay_ms) : target_(target_port), delay_(delay_ms)
    {
        listener_ = listen_on_loopback(&port_, 1);
        thread_ = std::thread([this] { relay(); });
    }

    ~DelayRelay()
    {
        stopping_ = true;
        thread_.join();
        close(listener_);
    }

    int port() const { return port_; }

private:
    using Clock = std::chrono::steady_clock;
    struct Held {
        Clock::time_point due;
        std::string bytes;
    };

    // One connection at a time, each direction's bytes sent on when due.
    void relay()
    {
        int ends[2] = {-1, -1};  // client, server
        std::deque<Held> held[2];  // bytes read from ends[k], for the other end
        while (!stopping_) {
            pollfd fds[3] = {{listener_, POLLIN, 0}, {ends[0], POLLIN, 0}, {ends[1], POLLIN, 0}};
            poll(fds, 3, 5);
            if ((fds[0].revents & POLLIN) && ends[0] < 0) {
                ends[0] = accept(listener_, nullptr, nullptr);
                ends[1] = socket(AF_INET, SOCK_STREAM, 0);
                const sockaddr_in target = loopback_address(target_);
                if (connect(ends[1], reinterpret_cast<const sockaddr*>(&target), sizeof target) != 0)
                    end(ends);
            }
            for (int k = 0; k < 2; ++k) {
                if (ends[k] < 0 || !(fds[k + 1].revents & (POLLIN | POLLHUP)))
                    continue;
                char buffer[16384];
                const ssize_t n = read(ends[k], buffer, sizeof buffer);
                if (n <= 0) {
                    end(ends);
                    held[0].clear();
                    held[1].clear();
                    break;
                }
                held[k].push_back({Clock::now() + std::chrono::milliseconds(delay_), std::string(buffer, static_cast<size_t>(n))});
            }
            for (int k = 0; k < 2; ++k)
                while (ends[1 - k] >= 0 && !held[k].empty() && held[k].front().due <= Clock::now()) {
                    const std::string& bytes = held[k].front().bytes;
                    if (write(ends[1 - k], bytes.data(), bytes.size()) != static_cast<ssize_t>(bytes.size()))
                        end(ends);
                    held[k].pop_front();
                }
        }
        end(ends);
    }

    static void end(int* ends)
    {
        for (int k = 0; k < 2; ++k)
            if (ends[k] >= 0) {
                close(ends[k]);
                ends[k] = -1;
            }
    }

    int target_, delay_;
    int listener_ = -1, port_ = 0;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

#endif
