// The repair bench on a served station's page: a failed board looked up
// across the line, its repair recorded, and the route check that sends a
// failed board to the bench before it is tested again. The board's history
// is read by the database's own thread, after every record queued before
// it; the page's letter waits for it, never the loop.
#include <algorithm>
#include <unistd.h>

#include "station/run/record_text.h"
#include "station/run/user_messages.h"
#include "station/serve/board_history.h"
#include "station/serve/served_station.h"

namespace korvastation {

namespace {

// How often the line's routes are read while nothing asks sooner, and how
// soon after a refusal (a repair recorded at another bench a moment ago).
const auto ROUTES_EVERY = std::chrono::seconds(5);
const auto ROUTES_AGAIN = std::chrono::seconds(1);
// The page's letter waits ten seconds for the loop: the database's answer
// must come before that.
const auto HISTORY_WAIT = std::chrono::seconds(8);
// At the start the line's routes are read before the first board.
const int ROUTES_AT_START_MS = 10000;
const size_t LONGEST_NAME = 60, LONGEST_NOTE = 200, LONGEST_REFERENCE = 20;

std::string joined(const std::vector<std::string>& parts, const char* between)
{
    std::string text;
    for (const std::string& part : parts)
        text += (text.empty() ? "" : between) + part;
    return text;
}

// The references a technician typed, split at commas and spaces.
std::vector<std::string> references_in(const std::string& text)
{
    std::vector<std::string> refs;
    std::string ref;
    for (char c : text + ",") {
        if (c == ',' || c == ' ' || c == '\t') {
            if (!ref.empty() && std::find(refs.begin(), refs.end(), ref) == refs.end())
                refs.push_back(ref);
            ref.clear();
        } else {
            ref += c;
        }
    }
    return refs;
}

bool reference_shaped(const std::string& ref)
{
    return ref.size() <= LONGEST_REFERENCE && std::all_of(ref.begin(), ref.end(), [](unsigned char c) {
               return isalnum(c) || c == '_' || c == '-' || c == '.';
           });
}

} // namespace

// The page that asked is the one told.
void ServedStation::answer_to(const PageAction& action)
{
    std::string point;
    if (point_of(action, &point))
        message_point_ = point;
}

std::string ServedStation::refused_serial(const std::string& serial) const
{
    if (person_text(serial, config_.serial_max_length))
        return "";
    return "no serial number " + shown_scan(serial) + ": 1 to " + std::to_string(config_.serial_max_length) +
           " characters, no control characters";
}

std::string ServedStation::route_refusal(const std::string& serial) const
{
    const std::string why = routes_.refusal(serial, config_.repair.require_repair, day_boards_.day());
    if (!why.empty())
        routes_wanted_ = true;
    return why;
}

void ServedStation::read_routes_at_start()
{
    DatabaseWorker& worker = core_.database()->worker();
    worker.ask_routes(routes_.noted());
    routes_asked_ = core_.now();
    for (int waited = 0; waited < ROUTES_AT_START_MS; waited += 50) {
        if (auto answer = worker.take_routes()) {
            routes_.replace(std::move(answer->first), answer->second);
            return;
        }
        usleep(50 * 1000);
    }
    tell("the line's routes (failed and scrapped boards) were not read in " +
         std::to_string(ROUTES_AT_START_MS / 1000) + " s: until they are, only this station's own are checked");
}

bool ServedStation::watch_routes(Clock::time_point now)
{
    DatabaseSink* database = core_.database();
    if (!database)
        return false;
    DatabaseWorker& worker = database->worker();
    if (now - routes_asked_ >= ROUTES_EVERY || (routes_wanted_ && now - routes_asked_ >= ROUTES_AGAIN)) {
        worker.ask_routes(routes_.noted());
        routes_asked_ = now;
        routes_wanted_ = false;
    }
    auto answer = worker.take_routes();
    if (!answer)
        return false;
    routes_.replace(std::move(answer->first), answer->second);
    return true;
}

ActionReply ServedStation::defer(const PageAction& action, const std::string& label, Clock::time_point now)
{
    DatabaseSink* database = core_.database();
    if (!database)
        return refuse("the repair bench reads boards' histories from the line's database: this station has none");
    if (!database_trouble_.empty())
        return refuse("the database does not answer (" + database_trouble_ + "): " + label +
                      "'s history cannot be read now");
    if (!letter_)
        return refuse("a board is looked up on the page's repair view");
    database->worker().ask_history(++tickets_, label);
    deferred_[tickets_] = {action, std::move(*letter_), now};
    letter_deferred_ = true;
    return {};
}

ActionReply ServedStation::repair_lookup(const PageAction& action)
{
    answer_to(action);
    const std::string serial = field_of(action, "serial");
    if (const std::string why = refused_serial(serial); !why.empty())
        return refuse(why);
    return defer(action, serial, core_.now());
}

ActionReply ServedStation::record_repair(const PageAction& action)
{
    answer_to(action);
    const std::string serial = field_of(action, "serial");
    const std::string what = field_of(action, "action");
    const std::string technician = field_of(action, "technician");
    const std::string note = field_of(action, "note");
    if (const std::string why = refused_serial(serial); !why.empty())
        return refuse(why);
    const std::vector<std::string>& actions = config_.repair.actions;
    if (std::find(actions.begin(), actions.end(), what) == actions.end())
        return refuse("no repair action " + shown_scan(what) + ": one of " + joined(actions, ", "));
    if (!person_text(technician, LONGEST_NAME))
        return refuse("technician's name " + shown_scan(technician) + " refused: 1 to " +
                      std::to_string(LONGEST_NAME) + " characters, no control characters");
    if (!note.empty() && !person_text(note, LONGEST_NOTE))
        return refuse("the note refused: at most " + std::to_string(LONGEST_NOTE) + " characters, no control characters");
    const ProbePoints& board = *config_.board.probes;
    for (const std::string& ref : references_in(field_of(action, "components"))) {
        if (!reference_shaped(ref))
            return refuse("no component " + shown_scan(ref) + ": a reference is letters, digits, '-', '_' or '.'");
        if (!board.empty() && !board.has_component(ref))
            return refuse("no component " + ref + " on the board (" + config_.board.netlist + ")");
    }
    return defer(action, serial, core_.now());
}

ActionReply ServedStation::override_route(const PageAction& action)
{
    answer_to(action);
    const std::string serial = field_of(action, "serial");
    const std::string supervisor = field_of(action, "supervisor");
    const std::string reason = field_of(action, "reason");
    if (!config_.repair.require_repair)
        return refuse("this station does not hold failed boards for a repair: nothing to override");
    if (const std::string why = refused_serial(serial); !why.empty())
        return refuse(why);
    if (!person_text(supervisor, LONGEST_NAME))
        return refuse("supervisor's name " + shown_scan(supervisor) + " refused: 1 to " + std::to_string(LONGEST_NAME) +
                      " characters, no control characters");
    if (!person_text(reason, LONGEST_NOTE))
        return refuse("an override needs its reason: 1 to " + std::to_string(LONGEST_NOTE) +
                      " characters, no control characters");
    const std::string held = routes_.refusal(serial, true, day_boards_.day());
    if (held.empty())
        return refuse(serial + " is not held for a repair: it may be tested");
    if (!routes_.route_of(serial).scrapped_at.empty())
        return refuse(held + ": no override tests a scrapped board");
    record_event("route override", "", serial + " by " + supervisor + ": " + reason + " (" + held + ")");
    routes_.allow_once(serial);
    const std::string told = serial + " may be tested once without a repair: " + supervisor + " overrode (" + reason + ")";
    say(told, false);
    return {200, told};
}

bool ServedStation::answer_histories(Clock::time_point now)
{
    DatabaseSink* database = core_.database();
    if (!database)
        return false;
    // Answers to letters already answered as late are dropped.
    std::vector<std::pair<std::promise<ActionReply>, ActionReply>> answered;
    for (DatabaseWorker::BoardHistory& history : database->worker().take_histories()) {
        const auto found = deferred_.find(history.ticket);
        if (found == deferred_.end())
            continue;
        answered.emplace_back(std::move(found->second.reply), history_answered(found->second.action, history));
        deferred_.erase(found);
    }
    for (auto it = deferred_.begin(); it != deferred_.end();) {
        const bool late = now - it->second.asked >= HISTORY_WAIT;
        if (!late && database_trouble_.empty()) {
            ++it;
            continue;
        }
        answer_to(it->second.action);
        const std::string why = late ? "the database did not answer in time: try again"
                                     : "the database does not answer (" + database_trouble_ + "): try again later";
        answered.emplace_back(std::move(it->second.reply), refuse(why));
        it = deferred_.erase(it);
    }
    if (answered.empty())
        return false;
    publish(now);
    for (auto& [reply, answer] : answered)
        reply.set_value(answer);
    return true;
}

void ServedStation::answer_deferred(int status, const std::string& why)
{
    for (auto& [ticket, deferred] : deferred_)
        deferred.reply.set_value({status, why});
    deferred_.clear();
}

ActionReply ServedStation::history_answered(const PageAction& action, const DatabaseWorker::BoardHistory& history)
{
    answer_to(action);
    const std::string serial = field_of(action, "serial");
    if (!history.read)
        return refuse(serial + "'s history cannot be read: " + history.read.why());
    if (action.name == "repair")
        return repair_recorded(action, history);
    if (history.attempts.empty() && history.repairs.empty())
        return refuse(serial + " has no attempt in the line's database");
    const BoardStanding standing = standing_of(history.attempts, history.repairs);
    const std::string today = day_boards_.day();
    std::string told = serial + ": ";
    if (standing.scrapped)
        told += "scrapped at " + route_time(standing.scrapped->at, today);
    else if (standing.failed && standing.repaired)
        told += "repaired (" + standing.repaired->action + "): test it again";
    else if (standing.failed)
        told += failure_words_of(*standing.failed) + " at " + route_time(standing.failed->start, today) +
                ": waiting for its repair";
    else
        told += "its last attempt passed";
    say(told, false);
    ActionReply reply{200, told};
    reply.json = board_history_json(serial, history.attempts, history.repairs, today, told);
    return reply;
}

ActionReply ServedStation::repair_recorded(const PageAction& action, DatabaseWorker::BoardHistory history)
{
    const std::string serial = field_of(action, "serial");
    const std::string today = day_boards_.day();
    const BoardStanding standing = standing_of(history.attempts, history.repairs);
    if (standing.scrapped)
        return refuse(serial + " was scrapped at " + route_time(standing.scrapped->at, today) +
                      ": nothing more is recorded of it");
    if (!standing.failed)
        return refuse(serial + " has no failed attempt to repair: " +
                      (history.attempts.empty() ? "the line never tested it" : "its last attempt passed"));
    StoredRepair r;
    r.id = core_.run_id() + "/repair/" + std::to_string(++repairs_recorded_);
    r.station = core_.station_name();
    r.at = iso_time(std::chrono::system_clock::now());
    r.label = serial;
    r.action = field_of(action, "action");
    r.components = joined(references_in(field_of(action, "components")), ", ");
    r.note = field_of(action, "note");
    r.technician = field_of(action, "technician");
    r.failed_attempt = standing.failed->id;
    r.diagnosis = diagnosis_words(*standing.failed);
    days_->add_repair(r);
    core_.database()->worker().add(r);
    routes_.note_repair(r);
    ++repairs_by_action_[r.action];
    const std::string told = serial + ": " + r.action + (r.components.empty() ? "" : " " + r.components) +
                             " recorded by " + r.technician +
                             (r.action == REPAIR_SCRAPPED ? ": it is not tested again" : ": test it again");
    say(told, false);
    history.repairs.push_back(r);
    ActionReply reply{200, told};
    reply.json = board_history_json(serial, history.attempts, history.repairs, today, told);
    return reply;
}

} // namespace korvastation
