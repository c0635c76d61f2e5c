#include "test_runner.h"

#include <stdexcept>

#include "board.h"

namespace korvasim {

TestOutcome run_board_test(const std::vector<uint8_t>& image, const FaultSet& faults, char command,
                           bool verbose, int budget_ms)
{
    BoardConfig config;
    config.faults = faults;
    // The answer does not hang on the line's timing: send at once.
    config.timed_line = false;
    Board board(config);
    board.load_image(image);
    board.power_on();
    TestOutcome outcome;
    if (!board.wait_idle(budget_ms))
        return outcome;
    if (verbose) {
        board.send(std::string(1, COMMAND_VERBOSE));
        if (!board.wait_idle(budget_ms))
            return outcome;
    }
    const size_t start = board.output().size();
    board.send(std::string(1, command));
    if (!board.wait_idle(budget_ms))
        return outcome;
    const std::string answer = board.output().substr(start);
    const size_t colon = answer.rfind(BOARD_END_OF_TEXT);
    if (colon == std::string::npos || colon + 2 >= answer.size())
        return outcome;
    outcome.answered = true;
    outcome.code = answer[colon + 1] - '0';
    outcome.report = answer.substr(0, colon);
    return outcome;
}

} // namespace korvasim
