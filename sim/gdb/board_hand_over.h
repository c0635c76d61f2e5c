// The hand-over between the debugger's thread and the boards' CPU threads:
// a board that stops waits here until the debugger lets it go on. It is
// the session the debugger's commands work on, and the Debugger the boards
// call. One board at a time: the board of the current host session; the
// debugger's points carry over to the next one.
#ifndef KORVASIM_GDB_BOARD_HAND_OVER_H
#define KORVASIM_GDB_BOARD_HAND_OVER_H

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "sim/core/debug.h"
#include "sim/gdb/gdb_commands.h"

namespace korvasim::gdb {

class BoardHandOver : public Debugger, public GdbSession {
public:
    // With hold_at_reset each board waits before its first instruction
    // until the debugger lets it go. wake is called from a CPU thread when a
    // board stops, for the debugger's thread to report it.
    BoardHandOver(bool hold_at_reset, std::function<void()> wake)
        : hold_at_reset_(hold_at_reset), wake_(std::move(wake))
    {
    }

    // On a board's CPU thread.
    DebugResume stopped(DebugTarget& board, const DebugStop& stop) override;
    void board_gone(DebugTarget& board) override;

    // The rest on the debugger's thread.
    std::optional<DebugStop> standing() override;
    bool powered() override;
    bool read_register(int n, uint32_t* value) override;
    bool write_register(int n, uint32_t value) override;
    bool read_memory(uint32_t address, uint8_t* out, size_t length) override;
    bool write_memory(uint32_t address, const uint8_t* data, size_t length) override;
    DebugPoints points() override;
    void set_points(const DebugPoints& points) override;
    void resume(ResumeMode mode) override;
    void interrupt() override;
    std::string status() override;

    // A debugger comes: nobody waits for a stop yet.
    void attach();
    // The debugger goes: its points with it, and a standing board runs on.
    void detach();
    // gdb's interrupt byte: stops the board if the debugger waits for it.
    void interrupt_if_waiting();
    // Whether an interrupt is asked for and the board has not stopped yet;
    // ask_again() repeats it, since it can slip in while the engine is
    // between runs.
    bool interrupting() const { return interrupting_; }
    void ask_again() { interrupt_board(); }
    // The stop the debugger waits for, once the board has made it.
    std::optional<DebugStop> take_stop_to_report();

private:
    void interrupt_board();

    const bool hold_at_reset_;
    const std::function<void()> wake_;
    // The debugger's thread's own.
    bool waiting_ = false;  // the debugger waits for a stop reply
    bool interrupting_ = false;

    // Shared with the boards' CPU threads.
    std::mutex mutex_;
    std::condition_variable resumed_;
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

} // namespace korvasim::gdb

#endif
