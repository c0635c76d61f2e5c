// A GDB remote stub for the simulated board, on TCP. One debugger at a time;
// it sees the board that a host session powered on, and its breakpoints
// and watchpoints carry over to the next one. With hold_at_reset each board
// waits before its first instruction until the debugger lets it go.
#ifndef KORVASIM_GDB_SERVER_H
#define KORVASIM_GDB_SERVER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/core/debug.h"
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

    DebugResume stopped(DebugTarget& board, const DebugStop& stop) override;
    void board_gone(DebugTarget& board) override;

private:
    void serve();
    void accept_debugger();
    void drain_refused(const std::vector<int>& readable);
    void drop_debugger(const std::string& why);
    void receive();
    void send_packet(const std::string& payload);
    void send_raw(const std::string& bytes);
    void flush_outbox();
    // Whether a board is powered and, if it stands, why: for a person.
    std::string board_status();
    // The reply to one packet; nullopt when it has none (yet).
    std::optional<std::string> handle(const std::string& packet);
    std::string stop_reply(const DebugStop& stop) const;
    std::string read_registers();
    std::string read_memory(const std::string& arguments);
    std::string write_memory(const std::string& arguments);
    std::string set_point(bool insert, const std::string& arguments);
    std::string target_description(const std::string& arguments) const;
    std::string register_packet(const std::string& arguments, bool write);
    // Lets the stopped board go on, or says how the next one starts.
    void resume(ResumeMode mode);
    void report_stop_if_any();
    void interrupt_board();
    void wake();

    std::function<void(const std::string&)> tell_;
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
    bool quit_ = false;  // the server thread ends
    std::thread thread_;

    // The server thread's own.
    gdb::PacketReader reader_;
    bool no_ack_ = false;
    bool waiting_ = false;     // the debugger waits for a stop reply
    bool interrupting_ = false;
    std::string outbox_;    // replies the debugger has not taken yet
    std::chrono::steady_clock::time_point outbox_since_;
    std::optional<std::chrono::steady_clock::time_point> interrupt_asked_;
    bool slow_interrupt_told_ = false;
    std::string last_sent_;    // for a debugger that asks again

    // Shared with the boards' CPU threads.
    std::mutex mutex_;
    std::condition_variable resumed_;
    const bool hold_at_reset_;
    bool attached_ = false;
    bool skip_hold_ = false;        // continued before the board was on
    bool step_from_reset_ = false;  // stepped before the board was on
    DebugTarget* board_ = nullptr;  // the board of the current host session
    bool board_stopped_ = false;    // its CPU thread waits in stopped()
    bool stop_unreported_ = false;
    DebugStop stop_;
    std::optional<DebugResume> resume_;
    DebugPoints points_;
};

} // namespace korvasim

#endif
