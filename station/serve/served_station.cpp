#include "station/serve/served_station.h"

#include <algorithm>

#include "station/run/record_text.h"
#include "station/run/user_messages.h"

namespace korvastation {

using korvasim::Result;

namespace {

const auto PUBLISH_EVERY = std::chrono::milliseconds(200);
// After a request to stop, the boards' dudedoved are given this long to
// end before they are killed, and the database as long again.
const auto STOP_WAIT = std::chrono::seconds(5);
// How often records that the disk did not take are tried again.
const auto RECORDS_RETRY = std::chrono::seconds(2);

} // namespace

ServedStation::ServedStation(ServeConfig config, FILE* terminal, int scans_fd, std::function<Clock::time_point()> clock)
    : config_(std::move(config)), core_(config_.settings, std::move(clock)), terminal_(terminal),
      events_(terminal, false, [] { return size_t(80); }), scans_(scans_fd),
      finals_([this](const AttemptRecord& a) { board_recorded(a); }),
      operator_(config_.operator_name)
{
    for (const std::string& action : config_.repair.actions)
        repairs_by_action_[action] = 0;
}

ServedStation::~ServedStation()
{
    if (page_)
        page_->stop();
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
    show_events(turn, fixtures);
    bool changed = turn.changed || unpublished_;
    // The boards that are done leave their verdicts before any scan of this
    // turn is read: a scan sent once the terminal told a verdict finds the
    // fixture free.
    for (size_t k : fixtures)
        if (fixtures_[k]->update()) {
            changed = true;
            for (const AttemptRecord& a : fixtures_[k]->series()->attempts())
                if (!a.golden)
                    day_boards_.add(a);
        }
    // A new day: the boards that passed yesterday are tested again without asking.
    day_boards_.start_day(core_.yield().day());
    answer_letters(turn.now);
    if (turn.inputs[1])
        read_scans();
    if (hand_off_)
        for (const std::string& why : hand_off_->check(turn.now))
            tell(why);
    changed = watch_database() || changed;
    changed = watch_routes(turn.now) || changed;
    changed = answer_histories(turn.now) || changed;
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

// The counts that cannot be written are told once; the fixtures go on
// counting, and the next write that works says so.
void ServedStation::watch_cycles()
{
    if (cycles_->trouble() == cycles_trouble_)
        return;
    cycles_trouble_ = cycles_->trouble();
    tell(cycles_trouble_.empty() ? "the fixtures' cycle counts are written again" : cycles_trouble_);
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
    answer_deferred(503, "the station is stopping");
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
        gauges.push_back({f->spec().name, fixture_state_label(f->state()), cycles_->count(f->spec().name)});
    core_.metrics()->set_waiting(static_cast<long>(database_waiting_), hand_off_ ? static_cast<long>(hand_off_->waiting()) : 0);
    core_.metrics()->set_repairs(repairs_by_action_, routes_.waiting());
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
        const long cycles = cycles_->count(f.spec().name);
        FixturePanel panel{f.spec().name,
                           f.spec().port,
                           f.state(),
                           selected.count(static_cast<int>(k)) > 0,
                           f.suspicion(),
                           f.last_boards(),
                           std::nullopt,
                           false,
                           0,
                           port_missing(f.spec().port),
                           cycles,
                           f.spec().max_cycles > 0 && cycles >= f.spec().max_cycles,
                           f.golden_due(std::chrono::system_clock::now()) ? f.spec().golden : ""};
        if (f.series()) {
            panel.board = f.series()->record();
            panel.done = f.series()->done();
            panel.silent_s = f.series()->silent_seconds(now);
        }
        s.panels.push_back(std::move(panel));
    }
    s.repair_actions = config_.repair.actions;
    s.require_repair = config_.repair.require_repair;
    s.repair_lookups = core_.has_database();
    s.waiting_for_repair = routes_.waiting();
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
