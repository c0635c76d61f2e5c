#include "station/report/repair_report.h"

#include <algorithm>
#include <chrono>
#include <map>

#include "station/run/record_text.h"

namespace korvastation {

using korvasim::Result;

namespace {

using Clock = std::chrono::system_clock;

Clock::time_point instant(const std::string& iso)
{
    Clock::time_point t{};
    instant_of(iso, &t);
    return t;
}

// One board's repairs of one diagnosis, and its attempts.
struct BoardStory {
    std::vector<const StoredRepair*> repairs;  // by time
    std::vector<StoredAttempt> attempts;       // by start
};

// What one board's story adds to its diagnosis's row.
void tell(const BoardStory& story, RepairRow* row, double* hours_sum)
{
    bool repaired = false, scrapped = false, nff = false;
    for (const StoredRepair* r : story.repairs) {
        scrapped = scrapped || r->action == REPAIR_SCRAPPED;
        nff = nff || r->action == REPAIR_NO_FAULT_FOUND;
        repaired = repaired || r->action != REPAIR_SCRAPPED;
    }
    row->repaired += repaired;
    row->scrapped += scrapped;
    row->no_fault_found += nff;
    // The first pass after a repair, and the repair it came after.
    for (const StoredAttempt& a : story.attempts) {
        if (a.verdict != "passed")
            continue;
        const Clock::time_point passed_at = instant(a.start);
        const StoredRepair* last = nullptr;
        for (const StoredRepair* r : story.repairs)
            if (instant(r->at) <= passed_at && r->action != REPAIR_SCRAPPED)
                last = r;
        if (!last)
            continue;
        ++row->passed;
        ++row->fixed_by_action[last->action];
        for (size_t from = 0; from < last->components.size();) {
            const size_t comma = std::min(last->components.find(',', from), last->components.size());
            std::string ref = last->components.substr(from, comma - from);
            ref.erase(0, ref.find_first_not_of(' '));
            ref.erase(ref.find_last_not_of(' ') + 1);
            if (!ref.empty())
                ++row->fixed_by_component[ref];
            from = comma + 1;
        }
        Clock::time_point failed_at = passed_at;
        for (const StoredAttempt& f : story.attempts)
            if (f.id == last->failed_attempt)
                failed_at = instant(f.start);
        *hours_sum += std::chrono::duration<double, std::ratio<3600>>(passed_at - failed_at).count();
        return;
    }
}

void add_into(const RepairRow& row, RepairRow* total)
{
    total->failed += row.failed;
    total->repaired += row.repaired;
    total->passed += row.passed;
    total->scrapped += row.scrapped;
    total->no_fault_found += row.no_fault_found;
    for (const auto& [action, n] : row.fixed_by_action)
        total->fixed_by_action[action] += n;
    for (const auto& [ref, n] : row.fixed_by_component)
        total->fixed_by_component[ref] += n;
}

} // namespace

Result make_repair_report(ResultStore& store, const StoreFilter& filter, RepairReport* report)
{
    std::vector<StoredRepair> repairs;
    std::vector<FaultRow> faults;
    if (const Result r = store.load_repairs(filter, &repairs); !r)
        return r;
    if (const Result r = store.count_faults(filter, &faults); !r)
        return r;
    // Boards by diagnosis, then each board's story.
    std::map<std::string, std::map<std::string, BoardStory>> stories;
    for (const StoredRepair& r : repairs)
        stories[r.diagnosis][r.label].repairs.push_back(&r);
    std::map<std::string, RepairRow> rows;
    for (const FaultRow& f : faults)
        rows[f.fault].failed = f.boards;
    std::map<std::string, double> hours;
    for (auto& [diagnosis, boards] : stories) {
        RepairRow& row = rows[diagnosis];
        row.diagnosis = diagnosis;
        for (auto& [label, story] : boards) {
            // A board's attempts after the filter's days count too: its pass
            // after a repair may come later.
            StoreFilter of_board;
            of_board.since = filter.since;
            of_board.label = label;
            if (const Result r = store.load(of_board, &story.attempts); !r)
                return r;
            tell(story, &row, &hours[diagnosis]);
        }
        // Boards repaired whose failure the days did not hold.
        row.failed = std::max(row.failed, static_cast<long>(boards.size()));
    }
    double total_hours = 0;
    for (auto& [diagnosis, row] : rows) {
        row.diagnosis = diagnosis;
        total_hours += hours[diagnosis];
        if (row.passed)
            row.hours_to_pass = hours[diagnosis] / row.passed;
        add_into(row, &report->total);
        report->rows.push_back(row);
    }
    report->total.diagnosis = "all";
    if (report->total.passed)
        report->total.hours_to_pass = total_hours / report->total.passed;
    std::stable_sort(report->rows.begin(), report->rows.end(),
                     [](const RepairRow& a, const RepairRow& b) { return a.failed > b.failed; });
    return Result::ok();
}

} // namespace korvastation
