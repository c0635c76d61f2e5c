#include "station/serve/served_station.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "station/image_digest.h"
#include "station/page/page_assets.h"
#include "station/run/installation.h"
#include "station/run/record_text.h"
#include "station/run/user_messages.h"

namespace korvastation {

using korvasim::Result;

namespace {

const auto PUBLISH_EVERY = std::chrono::milliseconds(200);
// After a request to stop, the boards' dudedoved are given this long to
// end before they are killed, and the database as long again.
const auto STOP_WAIT = std::chrono::seconds(5);
// The records that wait for the line's own command, in the records folder.
const char HAND_OFF_OUTBOX[] = "hand-off-outbox.jsonl";
// How often records that the disk did not take are tried again.
const auto RECORDS_RETRY = std::chrono::seconds(2);
// The day folders whose records are written into a database that missed them.
const size_t CATCH_UP_DAYS = 14;

// A fixture's state as a metric's label: one word.
std::string metric_state(Fixture::State state)
{
    std::string name = fixture_state_name(state);
    std::replace(name.begin(), name.end(), ' ', '_');
    return name;
}

} // namespace

ServedStation::ServedStation(ServeConfig config, FILE* terminal, int scans_fd, std::function<Clock::time_point()> clock)
    : config_(std::move(config)), core_(config_.settings, std::move(clock)), terminal_(terminal),
      events_(terminal, false, [] { return size_t(80); }), scans_(scans_fd),
      finals_([this](const AttemptRecord& a) { board_recorded(a); }),
      operator_(config_.operator_name)
{
}

ServedStation::~ServedStation()
{
    if (page_)
        page_->stop();
}

Result ServedStation::open()
{
    if (const Result identified = core_.identify("dudedoved"); !identified)
        return identified;
    if (const Result locked = take_locks(); !locked)
        return locked;
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
    core_.watch_yield();
    // The page shows the fixtures from its first request on.
    publish(core_.now());
    return Result::ok();
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
        states.push_back(metric_state(state));
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
        if (a.golden || a.start.substr(0, 10) != day_boards_.day())
            continue;
        day_boards_.remember(a);
        if (!a.final_attempt || a.fixture.empty())
            continue;
        for (auto& fixture : fixtures_)
            if (fixture->spec().name == a.fixture)
                fixture->remember({a.label, a.verdict, a.end});
    }
}

void ServedStation::board_recorded(const AttemptRecord& a)
{
    const int k = fixture_named(a.board.fixture);
    if (!a.final_attempt || k < 0)
        return;
    const std::string diagnosis = diagnosis_of(a);
    const auto advice = config_.advice.find(a.verdict);
    tell(a.board.fixture + " " + a.board.label + ": " + verdict_text(a) + (diagnosis.empty() ? "" : ", " + diagnosis) +
         (advice == config_.advice.end() ? "" : ": " + advice->second));
    Fixture& fixture = *fixtures_[static_cast<size_t>(k)];
    const bool was_suspect = !fixture.suspicion().empty();
    fixture.judge(a);
    if (!was_suspect && !fixture.suspicion().empty())
        tell("fixture " + a.board.fixture + ": check the fixture (its last " + std::to_string(config_.health_window) +
             " boards all " + fixture.suspicion() + "); then scan " + ScanDesk::CHECKED_PREFIX + a.board.fixture +
             " or press Fixture checked on the page");
    unpublished_ = true;
}

int ServedStation::run(const std::atomic<int>& interrupts)
{
    while (turn(interrupts)) {
    }
    return finish(interrupts);
}

std::vector<std::shared_ptr<AttemptSeries>> ServedStation::boards_under_test(std::vector<size_t>* fixtures) const
{
    std::vector<std::shared_ptr<AttemptSeries>> boards;
    for (size_t k = 0; k < fixtures_.size(); ++k)
        if (fixtures_[k]->state() == Fixture::State::TESTING) {
            boards.push_back(fixtures_[k]->series());
            fixtures->push_back(k);
        }
    return boards;
}

bool ServedStation::turn(const std::atomic<int>& interrupts)
{
    std::vector<int> inputs = {mailbox_.fd(), stopping_ ? -1 : scans_.fd()};
    if (hand_off_)
        for (int fd : hand_off_->fds())
            inputs.push_back(fd);
    std::vector<size_t> fixtures;
    const StationCore::Turn turn = core_.turn(boards_under_test(&fixtures), inputs);
    handle_stop(interrupts, turn.now);
    // A new day: the boards that passed yesterday are tested again without asking.
    day_boards_.start_day(core_.yield().day());
    answer_letters(turn.now);
    if (turn.inputs[1])
        read_scans();
    show_events(turn, fixtures);
    bool changed = turn.changed || unpublished_;
    for (size_t k : fixtures)
        if (fixtures_[k]->update()) {
            changed = true;
            for (const AttemptRecord& a : fixtures_[k]->series()->attempts())
                day_boards_.add(a);
        }
    if (hand_off_)
        for (const std::string& why : hand_off_->check(turn.now))
            tell(why);
    changed = watch_database() || changed;
    changed = watch_records(turn.now) || changed;
    // A change shows within PUBLISH_EVERY; a silent board's seconds go on
    // by themselves once a second.
    unpublished_ = changed;
    if ((changed && turn.now - published_ >= PUBLISH_EVERY) || turn.now - published_ >= std::chrono::seconds(1))
        publish(turn.now);
    const bool testing = std::any_of(fixtures_.begin(), fixtures_.end(),
                                     [](const auto& f) { return f->state() == Fixture::State::TESTING; });
    if (stopping_ && !testing && !core_.diagnosing())
        return false;
    core_.rest(turn);
    return true;
}

// The database's trouble is told when it starts and when it ends; while it
// lasts the page shows the attempts that wait.
bool ServedStation::watch_database()
{
    DatabaseSink* database = core_.database();
    if (!database)
        return false;
    DatabaseWorker& worker = database->worker();
    for (const std::string& notice : worker.take_notices()) {
        tell(notice);
        catch_up_database();
    }
    const std::string trouble = worker.trouble();
    const size_t waiting = worker.waiting();
    if (trouble == database_trouble_ && waiting == database_waiting_)
        return false;
    if (!trouble.empty() && database_trouble_.empty())
        tell("the database does not take records (" + trouble + "): the day's " + DayFolder::RECORDS_FILE +
                  " keeps them until it does");
    if (trouble.empty() && !database_trouble_.empty())
        tell("the database takes records again: the " + std::to_string(database_waiting_) +
                  " that waited are written");
    database_trouble_ = trouble;
    database_waiting_ = waiting;
    return true;
}

// Records the disk does not take stop the station taking boards, and no
// board or fixture is blamed; they are tried again now and then.
bool ServedStation::watch_records(Clock::time_point now)
{
    if (!days_->trouble().empty() && now - records_tried_ >= RECORDS_RETRY) {
        records_tried_ = now;
        days_->retry();
    }
    if (days_->trouble() == records_trouble_)
        return false;
    if (!days_->trouble().empty())
        tell(days_->trouble() + ": no board is taken until they can");
    else
        tell("the records are written again");
    records_trouble_ = days_->trouble();
    return true;
}

void ServedStation::handle_stop(const std::atomic<int>& interrupts, Clock::time_point now)
{
    if (interrupts > stops_sent_) {
        stops_sent_ = interrupts;
        if (!stopping_)
            stop_asked_ = now;
        stopping_ = true;
        for (auto& f : fixtures_)
            f->stop();
    }
    // A dudedoved that does not end on the first stop is stopped again.
    if (stopping_ && now - stop_asked_ > STOP_WAIT && stops_sent_ < 2) {
        stops_sent_ = 2;
        for (auto& f : fixtures_)
            f->stop();
    }
}

void ServedStation::show_events(const StationCore::Turn& turn, const std::vector<size_t>& fixtures)
{
    std::vector<BoardEvent> events;
    for (size_t i = 0; i < fixtures.size(); ++i)
        for (BoardEvent e : turn.events[i]) {
            e.board = fixtures_[fixtures[i]]->spec().name + " " + e.board;
            events.push_back(std::move(e));
        }
    if (!events.empty())
        events_.events(events);
}

int ServedStation::finish(const std::atomic<int>& interrupts)
{
    const auto deadline = std::chrono::steady_clock::now() + STOP_WAIT + STOP_WAIT;
    for (const std::string& failure :
         core_.finish([&] { return interrupts < 3 && std::chrono::steady_clock::now() < deadline; }))
        tell_user(failure);
    int status = 0;
    if (!days_->retry()) {
        tell_user(days_->trouble() + ": " + std::to_string(days_->waiting()) + " attempts are in no day file" +
                  (core_.database() ? " (the database has them)" : ""));
        status = EXIT_UNTESTED;
    }
    DatabaseSink* database = core_.database();
    if (!database || database->missing() == 0)
        return status;
    tell_user(database->first_failure() + ": " + std::to_string(database->missing()) +
              " attempts are not in the database (the day's " + DayFolder::RECORDS_FILE +
              " has them; they go in at the station's next start)");
    return EXIT_UNTESTED;
}

void ServedStation::publish(Clock::time_point now)
{
    published_ = now;
    unpublished_ = false;
    if (!page_)
        return;
    page_->publish(operator_page_state(snapshot(now)));
    std::vector<FixtureGauge> gauges;
    for (const auto& f : fixtures_)
        gauges.push_back({f->spec().name, metric_state(f->state())});
    core_.metrics()->set_waiting(static_cast<long>(database_waiting_), hand_off_ ? static_cast<long>(hand_off_->waiting()) : 0);
    page_->publish_metrics(core_.metrics()->text(gauges));
}

OperatorSnapshot ServedStation::snapshot(Clock::time_point now) const
{
    OperatorSnapshot s;
    s.station = core_.station_name();
    s.operator_name = operator_;
    s.stopping = stopping_;
    s.powered = config_.settings.power_on.given();
    s.message = message_;
    s.advice = config_.advice;
    std::set<int> selected;
    for (const auto& [name, point] : desk_->points()) {
        PointChoice& choice = s.points[name];
        if (point.selected >= 0)
            choice.selected = fixtures_[static_cast<size_t>(point.selected)]->spec().name;
        if (point.confirm_fixture >= 0) {
            choice.confirm_fixture = fixtures_[static_cast<size_t>(point.confirm_fixture)]->spec().name;
            choice.confirm_serial = point.confirm_serial;
        }
        selected.insert(point.selected);
    }
    for (size_t k = 0; k < fixtures_.size(); ++k) {
        const Fixture& f = *fixtures_[k];
        FixturePanel panel{f.spec().name, f.spec().port, f.state(), selected.count(static_cast<int>(k)) > 0,
                           f.suspicion(), f.last_boards(), std::nullopt, false, 0};
        if (f.series()) {
            panel.board = f.series()->record();
            panel.done = f.series()->done();
            panel.silent_s = f.series()->silent_seconds(now);
        }
        s.panels.push_back(std::move(panel));
    }
    s.records_trouble = records_trouble_;
    s.hand_off_waiting = hand_off_ ? hand_off_->waiting() : 0;
    s.database_trouble = database_trouble_;
    s.database_waiting = database_waiting_;
    s.day = core_.yield().day();
    s.mine = core_.yield().station_row();
    s.line = core_.yield().tally().total;
    return s;
}

} // namespace korvastation
