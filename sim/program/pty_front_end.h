// The board on a pseudo-terminal: its slave side is the board's serial
// port. Opening it powers the board up; the resident loader sends its
// wake-up byte and takes the image; closing it resets the board.
//
// The simulator keeps a slave descriptor of its own, so that it can give
// every session a port in a fresh state (exclusive-use flag clear, default
// line settings, nothing pending), and it learns of each open and close of
// the slave from inotify, so that none is missed however quickly they follow
// each other. While several programs hold the port the board stays powered;
// it resets when the last of them closes it. With a power switch, the switch
// alone powers the board, and a host may come and go meanwhile.
#ifndef KORVASIM_PTY_FRONT_END_H
#define KORVASIM_PTY_FRONT_END_H

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <termios.h>
#include <vector>

#include "sim/core/debug.h"
#include "sim/board/fault_schedule.h"
#include "sim/program/power_switch.h"

namespace korvasim {

class Board;
struct BoardConfig;

struct FrontEndOptions {
    FaultSchedule faults;            // drawn at every power-up
    uint8_t wake_byte = 0x00;
    bool once = false;               // serve one host session, then return
    std::vector<uint8_t> image;      // booted at once instead of the loader
    FILE* trace = nullptr;           // one line per device register access
    int power_up_ms = 200;           // host's open to the wake-up byte
    int silence_ms = 250;            // silence that ends the image
    Debugger* debugger = nullptr;    // serves every board of the sessions
    PowerSwitch* power = nullptr;    // powers the board instead of the host's open
};

// What the front end has to say about a session, for the program to print:
// a refused image, an access that no register takes or a board that stopped
// at once, dropped output when the session ends.
struct SessionReport {
    std::string board_fault;         // the CPU's fault, when the board stopped
    std::string undefined_access;    // an access that no register takes
    uint64_t dropped_bytes = 0;      // board output that the host did not read
    bool image_refused = false;      // more than the boot RAM holds
    std::string power_complaint;     // a word the power switch does not take
};

class PtyFrontEnd {
public:
    PtyFrontEnd();  // throws std::runtime_error when no pty can be had
    ~PtyFrontEnd();
    PtyFrontEnd(const PtyFrontEnd&) = delete;
    PtyFrontEnd& operator=(const PtyFrontEnd&) = delete;

    const std::string& slave_path() const { return slave_path_; }

    // Serves sessions until stop is set (or after one with once): from a
    // host's open to its close, or from power on to power off with a switch,
    // telling report about each session that had something to say.
    void run(FrontEndOptions& options, const std::atomic<bool>& stop,
             void (*report)(const SessionReport&));

private:
    enum class Wait { DATA, OPENED, CLOSED, TIMEOUT, STOP };

    Wait wait(int timeout_ms, const std::atomic<bool>& stop);
    void take_port_events();
    bool pause(int ms, const std::atomic<bool>& stop);
    void discard_input();
    // What the host sent, without the packets that tell of its purges.
    std::string read_available();
    bool receive_image(const FrontEndOptions& options, const std::atomic<bool>& stop,
                       std::vector<uint8_t>* image);
    // The board of one session, as the options and this front end make it.
    BoardConfig session_config(FrontEndOptions& options);
    // One byte the board sends; false when the host did not take it.
    bool send_to_host(uint8_t byte);
    void report_fault(const Board& board, const FrontEndOptions& options, size_t image_size);
    void serve(FrontEndOptions& options, const std::atomic<bool>& stop,
               SessionReport* report);
    void reset_port();
    void discard_pending();
    bool powered() const;
    void take_power_commands();

    int master_ = -1;
    int slave_ = -1;
    int events_ = -1;
    std::string slave_path_;
    termios defaults_{};    // the line settings every session starts with
    int holders_ = 0;       // programs that have the slave open
    bool host_purged_ = false;  // the host discarded what the board sent it
    bool closed_ = false;   // the session's end: the last holder closed, or power off
    bool opened_ = false;   // a session's start: a first holder opened, or power on
    PowerSwitch* power_ = nullptr;
    std::atomic<bool> output_open_{false};  // the board's output reaches the port
    void (*report_)(const SessionReport&) = nullptr;
};

} // namespace korvasim

#endif
