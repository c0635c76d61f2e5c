#include "sim/analysis/test_runner.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "sim/analysis/test_bench.h"
#include "sim/board/board.h"

namespace korvasim {

std::string announcement_of(int t)
{
    char line[40];
    snprintf(line, sizeof line, TEST_ANNOUNCEMENT, TEST_NAMES[t]);
    return line;
}

TestOutcome outcome_of(bool answered, const std::string& answer)
{
    TestOutcome outcome;
    const size_t colon = answer.rfind(BOARD_END_OF_TEXT);
    if (!answered || colon == std::string::npos || colon + 2 >= answer.size())
        return outcome;
    outcome.answered = true;
    outcome.code = answer[colon + 1] - '0';
    outcome.report = answer.substr(0, colon);
    return outcome;
}

TestOutcome run_board_test_afresh(const std::vector<uint8_t>& image, const FaultSet& faults, char command,
                                  bool verbose, int budget_ms)
{
    BoardConfig config;
    config.faults = faults;
    // The answer does not hang on the line's timing: send at once.
    config.timed_line = false;
    config.pause_when_waiting = true;
    Board board(config);
    std::string answer;
    const bool answered = board.boot(image, budget_ms) &&
                          (!verbose || board.exchange(std::string(1, COMMAND_VERBOSE), budget_ms, &answer)) &&
                          board.exchange(std::string(1, command), budget_ms, &answer);
    TestOutcome outcome = outcome_of(answered, answer);
    outcome.board_ms = board.last_run_ms();
    return outcome;
}

int hang_budget_ms(const std::vector<TestOutcome>& sound)
{
    const double FLOOR_MS = 250, TIMES = 20;
    double budget = FLOOR_MS;
    for (const TestOutcome& o : sound)
        budget = std::max(budget, TIMES * o.board_ms);
    return static_cast<int>(budget);
}

TestOutcome run_board_test(const std::vector<uint8_t>& image, const FaultSet& faults, char command,
                           bool verbose, int budget_ms, BoardStart start)
{
    if (start == BoardStart::FRESH_BOOT)
        return run_board_test_afresh(image, faults, command, verbose, budget_ms);
    // One bench per thread: the coverage's workers each keep their own
    // engine, and it goes with the thread.
    thread_local std::unique_ptr<TestBench> bench;
    if (!bench || bench->image() != image)
        bench = std::make_unique<TestBench>(image);
    return bench->run(faults, command, verbose, budget_ms);
}

} // namespace korvasim
