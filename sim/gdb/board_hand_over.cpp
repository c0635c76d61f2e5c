#include "sim/gdb/board_hand_over.h"

namespace korvasim::gdb {

DebugResume BoardHandOver::stopped(DebugTarget& board, const DebugStop& stop)
{
    std::unique_lock<std::mutex> lock(mutex_);
    board_ = &board;
    if (stop.cause == StopCause::RESET) {
        const bool hold = (hold_at_reset_ && !skip_hold_) || step_from_reset_;
        skip_hold_ = false;
        step_from_reset_ = false;
        if (!hold)
            return DebugResume{attached_ ? ResumeMode::CONTINUE : ResumeMode::DETACH, points_};
    } else if (!attached_) {
        return DebugResume{ResumeMode::DETACH, {}};
    }
    board_stopped_ = true;
    stop_unreported_ = true;
    stop_ = stop;
    wake_();
    resumed_.wait(lock, [&] { return resume_.has_value() || board_ != &board; });
    if (board_ != &board)
        return DebugResume{ResumeMode::KILL, {}};
    board_stopped_ = false;
    const DebugResume how = *resume_;
    resume_.reset();
    return how;
}

void BoardHandOver::board_gone(DebugTarget& board)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (board_ != &board)
        return;
    board_ = nullptr;
    board_stopped_ = false;
    stop_unreported_ = false;
    resume_.reset();
    resumed_.notify_all();
}

std::optional<DebugStop> BoardHandOver::standing()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!board_stopped_)
        return std::nullopt;
    return stop_;
}

bool BoardHandOver::powered()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return board_ != nullptr;
}

bool BoardHandOver::read_register(int n, uint32_t* value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!board_stopped_)
        return false;
    *value = board_->reg(n);
    return true;
}

bool BoardHandOver::write_register(int n, uint32_t value)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!board_stopped_)
        return false;
    board_->set_reg(n, value);
    return true;
}

bool BoardHandOver::read_memory(uint32_t address, uint8_t* out, size_t length)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return board_stopped_ && board_->read_memory(address, out, length);
}

bool BoardHandOver::write_memory(uint32_t address, const uint8_t* data, size_t length)
{
    std::lock_guard<std::mutex> lock(mutex_);
    return board_stopped_ && board_->write_memory(address, data, length);
}

DebugPoints BoardHandOver::points()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return points_;
}

void BoardHandOver::set_points(const DebugPoints& points)
{
    std::lock_guard<std::mutex> lock(mutex_);
    points_ = points;
}

void BoardHandOver::resume(ResumeMode mode)
{
    std::lock_guard<std::mutex> lock(mutex_);
    waiting_ = true;
    stop_unreported_ = false;
    if (board_stopped_) {
        resume_ = DebugResume{mode, points_};
        resumed_.notify_all();
        return;
    }
    if (!board_) {
        // The board is off: what the debugger says holds for its next start.
        skip_hold_ = mode == ResumeMode::CONTINUE;
        step_from_reset_ = mode == ResumeMode::STEP;
    }
}

void BoardHandOver::interrupt()
{
    waiting_ = true;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_unreported_ = false;
    }
    interrupt_board();
}

void BoardHandOver::interrupt_if_waiting()
{
    if (waiting_)
        interrupt_board();
}

void BoardHandOver::interrupt_board()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!board_) {
        // Nothing runs: the board is off, as if stopped at once.
        interrupting_ = false;
        stop_ = DebugStop{StopCause::INTERRUPT};
        stop_unreported_ = true;
        wake_();
        return;
    }
    interrupting_ = !board_stopped_;
    if (interrupting_) {
        board_->interrupt();
    } else if (waiting_) {
        // Stopped already: that stop is the answer.
        stop_unreported_ = true;
        wake_();
    }
}

std::optional<DebugStop> BoardHandOver::take_stop_to_report()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!stop_unreported_ || !waiting_)
        return std::nullopt;
    stop_unreported_ = false;
    interrupting_ = false;
    waiting_ = false;
    return stop_;
}

void BoardHandOver::attach()
{
    waiting_ = false;
    interrupting_ = false;
    std::lock_guard<std::mutex> lock(mutex_);
    attached_ = true;
}

void BoardHandOver::detach()
{
    waiting_ = false;
    interrupting_ = false;
    // The board runs on without it.
    std::lock_guard<std::mutex> lock(mutex_);
    attached_ = false;
    points_ = {};
    skip_hold_ = false;
    step_from_reset_ = false;
    if (board_stopped_ && !resume_) {
        resume_ = DebugResume{ResumeMode::DETACH, {}};
        resumed_.notify_all();
    }
}

std::string BoardHandOver::status()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!board_)
        return "no board is powered: one powers up when a host opens the port (with --power, when "
               "the switch is turned on); until then registers read as at reset and memory cannot be read";
    if (!board_stopped_)
        return "the board is powered and running";
    switch (stop_.cause) {
    case StopCause::RESET:
        return "the board is powered and held at reset, before its first instruction";
    case StopCause::BREAKPOINT:
        return "the board is powered and stopped at a breakpoint";
    case StopCause::STEP:
        return "the board is powered and stopped after a single step";
    case StopCause::WATCHPOINT:
        return "the board is powered and stopped at a watchpoint";
    case StopCause::INTERRUPT:
        return "the board is powered and stopped by the debugger";
    default:
        return "the board is powered and stopped by a CPU fault: " + stop_.fault;
    }
}

} // namespace korvasim::gdb
