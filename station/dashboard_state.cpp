#include "station/dashboard_state.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "station/display.h"

namespace korvastation {

namespace {

// How far the board is: tests of its single pass, or passes of its burn-in.
double progress_of(const BoardRecord& r, const StationOptions& options)
{
    if (r.verdict != Verdict::RUNNING)
        return 1;
    if (options.duration_s > 0)
        return std::min(1.0, std::chrono::duration<double>(std::chrono::system_clock::now() - r.start).count() /
                                 options.duration_s);
    if (options.burn_in())
        return static_cast<double>(r.passes) / static_cast<double>(options.passes);
    long verdicts = 0;
    for (int t = 0; t < BOARD_TEST_COUNT; ++t)
        verdicts += r.counts[t][0] + r.counts[t][1];
    return std::min(1.0, verdicts / 3.0);
}

std::string kind_of(Verdict v)
{
    std::string kind = verdict_name(v);
    std::replace(kind.begin(), kind.end(), ' ', '-');
    return kind;
}

} // namespace

std::string dashboard_state(const std::string& station, const std::vector<const BoardRun*>& runs,
                            const StationOptions& options, const LineToday& today)
{
    DayYield mine{station};
    for (const DayYield& other : today.stations)
        if (other.station == station)
            mine = other;
    nlohmann::ordered_json boards = nlohmann::ordered_json::array();
    for (const BoardRun* run : runs) {
        const BoardRecord& r = run->record();
        const TableRow row = row_of(r);
        std::string diagnosis;
        for (const auto& f : r.diagnosis)
            diagnosis += (diagnosis.empty() ? "" : ", ") + f.name;
        boards.push_back({{"label", r.board.label},
                          {"port", r.board.port},
                          {"kind", kind_of(r.verdict)},
                          {"state", row.state},
                          {"test", row.test},
                          {"progress", progress_of(r, options)},
                          {"passes", r.passes},
                          {"failure", row.failure},
                          {"diagnosis", diagnosis.empty() ? r.diagnosis_note : diagnosis}});
        if (run->done()) {
            const std::vector<BoardRecord> attempts = run->attempts();
            ++mine.boards;
            mine.first_pass += attempts.front().verdict == Verdict::PASSED;
            mine.final_pass += attempts.back().verdict == Verdict::PASSED;
        }
    }
    auto yield_of = [](const DayYield& y) {
        return nlohmann::ordered_json{{"station", y.station}, {"boards", y.boards}, {"first_pass", y.first_pass},
                                      {"final_pass", y.final_pass}};
    };
    nlohmann::ordered_json line = nlohmann::ordered_json::array({yield_of(mine)});
    for (const DayYield& other : today.stations)
        if (other.station != station)
            line.push_back(yield_of(other));
    nlohmann::ordered_json state = {{"station", station}, {"boards", boards}, {"day", today.day}, {"line", line}};
    return state.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

} // namespace korvastation
