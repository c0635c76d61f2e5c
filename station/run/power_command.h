// The commands that switch a board's power (a relay, a switched USB hub
// port, a power strip): a command line given once for the station, with the
// placeholders {port}, {label} and {switch} filled in per board, run without
// a shell unless asked, with a time-out, its output kept in the board's
// power log.
#ifndef KORVASTATION_POWER_COMMAND_H
#define KORVASTATION_POWER_COMMAND_H

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "sim/support/result.h"
#include "station/run/child_process.h"

namespace korvastation {

struct BoardSpec;

class PowerCommandLine {
public:
    // Splits text into words as a shell would, running nothing and
    // expanding nothing but quotes (unless shell: then sh -c runs it, with
    // the values quoted). Fails naming option on a bad line or placeholder;
    // shell_named_by: how the user asks for a shell where one is needed.
    korvasim::Result parse(const std::string& option, const std::string& text, bool shell,
                           const std::string& shell_named_by = "--power-shell");
    // The program can be run: found (on PATH when it names no folder) and
    // executable. Checked at the start, not at the first board.
    korvasim::Result check_program() const;
    bool given() const { return !words_.empty(); }
    bool uses_switch() const { return uses_switch_; }
    // The program and its arguments for board.
    std::vector<std::string> for_board(const BoardSpec& board) const;
    const std::string& option() const { return option_; }

private:
    std::string option_;
    std::vector<std::string> words_;
    bool shell_ = false;
    bool uses_switch_ = false;
};

// One run of a power command for a board, polled by the station's loop.
class PowerCommandRun {
public:
    // Starts the command at now (the station's clock); its output and end
    // go to log (may be null).
    PowerCommandRun(const PowerCommandLine& line, const BoardSpec& board, double timeout_s, FILE* log,
                    std::chrono::steady_clock::time_point now);

    // The pipes to poll while it runs.
    std::vector<int> fds() const;
    // Reads what came and applies the time-out; true once it is over.
    bool advance(std::chrono::steady_clock::time_point now);
    // Once over: empty when it succeeded, else why it did not, in one line
    // that names the command.
    const std::string& failure() const { return failure_; }

private:
    void take_output(const std::string& text);

    std::string name_;  // "--power-on command 'relay on 3'"
    std::unique_ptr<ChildProcess> child_;
    std::chrono::steady_clock::time_point deadline_;
    double timeout_s_;
    FILE* log_;
    std::string last_line_;  // of its output, for the failure's reason
    std::string partial_;
    bool over_ = false;
    size_t logged_ = 0;  // bytes of its output in the log
    std::string failure_;
};

} // namespace korvastation

#endif
