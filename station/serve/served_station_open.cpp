// How a served station starts: what it needs found and locked, its outputs
// opened (the day's folder first), the day read back from its own record,
// and its page served. Nothing is left half-started when a step fails.
#include "station/serve/served_station.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "station/page/page_assets.h"
#include "station/run/installation.h"
#include "station/run/record_text.h"
#include "station/run/user_messages.h"

namespace korvastation {

using korvasim::Result;

namespace {

// The records that wait for the line's own command, in the records folder.
const char HAND_OFF_OUTBOX[] = "hand-off-outbox.jsonl";

// Each fixture's boards since its maintenance, across days and restarts.
const char CYCLES_FILE[] = "fixture-cycles.json";

// The day folders whose records are written into a database that missed them.
const size_t CATCH_UP_DAYS = 14;

} // namespace

Result ServedStation::open()
{
    // What the configuration names and the station cannot run: the file says where.
    if (const Result identified = core_.identify("dudedoved"); !identified)
        return config_.path.empty() ? identified : Result::failure(config_.path + ": " + identified.why());
    if (const Result locked = take_locks(); !locked)
        return locked;
    cycles_ = std::make_unique<FixtureCycles>(config_.records_dir + "/" + CYCLES_FILE);
    if (const Result loaded = cycles_->load(); !loaded)
        return loaded;
    days_ = std::make_unique<DayFolder>(config_.records_dir, core_.record_context());
    std::string folder;
    if (const Result made = days_->folder_of(std::chrono::system_clock::now(), &folder); !made)
        return made;
    day_boards_.start_day(day_of(std::chrono::system_clock::now()));
    for (const FixtureSpec& f : config_.fixtures)
        fixtures_.push_back(std::make_unique<Fixture>(f, config_.settings, config_.health_window));
    if (const Result opened = open_outputs(); !opened)
        return opened;
    desk_ = std::make_unique<ScanDesk>(config_, [this](const std::string& serial) { return day_boards_.passed_today(serial); });
    define_actions();
    if (const Result served = open_page(); !served)
        return served;
    // Said once the station is sure to start: a refused start says only why.
    for (const FixtureSpec& f : config_.fixtures)
        if (port_missing(f.port))
            tell_user("fixture " + f.name + "'s port " + f.port +
                      " is not there yet: its boards wait until it is plugged in");
    core_.watch_yield();
    // The page shows the fixtures from its first request on.
    publish(core_.now());
    return Result::ok();
}

// A local port that is not there yet: a USB adapter may be plugged in
// later, so it is said, not refused.
bool ServedStation::port_missing(const std::string& port)
{
    return port.find("://") == std::string::npos && access(port.c_str(), F_OK) != 0;
}

// One station for a configuration, a records folder and a fixture's port:
// two would take each other's scans and power-cycle each other's boards.
Result ServedStation::take_locks()
{
    if (!config_.path.empty())
        if (const Result r = locks_.take(InstanceLocks::lock_path_of("config", config_.path),
                                         "the configuration " + config_.path);
            !r)
            return r;
    if (!make_dirs(config_.records_dir))
        return Result::failure("cannot make the records folder " + config_.records_dir + ": " + strerror(errno));
    if (const Result r = locks_.take(config_.records_dir + "/.korvastation.lock", "the records folder " + config_.records_dir);
        !r)
        return r;
    for (const FixtureSpec& f : config_.fixtures)
        if (const Result r = locks_.take(InstanceLocks::lock_path_of("port", f.port),
                                         "fixture " + f.name + "'s port " + f.port);
            !r)
            return r;
    return Result::ok();
}

// The day's file first, the station's own record; then the database, the
// line's command, and what the station remembers. A service's records must
// reach a database it can rely on: one out of reach at the start is a
// mistake to mend first, not to work around.
Result ServedStation::open_outputs()
{
    core_.locate_with(config_.board.probes);
    core_.add_sink(days_.get());
    read_the_day();
    const StationSettings& s = config_.settings;
    if (!s.db.empty()) {
        std::unique_ptr<ResultStore> store;
        if (const Result opened = open_result_store(s.db, &store); !opened)
            return opened;
        core_.use_database(std::move(store), DatabaseWorker::Refused::RETRIED);
        // What the database missed while the station was down or the
        // database away, from the station's own record.
        catch_up_database();
        read_routes_at_start();
    }
    core_.add_sink(&finals_);
    if (!config_.on_attempt.empty()) {
        hand_off_ = std::make_unique<HandOff>(config_.on_attempt, core_.record_context(),
                                              config_.records_dir + "/" + HAND_OFF_OUTBOX);
        if (const Result opened = hand_off_->open(); !opened)
            return opened;
        core_.add_sink(hand_off_.get());
    }
    return Result::ok();
}

Result ServedStation::open_page()
{
    if (config_.settings.http.empty())
        return Result::ok();
    page_ = std::make_unique<PageServer>(OPERATOR_PAGE_HTML, "/operator.js", OPERATOR_PAGE_SCRIPT);
    page_->accept_actions([this](const PageAction& a) { return mailbox_.ask(a); }, config_.token);
    std::vector<std::string> states;
    for (Fixture::State state : {Fixture::State::IDLE, Fixture::State::TESTING, Fixture::State::VERDICT,
                                 Fixture::State::CHECK})
        states.push_back(fixture_state_label(state));
    std::string url, reachable;
    if (const Result started = core_.serve_page(config_.settings.http, page_.get(), states, &url, &reachable); !started)
        return started;
    // Beyond loopback the page is opened with the token in its address;
    // the token itself is never printed.
    const std::string with_token = reachable.empty() ? "" : "?token=...";
    tell_user("operator's page at " + url + with_token);
    if (!reachable.empty()) {
        std::string addresses;
        for (size_t start = 0; start < reachable.size();) {
            const size_t end = std::min(reachable.find(", ", start), reachable.size());
            const std::string one = reachable.substr(start, end - start);
            addresses += (addresses.empty() ? "" : ", ") + one + (one.rfind("http", 0) == 0 ? with_token : "");
            start = end + 2;
        }
        tell_user("the operator's page can be reached from other machines (" + addresses +
                  "): open it with the configuration's token in place of ...");
    }
    return Result::ok();
}

// What the database missed while the station was down or the database
// away (or replaced), from the station's own record: it keeps each attempt
// and event once by its identity.
void ServedStation::catch_up_database()
{
    DatabaseWorker& worker = core_.database()->worker();
    worker.catch_up(days_->read_back(CATCH_UP_DAYS));
    for (StationEvent& e : days_->read_back_events(CATCH_UP_DAYS))
        worker.add(std::move(e));
    for (StoredRepair& r : days_->read_back_repairs(CATCH_UP_DAYS))
        worker.add(std::move(r));
}

// A station started again during the day shows the day's boards again,
// knows each one's attempts and who works it, from its own record of the day.
void ServedStation::read_the_day()
{
    std::string last_operator;
    for (const StationEvent& e : days_->read_back_events(1))
        if (e.kind == "operator" && e.at.substr(0, 10) == day_boards_.day())
            last_operator = e.detail;
    if (!last_operator.empty() && !config_.operator_given)
        operator_ = last_operator;
    for (const StoredAttempt& a : days_->read_back(1)) {
        if (a.start.substr(0, 10) != day_boards_.day())
            continue;
        if (a.golden) {
            golden_read_back(a);
            continue;
        }
        day_boards_.remember(a);
        if (!a.final_attempt || a.fixture.empty())
            continue;
        for (auto& fixture : fixtures_)
            if (fixture->spec().name == a.fixture)
                fixture->remember({a.label, a.verdict, a.end});
    }
}

// A golden board that passed today at once proves its fixture until its
// next turn, a restart or not.
void ServedStation::golden_read_back(const StoredAttempt& a)
{
    std::chrono::system_clock::time_point end;
    const int k = fixture_named(a.fixture);
    if (k >= 0 && a.verdict == "passed" && a.retest == 0 && !a.intermittent && instant_of(a.end, &end))
        fixtures_[static_cast<size_t>(k)]->golden_passed(end);
}

void ServedStation::board_recorded(const AttemptRecord& a)
{
    const int k = fixture_named(a.board.fixture);
    if (!a.final_attempt || k < 0)
        return;
    routes_.note_attempt(stored_attempt(a, core_.station_name(), core_.run_id()));
    const std::string diagnosis = diagnosis_of(a);
    const auto advice = config_.advice.find(a.verdict);
    tell(a.board.fixture + " " + a.board.label + ": " + verdict_text(a) + (diagnosis.empty() ? "" : ", " + diagnosis) +
         (advice == config_.advice.end() ? "" : ": " + advice->second));
    Fixture& fixture = *fixtures_[static_cast<size_t>(k)];
    const bool was_suspect = !fixture.suspicion().empty();
    fixture.judge(a);
    if (!was_suspect && !fixture.suspicion().empty())
        tell("fixture " + a.board.fixture + ": check the fixture (" + fixture.suspicion() + "); then scan " +
             ScanDesk::CHECKED_PREFIX + a.board.fixture + " or press Fixture checked on the page");
    unpublished_ = true;
}

} // namespace korvastation
