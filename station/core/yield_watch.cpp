#include "station/core/yield_watch.h"

#include "station/run/record_text.h"

namespace korvastation {

namespace {

const auto REFRESH = std::chrono::seconds(10);
const auto AFTER_RECORD = std::chrono::seconds(1);

} // namespace

YieldWatch::YieldWatch(DatabaseWorker* database, std::string station)
    : database_(database), station_(std::move(station))
{
    tally_.total.key = "all";
}

void YieldWatch::take(const AttemptRecord& attempt)
{
    wanted_ = true;
    // A fixture's golden board proves the fixture, not the line's boards.
    if (attempt.golden || database_ || day_of(attempt.start) != day_)
        return;
    // The first attempt of a serial number that day is its first pass;
    // every later one is a retest of the same board.
    Board& board = own_[attempt.board.label];
    const bool passed = attempt.verdict == Verdict::PASSED;
    if (board.attempts++ == 0)
        board.first_passed = passed;
    board.last_passed = passed;
    count_own();
}

void YieldWatch::count_own()
{
    YieldRow row{station_};
    for (const auto& [serial, board] : own_) {
        ++row.boards;
        row.first_pass += board.first_passed;
        row.final_pass += board.last_passed;
        row.retested += board.attempts > 1;
    }
    tally_.by_station = {row};
    tally_.total = row;
    tally_.total.key = "all";
}

bool YieldWatch::refresh(std::chrono::steady_clock::time_point now, const std::string& day)
{
    const bool new_day = day != day_;
    if (new_day) {
        day_ = day;
        own_.clear();
        tally_ = {};
        tally_.total.key = "all";
    }
    if (!database_)
        return new_day || std::exchange(wanted_, false);
    if (new_day || !asked_once_ || now - asked_ > REFRESH || (wanted_ && now - asked_ > AFTER_RECORD)) {
        StoreFilter boards;
        boards.since = boards.until = day_;
        database_->ask_yield(boards);
        asked_ = now;
        asked_once_ = true;
        wanted_ = false;
    }
    std::optional<YieldTally> answer = database_->take_yield();
    if (!answer)
        return new_day;
    tally_ = std::move(*answer);
    return true;
}

YieldRow YieldWatch::station_row() const
{
    for (const YieldRow& row : tally_.by_station)
        if (row.key == station_)
            return row;
    return YieldRow{station_};
}

} // namespace korvastation
