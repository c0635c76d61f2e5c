#include "station/serve/day_boards.h"

#include "station/run/record_text.h"

namespace korvastation {

namespace {

bool tells_of_the_board(const std::string& verdict)
{
    return verdict == verdict_name(Verdict::PASSED) || verdict == verdict_name(Verdict::FAILED) ||
           verdict == verdict_name(Verdict::HUNG);
}

} // namespace

std::string board_outcome_of(const StoredAttempt& a)
{
    if (!tells_of_the_board(a.verdict))
        return "";
    std::string outcome = a.verdict;
    bool in_a_test = false;
    for (int t = 0; t < BOARD_TEST_COUNT; ++t) {
        if (a.counts[t][1] > 0)
            outcome += std::string(" ") + TEST_NAMES[t];
        in_a_test = in_a_test || a.hung_in == TEST_NAMES[t];
    }
    if (a.verdict == verdict_name(Verdict::HUNG))
        outcome += (in_a_test ? " in " : " at the ") + a.hung_in;
    return outcome;
}

void DayBoards::add(const AttemptRecord& a)
{
    if (day_of(a.start) != day_)
        return;
    count(a.board.label, a.final_attempt, a.verdict == Verdict::PASSED,
          tells_of_the_board(verdict_name(a.verdict)) ? outcome_of(a) : "");
}

void DayBoards::remember(const StoredAttempt& a)
{
    count(a.label, a.final_attempt, a.verdict == verdict_name(Verdict::PASSED), board_outcome_of(a));
}

void DayBoards::count(const std::string& serial, bool final_attempt, bool passed, const std::string& outcome)
{
    BoardDay& board = boards_[serial];
    ++board.attempts;
    if (final_attempt)
        board.passed = passed;
    if (!outcome.empty())
        board.outcomes.insert(outcome);
}

void DayBoards::start_day(const std::string& day)
{
    if (day == day_)
        return;
    day_ = day;
    boards_.clear();
}

BoardDay DayBoards::of(const std::string& serial) const
{
    const auto found = boards_.find(serial);
    return found == boards_.end() ? BoardDay() : found->second;
}

} // namespace korvastation
