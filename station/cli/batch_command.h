// korvastation [options] PORT...: a batch of boards from the command line.
#ifndef KORVASTATION_BATCH_COMMAND_H
#define KORVASTATION_BATCH_COMMAND_H

#include <atomic>
#include <functional>

namespace korvastation {

// Parses the command line and runs the batch; catch_signals is called once
// the station is open, so that a CTRL-C before stops it at once. The exit
// status.
int run_batch(int argc, char** argv, const std::atomic<int>& interrupts, std::atomic<bool>& resized,
              const std::function<void()>& catch_signals);

} // namespace korvastation

#endif
