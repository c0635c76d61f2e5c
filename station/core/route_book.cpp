#include "station/core/route_book.h"

#include <algorithm>


namespace korvastation {

std::string route_time(const std::string& iso, const std::string& today)
{
    if (iso.size() < 16)
        return iso;
    const std::string clock = iso.substr(11, 5);
    return iso.compare(0, 10, today) == 0 ? clock : iso.substr(0, 10) + " " + clock;
}

void RouteBook::replace(std::vector<BoardRoute> routes, unsigned long asked_after)
{
    read_.clear();
    for (BoardRoute& route : routes)
        read_[route.label] = std::move(route);
    for (auto it = notes_since_.begin(); it != notes_since_.end();) {
        std::vector<Note>& notes = it->second;
        notes.erase(std::remove_if(notes.begin(), notes.end(), [&](const Note& n) { return n.number <= asked_after; }),
                    notes.end());
        it = notes.empty() ? notes_since_.erase(it) : std::next(it);
    }
}

void RouteBook::note_attempt(const StoredAttempt& attempt)
{
    if (attempt.golden || !verdict_on_board(attempt.verdict))
        return;
    notes_since_[attempt.label].push_back({++notes_, false, attempt, StoredRepair()});
}

void RouteBook::note_repair(const StoredRepair& repair)
{
    notes_since_[repair.label].push_back({++notes_, true, StoredAttempt(), repair});
}

// A note changes the route only when it is newer than what the route
// holds: another station's later attempt, read from the database, stands.
void RouteBook::apply(const std::string& label, const Note& note, BoardRoute* route)
{
    route->label = label;
    if (note.repair) {
        const StoredRepair& r = note.fix;
        if (!route->failed_at.empty() && r.at >= route->failed_at) {
            route->repaired_at = r.at;
            route->repair = r.id;
        }
        if (r.action == REPAIR_SCRAPPED && route->scrapped_at.empty()) {
            route->scrapped_at = r.at;
            route->scrapped_why = r.note;
        }
        return;
    }
    const StoredAttempt& a = note.attempt;
    if (a.start < route->failed_at)
        return;
    route->repaired_at.clear();
    route->repair.clear();
    if (a.verdict == "passed") {
        route->failed_at.clear();
        route->failed_attempt.clear();
        route->failed_what.clear();
        route->diagnosis.clear();
        return;
    }
    route->failed_at = a.start;
    route->failed_attempt = a.id;
    route->failed_what = failure_words_of(a);
    route->diagnosis = diagnosis_words(a);
}

BoardRoute RouteBook::route_of(const std::string& label) const
{
    const auto found = read_.find(label);
    BoardRoute route;
    if (found != read_.end())
        route = found->second;
    route.label = label;
    if (const auto notes = notes_since_.find(label); notes != notes_since_.end())
        for (const Note& note : notes->second)
            apply(label, note, &route);
    return route;
}

std::string RouteBook::refusal(const std::string& label, bool require_repair, const std::string& today) const
{
    const BoardRoute route = route_of(label);
    if (!route.scrapped_at.empty())
        return label + " was scrapped at " + route_time(route.scrapped_at, today) +
               (route.scrapped_why.empty() ? "" : " (" + route.scrapped_why + ")") + ": it is not tested again";
    if (require_repair && !route.failed_at.empty() && route.repaired_at.empty() && !allowed_.count(label))
        return label + " " + route.failed_what + " at " + route_time(route.failed_at, today) +
               ": record its repair first";
    return "";
}

std::string RouteBook::start(const std::string& label)
{
    allowed_.erase(label);
    return route_of(label).repair;
}

long RouteBook::waiting() const
{
    std::set<std::string> labels;
    for (const auto& [label, route] : read_)
        labels.insert(label);
    for (const auto& [label, notes] : notes_since_)
        labels.insert(label);
    long waiting = 0;
    for (const std::string& label : labels) {
        const BoardRoute route = route_of(label);
        waiting += !route.failed_at.empty() && route.repaired_at.empty() && route.scrapped_at.empty();
    }
    return waiting;
}

} // namespace korvastation
