// korvasim's command line: the modes and settings it asks for.
#ifndef KORVASIM_PROGRAM_COMMAND_LINE_H
#define KORVASIM_PROGRAM_COMMAND_LINE_H

#include <cstdint>
#include <string>
#include <vector>

#include "sim/program/pty_front_end.h"

namespace korvasim {

// What the command line asks for.
struct CommandLine {
    FrontEndOptions settings;
    std::string link, trace_path, power_path, format = "table", diagnose_log;
    bool run_coverage = false, coverage_all = false, diagnose_given = false, format_given = false;
    std::string gdb_host;
    uint16_t gdb_port = 0;
    bool gdb = false, gdb_wait = false;
    // Options that only a simulated board on a pty uses, as the user spelled them.
    std::vector<std::string> board_options;
};

// Reads the options into command. Returns -1 to go on, else the exit status
// (after the usage text or a one-line error).
int parse_command_line(int argc, char** argv, CommandLine* command);

// "korvasim: message" on standard error; returns the exit status 1.
int fail(const std::string& message);

} // namespace korvasim

#endif
