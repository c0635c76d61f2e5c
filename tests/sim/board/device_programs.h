// The helpers of the device tests: programs run to their end on a board
// in this process, and a line without timing.
#ifndef KORVA_TESTS_DEVICE_PROGRAMS_H
#define KORVA_TESTS_DEVICE_PROGRAMS_H

#include <gtest/gtest.h>

#include "tests/sim/program_runner.h"

namespace korvasim {

const int DEVICE_TIMEOUT_MS = 5000;
// Every test program ends on an undefined instruction.
inline const char* const UNDEFINED = "UC_ERR_INSN_INVALID";

// Runs a program to its final undefined instruction.
inline void run_to_end(Board& board, const std::string& name, uint32_t parameter = 0)
{
    start_program(board, name, parameter);
    ASSERT_TRUE(board.wait_halted(DEVICE_TIMEOUT_MS)) << name << " did not finish";
}

// A transmitter that hands bytes over at once, for tests of the registers
// and of the polls that the firmware makes.
inline BoardConfig instant_line()
{
    BoardConfig config;
    config.timed_line = false;
    return config;
}

} // namespace korvasim

#endif
