#include "station/page/dashboard_state.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "station/outputs/display.h"
#include "station/outputs/records.h"

namespace korvastation {

namespace {

// How far the board is: tests of its single pass, or passes of its burn-in.
double progress_of(const BoardRecord& r, const StationSettings& options)
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
    return std::min(1.0, static_cast<double>(verdicts) / BOARD_TEST_COUNT);
}

// A board that failed a test is failed at once, also while its burn-in goes on.
std::string kind_of(const BoardRecord& r)
{
    std::string kind = r.verdict == Verdict::RUNNING && r.failures() > 0 ? "failed" : verdict_name(r.verdict);
    std::replace(kind.begin(), kind.end(), ' ', '-');
    return kind;
}

// What the attempts before a retest came to, for the retest's tile.
std::string earlier_attempts(const std::vector<BoardRecord>& attempts)
{
    std::string text;
    for (size_t k = 0; k + 1 < attempts.size(); ++k) {
        const BoardRecord& a = attempts[k];
        const TableRow row = row_of(a);
        text += (text.empty() ? "" : "; ") + std::string(k == 0 ? "first attempt" : "retest " + std::to_string(k)) +
                ": " + verdict_text(a) + (row.failure.empty() ? "" : " (" + row.failure + ")");
        if (!diagnosis_of(a).empty())
            text += ", " + diagnosis_of(a);
    }
    return text;
}

const char* kind_name(BoardEvent::Kind kind)
{
    switch (kind) {
    case BoardEvent::Kind::STATE: return "state";
    case BoardEvent::Kind::TEST_RESULT: return "test-result";
    case BoardEvent::Kind::VERDICT: return "verdict";
    case BoardEvent::Kind::PROGRESS: return "progress";
    case BoardEvent::Kind::PROBLEM: return "problem";
    case BoardEvent::Kind::RETEST: return "retest";
    }
    return "?";
}

} // namespace

std::string dashboard_state(const std::string& station, const std::vector<const BoardRun*>& runs,
                            const StationSettings& options, const LineToday& today,
                            const std::deque<BoardEvent>& recent)
{
    YieldRow mine{station};
    for (const YieldRow& other : today.stations)
        if (other.key == station)
            mine = other;
    nlohmann::ordered_json boards = nlohmann::ordered_json::array();
    const auto now = std::chrono::steady_clock::now();
    for (const BoardRun* run : runs) {
        const BoardRecord& r = run->record();
        const TableRow row = row_of(r);
        const std::vector<BoardRecord> attempts = run->attempts();
        boards.push_back({{"label", r.board.label},
                          {"port", r.board.port},
                          {"kind", kind_of(r)},
                          {"state", row.state},
                          {"test", row.test},
                          {"progress", progress_of(r, options)},
                          {"passes", r.passes},
                          {"silent_s", run->silent_seconds(now)},
                          {"burn_in", run->burn_in_progress(now)},
                          {"failure", row.failure},
                          {"diagnosis", diagnosis_of(r)},
                          {"earlier", earlier_attempts(attempts)}});
        if (run->done()) {
            ++mine.boards;
            mine.first_pass += attempts.front().verdict == Verdict::PASSED;
            mine.final_pass += attempts.back().verdict == Verdict::PASSED;
        }
    }
    auto yield_of = [](const YieldRow& y) {
        return nlohmann::ordered_json{{"station", y.key}, {"boards", y.boards}, {"first_pass", y.first_pass},
                                      {"final_pass", y.final_pass}};
    };
    nlohmann::ordered_json line = nlohmann::ordered_json::array({yield_of(mine)});
    for (const YieldRow& other : today.stations)
        if (other.key != station)
            line.push_back(yield_of(other));
    nlohmann::ordered_json events = nlohmann::ordered_json::array();
    for (auto e = recent.rbegin(); e != recent.rend(); ++e)
        events.push_back({{"board", e->board}, {"kind", kind_name(e->kind)}, {"what", e->what},
                          {"when", iso_time(e->when)}});
    nlohmann::ordered_json state = {{"station", station}, {"boards", boards}, {"day", today.day},
                                    {"line", line},       {"events", events}};
    return state.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

} // namespace korvastation
