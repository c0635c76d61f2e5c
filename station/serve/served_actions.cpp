// What the operator gives a served station: scans from the terminal and
// the page's actions, each checked before it changes anything.
#include <cstdio>

#include "station/outputs/display.h"
#include "station/run/record_text.h"
#include "station/run/user_messages.h"
#include "station/serve/served_station.h"

namespace korvastation {

namespace {

const size_t LONGEST_OPERATOR_NAME = 60;

std::string too_long(size_t length)
{
    return "a scan of " + std::to_string(length) + " characters refused: no serial number is that long";
}

} // namespace

void ServedStation::define_actions()
{
    actions_.add("scan", [this](const PageAction& a) { return scan(a); });
    actions_.add("select", [this](const PageAction& a) { return select(a); });
    actions_.add("operator", [this](const PageAction& a) { return set_operator(a); });
    actions_.add("confirm-fixture", [this](const PageAction& a) { return confirm_fixture(a); });
    actions_.add("retest", [this](const PageAction& a) { return retest(a); });
    actions_.add("test-again", [this](const PageAction& a) { return test_again(a); });
    actions_.add("maintenance-done", [this](const PageAction& a) { return maintenance_done(a); });
    actions_.add("repair-lookup", [this](const PageAction& a) { return repair_lookup(a); });
    actions_.add("repair", [this](const PageAction& a) { return record_repair(a); });
    actions_.add("route-override", [this](const PageAction& a) { return override_route(a); });
}

ActionReply ServedStation::act(const PageAction& action)
{
    const OperatorActions::Handler* handler = actions_.find(action.name);
    if (!handler)
        return refuse("no action " + shown_scan(action.name) + " at this station");
    return (*handler)(action);
}

void ServedStation::read_scans()
{
    for (const TerminalScans::Line& line : scans_.read()) {
        if (line.refused_length > 0)
            say(too_long(line.refused_length), true);
        else
            act({"scan", {{"text", line.text}, {"point", ScanDesk::TERMINAL}}});
    }
}

// The page shows what an action did by the time its answer arrives.
void ServedStation::answer_letters(Clock::time_point now)
{
    std::vector<ActionMailbox::Letter> letters = mailbox_.take();
    std::vector<ActionReply> replies;
    std::vector<bool> deferred;
    for (ActionMailbox::Letter& letter : letters) {
        letter_ = &letter.reply;
        letter_deferred_ = false;
        replies.push_back(act(letter.action));
        deferred.push_back(letter_deferred_);
        letter_ = nullptr;
    }
    if (!letters.empty())
        publish(now);
    for (size_t i = 0; i < letters.size(); ++i)
        if (!deferred[i])
            letters[i].reply.set_value(replies[i]);
}

int ServedStation::fixture_named(const std::string& name) const
{
    for (size_t k = 0; k < fixtures_.size(); ++k)
        if (fixtures_[k]->spec().name == name)
            return static_cast<int>(k);
    return -1;
}

std::string ServedStation::busy(size_t fixture, const std::string& serial) const
{
    if (stopping_)
        return "the station is stopping";
    if (!records_trouble_.empty())
        return records_trouble_;
    if (const std::string why = fixtures_[fixture]->busy(serial); !why.empty())
        return why;
    if (const std::string why = route_refusal(serial); !why.empty())
        return why;
    // One board is in one fixture: a serial under test (or between its
    // retests) elsewhere is a mistaken scan or a label printed twice.
    for (size_t k = 0; k < fixtures_.size(); ++k)
        if (k != fixture && fixtures_[k]->state() == Fixture::State::TESTING &&
            fixtures_[k]->series()->record().board.label == serial)
            return serial + " is under test in fixture " + fixtures_[k]->spec().name;
    return "";
}

// The scanning point an action comes from: the terminal's, or a page's own
// (one per open page); a page that names none shares "page".
bool ServedStation::point_of(const PageAction& action, std::string* point) const
{
    *point = field_of(action, "point");
    if (point->empty())
        *point = "page";
    return ScanDesk::valid_point(*point);
}

void ServedStation::say(const std::string& text, bool refused, const std::string& detail)
{
    message_ = {text, refused, message_.number + 1, message_point_};
    message_point_.clear();
    const std::string logged = detail.empty() ? text : text + " (" + detail + ")";
    fprintf(terminal_, "%s %s\n", iso_time(std::chrono::system_clock::now()).c_str(), terminal_text(logged).c_str());
    fflush(terminal_);
}

void ServedStation::tell(const std::string& text)
{
    fprintf(terminal_, "%s %s\n", iso_time(std::chrono::system_clock::now()).c_str(), terminal_text(text).c_str());
    fflush(terminal_);
}

ActionReply ServedStation::refuse(const std::string& why, const std::string& detail)
{
    say(why, true, detail);
    return {400, why};
}

ActionReply ServedStation::scan(const PageAction& action)
{
    if (fixtures_.empty())
        return refuse("this station is a repair bench: it tests no boards; look a board up in its repair view");
    const std::string fixture_name = field_of(action, "fixture");
    const int fixture = fixture_named(fixture_name);
    if (!fixture_name.empty() && fixture < 0)
        return refuse("no fixture " + shown_scan(fixture_name) + " at this station");
    const std::string text = field_of(action, "text");
    if (text.size() > TerminalScans::LONGEST_LINE)
        return refuse(too_long(text.size()));
    std::string point;
    if (!point_of(action, &point))
        return refuse("no scanning point " + shown_scan(point) + ": 1 to 40 letters, digits, '-' or '_'");
    message_point_ = point;
    return answer(desk_->scan(point, text, fixture, busy_check()));
}

ActionReply ServedStation::select(const PageAction& action)
{
    const std::string name = field_of(action, "fixture");
    const int fixture = fixture_named(name);
    if (!name.empty() && fixture < 0)
        return refuse("no fixture " + shown_scan(name) + " at this station");
    std::string point;
    if (!point_of(action, &point))
        return refuse("no scanning point " + shown_scan(point) + ": 1 to 40 letters, digits, '-' or '_'");
    message_point_ = point;
    const ScanAnswer selected = desk_->select(point, fixture);
    say(selected.message, false);
    return {200, selected.message};
}

ScanDesk::Busy ServedStation::busy_check() const
{
    return [this](size_t k, const std::string& serial) { return busy(k, serial); };
}

ActionReply ServedStation::set_operator(const PageAction& action)
{
    const std::string name = field_of(action, "name");
    if (!person_text(name, LONGEST_OPERATOR_NAME))
        return refuse("operator's name " + shown_scan(name) + " refused: 1 to " + std::to_string(LONGEST_OPERATOR_NAME) +
                      " characters, no control characters");
    operator_ = name;
    record_event("operator", "", name);
    say("operator: " + name, false);
    return {200, "operator: " + name};
}

ActionReply ServedStation::confirm_fixture(const PageAction& action)
{
    const std::string name = field_of(action, "fixture");
    const int fixture = fixture_named(name);
    if (fixture < 0)
        return refuse("no fixture " + shown_scan(name) + " at this station");
    return fixture_checked(static_cast<size_t>(fixture));
}

// The page's button and a scanned "CHECKED:NAME" alike, recorded with who
// checked it and the boards that stopped it.
ActionReply ServedStation::fixture_checked(size_t fixture)
{
    Fixture& f = *fixtures_[fixture];
    const std::string& name = f.spec().name;
    if (f.state() != Fixture::State::CHECK)
        return refuse("fixture " + name + " is not waiting to be checked");
    record_event("fixture checked", name, f.suspicion());
    f.confirm();
    say("fixture " + name + " checked: it takes boards again", false);
    return {200, "fixture " + name + " takes boards again"};
}

// The fixture was serviced (pins, cables): its count of boards starts
// again, recorded with who said so and after how many.
ActionReply ServedStation::maintenance_done(const PageAction& action)
{
    const std::string name = field_of(action, "fixture");
    const int fixture = fixture_named(name);
    if (fixture < 0)
        return refuse("no fixture " + shown_scan(name) + " at this station");
    const long boards = cycles_->count(name);
    const std::string after = "after " + std::to_string(boards) + (boards == 1 ? " board" : " boards");
    record_event("maintenance done", name, after);
    cycles_->reset(name);
    watch_cycles();
    say("fixture " + name + ": maintenance done " + after + ", its count starts again", false);
    return {200, "fixture " + name + " counts its boards from 0"};
}

void ServedStation::record_event(const std::string& kind, const std::string& fixture, const std::string& detail)
{
    StationEvent e;
    e.id = core_.run_id() + "/event/" + std::to_string(++events_recorded_);
    e.station = core_.station_name();
    e.at = iso_time(std::chrono::system_clock::now());
    e.kind = kind;
    e.fixture = fixture;
    e.operator_name = operator_;
    e.detail = detail;
    days_->add_event(e);
    if (DatabaseSink* database = core_.database())
        database->worker().add(e);
}

ActionReply ServedStation::retest(const PageAction& action)
{
    const std::string name = field_of(action, "fixture");
    const int fixture = fixture_named(name);
    if (fixture < 0)
        return refuse("no fixture " + shown_scan(name) + " at this station");
    const Fixture& f = *fixtures_[static_cast<size_t>(fixture)];
    if (f.state() != Fixture::State::VERDICT || !f.series())
        return refuse("fixture " + name + " has no verdict to retest");
    const std::string serial = f.series()->record().board.label;
    if (const std::string why = busy(static_cast<size_t>(fixture), serial); !why.empty())
        return refuse(serial + " not started: " + why);
    return answer({ScanAnswer::Kind::START, static_cast<size_t>(fixture), serial, serial + " again in fixture " + name, ""},
                  false);
}

ActionReply ServedStation::test_again(const PageAction& action)
{
    const std::string name = field_of(action, "fixture");
    const int fixture = fixture_named(name);
    if (fixture < 0)
        return refuse("no fixture " + shown_scan(name) + " at this station");
    std::string point;
    if (!point_of(action, &point))
        return refuse("no scanning point " + shown_scan(point) + ": 1 to 40 letters, digits, '-' or '_'");
    message_point_ = point;
    return answer(desk_->confirm(point, static_cast<size_t>(fixture), busy_check()));
}

ActionReply ServedStation::answer(const ScanAnswer& scanned, bool inserted)
{
    switch (scanned.kind) {
    case ScanAnswer::Kind::IGNORED:
        return {200, ""};
    case ScanAnswer::Kind::REFUSED:
        return refuse(scanned.message, scanned.detail);
    case ScanAnswer::Kind::SELECTED:
    case ScanAnswer::Kind::CONFIRM:
        say(scanned.message, false);
        return {200, scanned.message};
    case ScanAnswer::Kind::CHECKED:
        return fixture_checked(scanned.fixture);
    case ScanAnswer::Kind::START:
        break;
    }
    const auto started = std::chrono::system_clock::now();
    std::string folder;
    if (const korvasim::Result made = days_->folder_of(started, &folder); !made) {
        say(scanned.serial + " not started: " + made.why(), true);
        return {500, made.why()};
    }
    const FixtureSpec& spec = fixtures_[scanned.fixture]->spec();
    const std::string time = iso_time(started);
    // HHMMSS: a board tested twice a day keeps both logs.
    const std::string time_of_day = time.substr(11, 2) + time.substr(14, 2) + time.substr(17, 2);
    BoardSpec board{spec.port, scanned.serial, spec.power_switch, spec.name,
                    log_name_of(scanned.serial) + "-" + spec.name + "-" + time_of_day};
    const BoardDay day = day_boards_.of(scanned.serial);
    Fixture& fixture = *fixtures_[scanned.fixture];
    fixture.start_board(board, operator_, folder, core_.now(), day.attempts, day.outcomes);
    fixture.series()->record().after_repair = routes_.start(scanned.serial);
    fixture.series()->record().fixture_cycles = inserted ? cycles_->add(spec.name) : cycles_->count(spec.name);
    watch_cycles();
    say(scanned.message, false);
    return {200, scanned.message};
}

} // namespace korvastation
