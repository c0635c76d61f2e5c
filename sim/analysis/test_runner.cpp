#include "sim/analysis/test_runner.h"

#include <cstdio>
#include <stdexcept>

#include "sim/board/board.h"

namespace korvasim {

std::string announcement_of(int t)
{
    char line[40];
    snprintf(line, sizeof line, TEST_ANNOUNCEMENT, TEST_NAMES[t]);
    return line;
}

TestOutcome run_board_test(const std::vector<uint8_t>& image, const FaultSet& faults, char command,
                           bool verbose, int budget_ms)
{
    BoardConfig config;
    config.faults = faults;
    // The answer does not hang on the line's timing: send at once.
    config.timed_line = false;
    Board board(config);
    TestOutcome outcome;
    std::string answer;
    if (!board.boot(image, budget_ms) ||
        (verbose && !board.exchange(std::string(1, COMMAND_VERBOSE), budget_ms, &answer)) ||
        !board.exchange(std::string(1, command), budget_ms, &answer))
        return outcome;
    const size_t colon = answer.rfind(BOARD_END_OF_TEXT);
    if (colon == std::string::npos || colon + 2 >= answer.size())
        return outcome;
    outcome.answered = true;
    outcome.code = answer[colon + 1] - '0';
    outcome.report = answer.substr(0, colon);
    return outcome;
}

} // namespace korvasim
