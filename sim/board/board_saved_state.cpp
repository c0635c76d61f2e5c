// A board that pauses where its firmware waits for input, saved whole there
// and put back, so that runs that differ only after the pause (a fault in a
// device the boot never accessed) share one boot and one engine whose
// translated code stays.
#include "sim/board/board.h"

#include <stdexcept>

#include "sim/support/thread_time.h"

namespace korvasim {

void Board::resume()
{
    std::unique_lock<std::mutex> lock(mutex_);
    if (!paused_)
        throw std::logic_error("only a paused board goes on from its pause");
    paused_ = false;
    running_ = true;
    lock.unlock();
    // The thread of the last run has ended, or is about to.
    if (thread_.joinable())
        thread_.join();
    thread_ = std::thread([this] { run_cpu(true); });
}

bool Board::wait_paused(int budget_ms)
{
    // The run's thread is the core's alone: its processor time is the
    // core's time since the run began.
    const auto slice = std::chrono::milliseconds(10);
    std::unique_lock<std::mutex> lock(mutex_);
    while (!changed_.wait_for(lock, slice, [&] { return paused_ || halted_ || !running_; }))
        if (thread_ms(thread_) >= budget_ms)
            return false;
    return paused_;
}

bool Board::paused_now() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return paused_;
}

double Board::last_run_ms() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return last_run_ms_;
}

std::shared_ptr<const Board::SavedState> Board::save_state()
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!paused_)
        throw std::logic_error("only a paused board is saved");
    auto s = std::make_shared<SavedState>();
    s->cpu = cpu_.save_state();
    s->boot_ram = boot_ram_;
    s->garbled_ram = garbled_ram_;
    s->uart = uart_.save();
    s->ticks = tick_.writes();
    s->flash = flash_.save();
    s->sram = sram_->save();
    s->sdram = sdram_->save();
    s->expansion = expansion_.values();
    s->sdram_interface = sdram_interface_.values();
    s->sdram_controller = sdram_controller_.save();
    s->output = output_;
    s->undefined_accesses = undefined_accesses_;
    s->undefined_addresses = undefined_addresses_;
    s->first_window_fetch = first_window_fetch_;
    s->first_window_data = first_window_data_;
    return s;
}

bool Board::restore_state(const SavedState& s)
{
    std::lock_guard<std::mutex> lock(mutex_);
    if (!paused_ || !cpu_.restore_state(s.cpu))
        return false;
    // The memory map is the saved one. The RAM is put back through the
    // core, which drops what it translated from bytes the run changed.
    cpu_.put_back_ram(boot_ram_.data(), s.boot_ram.data(), boot_ram_.size());
    cpu_.put_back_ram(garbled_ram_.data(), s.garbled_ram.data(), garbled_ram_.size());
    uart_.restore(s.uart);
    tick_.restore(s.ticks);
    flash_.restore(s.flash);
    sram_->restore(s.sram);
    sdram_->restore(s.sdram);
    expansion_.restore_values(s.expansion);
    sdram_interface_.restore_values(s.sdram_interface);
    sdram_controller_.restore(s.sdram_controller);
    output_ = s.output;
    fault_.clear();
    undefined_accesses_ = s.undefined_accesses;
    undefined_addresses_ = s.undefined_addresses;
    first_window_fetch_ = s.first_window_fetch;
    first_window_data_ = s.first_window_data;
    return true;
}

void Board::set_faults(const FaultSet& faults)
{
    config_.faults = faults;
    sram_->set_faults(faults.sram);
    sdram_->set_faults(faults.sdram);
    flash_.set_faults(faults.flash);
}

TouchedDevices Board::touched_devices() const
{
    return {bus_.touched(sram_.get()), bus_.touched(sdram_.get()), bus_.touched(&flash_)};
}

} // namespace korvasim
