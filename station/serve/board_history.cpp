#include "station/serve/board_history.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "station/core/route_book.h"
#include "station/run/attempt_record.h"

namespace korvastation {

namespace {

std::string attempt_line(const StoredAttempt& a, const std::string& today)
{
    std::string line = route_time(a.start, today) + " " + a.station + (a.fixture.empty() ? "" : " fixture " + a.fixture) +
                       ": " + (a.verdict == "failed" || a.verdict == "hung" ? failure_words_of(a) : a.verdict);
    if (a.retest > 0)
        line += " (retest " + std::to_string(a.retest) + ")";
    if (!a.after_repair.empty())
        line += " after repair";
    if (!a.diagnosis.empty())
        line += ", diagnosis " + diagnosis_words(a);
    return line;
}

std::string repair_line(const StoredRepair& r, const std::string& today)
{
    return route_time(r.at, today) + " " + r.station + ": " + repair_words(r);
}

} // namespace

BoardStanding standing_of(const std::vector<StoredAttempt>& attempts, const std::vector<StoredRepair>& repairs)
{
    BoardStanding standing;
    const StoredAttempt* last = nullptr;
    for (const StoredAttempt& a : attempts)
        if (a.final_attempt && !a.golden && verdict_on_board(a.verdict) && (!last || a.start >= last->start))
            last = &a;
    if (last && last->verdict != "passed")
        standing.failed = last;
    for (const StoredRepair& r : repairs) {
        if (standing.failed && r.at >= standing.failed->start)
            standing.repaired = &r;
        if (r.action == REPAIR_SCRAPPED && !standing.scrapped)
            standing.scrapped = &r;
    }
    return standing;
}

std::string board_history_json(const std::string& label, const std::vector<StoredAttempt>& attempts,
                               const std::vector<StoredRepair>& repairs, const std::string& today,
                               const std::string& message)
{
    // Attempts and repairs merged by their times, each list already in order.
    std::vector<std::pair<std::string, std::string>> timed;
    for (const StoredAttempt& a : attempts)
        timed.emplace_back(a.start, attempt_line(a, today));
    for (const StoredRepair& r : repairs)
        timed.emplace_back(r.at, repair_line(r, today));
    std::stable_sort(timed.begin(), timed.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    nlohmann::ordered_json lines = nlohmann::ordered_json::array();
    for (const auto& [at, line] : timed)
        lines.push_back(line);
    const BoardStanding standing = standing_of(attempts, repairs);
    nlohmann::ordered_json board = {{"serial", label}, {"lines", lines}};
    board["failed"] = standing.failed ? failure_words_of(*standing.failed) + " at " +
                                            route_time(standing.failed->start, today)
                                      : "";
    board["diagnosis"] = standing.failed ? diagnosis_words(*standing.failed) : "";
    board["probe_points"] =
        standing.failed ? probe_text(standing.failed->diagnosis, standing.failed->probe_points) : "";
    board["repaired"] = standing.repaired ? repair_line(*standing.repaired, today) : "";
    board["scrapped"] = standing.scrapped ? route_time(standing.scrapped->at, today) +
                                                (standing.scrapped->note.empty() ? "" : " (" + standing.scrapped->note + ")")
                                          : "";
    const nlohmann::ordered_json reply = {{"message", message}, {"board", board}};
    return reply.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

} // namespace korvastation
