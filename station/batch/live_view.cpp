#include "station/batch/live_view.h"

#include <algorithm>
#include <nlohmann/json.hpp>

#include "station/outputs/display.h"
#include "station/run/record_text.h"

namespace korvastation {

namespace {

// A board that failed a test is failed at once, also while its burn-in goes on.
std::string kind_of(const AttemptRecord& r)
{
    std::string kind = r.verdict == Verdict::RUNNING && r.failures() > 0 ? "failed" : verdict_name(r.verdict);
    std::replace(kind.begin(), kind.end(), ' ', '-');
    return kind;
}

// What the attempts before a retest came to, for the retest's tile.
std::string earlier_attempts(const std::vector<AttemptRecord>& attempts)
{
    std::string text;
    for (size_t k = 0; k + 1 < attempts.size(); ++k) {
        const AttemptRecord& a = attempts[k];
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

std::string live_page_state(const LivePageSnapshot& snapshot)
{
    nlohmann::ordered_json boards = nlohmann::ordered_json::array();
    for (const LiveTile& tile : snapshot.tiles) {
        const AttemptRecord& r = tile.attempts.back();
        const TableRow row = row_of(r);
        boards.push_back({{"label", r.board.label},
                          {"port", r.board.port},
                          {"kind", kind_of(r)},
                          {"state", row.state},
                          {"test", row.test},
                          {"progress", tile.progress},
                          {"passes", r.passes},
                          {"silent_s", tile.silent_s},
                          {"burn_in", tile.burn_in},
                          {"failure", row.failure},
                          {"diagnosis", diagnosis_of(r)},
                          {"earlier", earlier_attempts(tile.attempts)}});
    }
    auto yield_of = [](const YieldRow& y) {
        return nlohmann::ordered_json{{"station", y.key}, {"boards", y.boards}, {"first_pass", y.first_pass},
                                      {"final_pass", y.final_pass}};
    };
    nlohmann::ordered_json line = nlohmann::ordered_json::array({yield_of(snapshot.mine)});
    for (const YieldRow& other : snapshot.others)
        line.push_back(yield_of(other));
    nlohmann::ordered_json events = nlohmann::ordered_json::array();
    for (auto e = snapshot.recent.rbegin(); e != snapshot.recent.rend(); ++e)
        events.push_back({{"board", e->board}, {"kind", kind_name(e->kind)}, {"what", e->what},
                          {"when", iso_time(e->when)}});
    nlohmann::ordered_json state = {{"station", snapshot.station}, {"boards", boards}, {"day", snapshot.day},
                                    {"line", line},                {"events", events}};
    return state.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

} // namespace korvastation
