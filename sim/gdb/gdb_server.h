// A GDB remote stub for the simulated board, on TCP: the transport. One
// debugger at a time (a second one is told why it is refused); packets go
// to the commands (gdb_commands.h) over the hand-over with the boards' CPU
// threads (board_hand_over.h). With hold_at_reset each board waits before
// its first instruction until the debugger lets it go.
#ifndef KORVASIM_GDB_SERVER_H
#define KORVASIM_GDB_SERVER_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/core/debug.h"
#include "sim/gdb/board_hand_over.h"
#include "sim/gdb/gdb_packets.h"
#include "sim/support/result.h"

namespace korvasim {

// "[HOST:]PORT": by default the loopback address only. Port 0 takes any
// free port.
Result parse_gdb_address(const std::string& text, std::string* host, uint16_t* port);

class GdbServer : public Debugger {
public:
    // Listens at once; throws std::runtime_error naming the address when it
    // cannot. tell gets one line for each debugger that comes or goes.
    GdbServer(const std::string& host, uint16_t port, bool hold_at_reset,
              std::function<void(const std::string&)> tell);
    ~GdbServer() override;
    GdbServer(const GdbServer&) = delete;
    GdbServer& operator=(const GdbServer&) = delete;

    // Where it listens, e.g. "127.0.0.1:1234".
    const std::string& address() const { return address_; }
    uint16_t port() const { return port_; }
    // Whether only this machine can reach the port.
    bool loopback() const { return loopback_; }

    DebugResume stopped(DebugTarget& board, const DebugStop& stop) override
    {
        return boards_.stopped(board, stop);
    }
    void board_gone(DebugTarget& board) override { boards_.board_gone(board); }

private:
    void listen_on(const std::string& host, uint16_t port);
    void serve();
    void accept_debugger();
    void drain_refused(const std::vector<int>& readable);
    void drop_debugger(const std::string& why);
    void receive();
    void answer(const std::string& packet);
    void send_packet(const std::string& payload);
    void send_raw(const std::string& bytes);
    void flush_outbox();
    void report_stop_if_any();
    // The interrupt that does not land: asked again, and told after a while.
    void keep_interrupting();
    void wake();

    std::function<void(const std::string&)> tell_;
    gdb::BoardHandOver boards_;
    std::string address_;
    uint16_t port_ = 0;
    bool loopback_ = false;
    int listener_ = -1;
    int client_ = -1;
    int wake_read_ = -1;
    int wake_write_ = -1;
    // Refused debuggers: their first packet is answered with the reason,
    // then they are read until they hang up, so that the reason reaches them
    // instead of a reset connection.
    struct Refused {
        int fd;
        std::chrono::steady_clock::time_point until;
        gdb::PacketReader reader;
        bool told;
    };
    std::vector<Refused> refused_;
    std::mutex quit_mutex_;
    bool quit_ = false;  // the server thread ends
    std::thread thread_;

    // The server thread's own.
    gdb::PacketReader reader_;
    bool no_ack_ = false;
    std::string outbox_;    // replies the debugger has not taken yet
    std::chrono::steady_clock::time_point outbox_since_;
    std::optional<std::chrono::steady_clock::time_point> interrupt_asked_;
    bool slow_interrupt_told_ = false;
    std::string last_sent_;    // for a debugger that asks again
};

} // namespace korvasim

#endif
