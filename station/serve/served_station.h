// A station that serves its fixtures all day: each fixture runs its own
// board from a scan to a verdict, every attempt is recorded as it ends,
// and the operator's page and terminal take the scans. It ends when asked
// to (SIGTERM, CTRL-C), recording the attempts in flight as stopped.
#ifndef KORVASTATION_SERVED_STATION_H
#define KORVASTATION_SERVED_STATION_H

#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "station/core/route_book.h"
#include "station/core/station_core.h"
#include "station/outputs/day_folder.h"
#include "station/outputs/display.h"
#include "station/outputs/hand_off.h"
#include "station/run/instance_lock.h"
#include "station/serve/action_mailbox.h"
#include "station/serve/day_boards.h"
#include "station/serve/fixture.h"
#include "station/serve/fixture_cycles.h"
#include "station/serve/operator_actions.h"
#include "station/serve/operator_view.h"
#include "station/serve/scan_desk.h"
#include "station/serve/serve_config.h"
#include "station/serve/terminal_scans.h"

namespace korvastation {

class ServedStation {
public:
    using Clock = std::chrono::steady_clock;

    // terminal: where events and messages go; scans_fd: the terminal's
    // scans (non-blocking), -1 for none; clock: the loop's.
    ServedStation(ServeConfig config, FILE* terminal, int scans_fd,
                  std::function<Clock::time_point()> clock = Clock::now);
    ~ServedStation();

    // Finds dudedoved, opens the database (and reads what the day held),
    // the records' folder and the page. A reason in one line when it
    // cannot: nothing was started then.
    korvasim::Result open();
    // Serves until interrupts grows: the first request stops the boards
    // under test, a second does not wait for them. The exit status.
    int run(const std::atomic<int>& interrupts);
    // One turn of run's loop; false once the station is through.
    bool turn(const std::atomic<int>& interrupts);
    // After the last turn: the records written, the exit status.
    int finish(const std::atomic<int>& interrupts);

    // An action as the page posts it (a terminal's scan is "scan").
    ActionReply act(const PageAction& action);
    // What the page shows now.
    OperatorSnapshot snapshot(Clock::time_point now) const;

private:
    void read_the_day();
    void golden_read_back(const StoredAttempt& a);
    void catch_up_database();
    korvasim::Result take_locks();
    korvasim::Result open_outputs();
    korvasim::Result open_page();
    void define_actions();
    void handle_stop(const std::atomic<int>& interrupts, Clock::time_point now);
    void answer_letters(Clock::time_point now);
    void read_scans();
    std::vector<std::shared_ptr<AttemptSeries>> boards_under_test(std::vector<size_t>* fixtures) const;
    void show_events(const StationCore::Turn& turn, const std::vector<size_t>& fixtures);
    bool watch_database();
    bool watch_records(Clock::time_point now);
    void watch_cycles();
    void publish(Clock::time_point now);

    ActionReply scan(const PageAction& action);
    ActionReply select(const PageAction& action);
    ActionReply set_operator(const PageAction& action);
    ActionReply confirm_fixture(const PageAction& action);
    ActionReply fixture_checked(size_t fixture);
    ActionReply maintenance_done(const PageAction& action);
    // What happened at the station, into the day folder and the database.
    void record_event(const std::string& kind, const std::string& fixture, const std::string& detail);
    // A board's final record, diagnosed: the fixture's health and the
    // terminal's words of what to do.
    void board_recorded(const AttemptRecord& attempt);
    ActionReply retest(const PageAction& action);
    ActionReply test_again(const PageAction& action);
    ActionReply refuse(const std::string& why, const std::string& detail = "");
    // inserted: a board put into the fixture, which counts against its
    // wear (a retest of the board left in it does not).
    ActionReply answer(const ScanAnswer& scanned, bool inserted = true);
    // A message for the operator; detail goes to the terminal alone.
    void say(const std::string& text, bool refused, const std::string& detail = "");
    // A word of the station's own (the database away, the records that
    // cannot be written) on its terminal, as its events are.
    void tell(const std::string& text);
    std::string busy(size_t fixture, const std::string& serial) const;
    ScanDesk::Busy busy_check() const;
    bool point_of(const PageAction& action, std::string* point) const;
    int fixture_named(const std::string& name) const;
    static bool port_missing(const std::string& port);

    // The repair bench and the route check (repair_bench.cpp).
    ActionReply repair_lookup(const PageAction& action);
    ActionReply record_repair(const PageAction& action);
    ActionReply override_route(const PageAction& action);
    // The letter being answered waits for label's history from the
    // database, and is answered when it comes.
    ActionReply defer(const PageAction& action, const std::string& label, Clock::time_point now);
    bool answer_histories(Clock::time_point now);
    ActionReply history_answered(const PageAction& action, const DatabaseWorker::BoardHistory& history);
    ActionReply repair_recorded(const PageAction& action, DatabaseWorker::BoardHistory history);
    // Every letter that waits for the database answered with why.
    void answer_deferred(int status, const std::string& why);
    void read_routes_at_start();
    bool watch_routes(Clock::time_point now);
    std::string route_refusal(const std::string& serial) const;
    std::string refused_serial(const std::string& serial) const;
    void answer_to(const PageAction& action);

    struct Deferred {
        PageAction action;
        std::promise<ActionReply> reply;
        Clock::time_point asked;
    };
    RouteBook routes_;
    Clock::time_point routes_asked_;
    mutable bool routes_wanted_ = false;  // a refusal asks for the line's routes again soon
    std::map<unsigned long, Deferred> deferred_;  // by the ticket of their history's question
    unsigned long tickets_ = 0;
    std::promise<ActionReply>* letter_ = nullptr;  // the page's letter being answered, while it is
    bool letter_deferred_ = false;
    unsigned long repairs_recorded_ = 0;
    std::map<std::string, long> repairs_by_action_;

    ServeConfig config_;
    InstanceLocks locks_;
    StationCore core_;
    FILE* terminal_;
    Display events_;
    TerminalScans scans_;
    std::unique_ptr<DayFolder> days_;
    std::unique_ptr<HandOff> hand_off_;
    DayBoards day_boards_;
    CallbackSink finals_;
    unsigned long events_recorded_ = 0;
    std::vector<std::unique_ptr<Fixture>> fixtures_;
    std::unique_ptr<FixtureCycles> cycles_;
    std::string cycles_trouble_;  // told once until the counts are written again
    std::unique_ptr<ScanDesk> desk_;
    ActionMailbox mailbox_;
    OperatorActions actions_;
    std::unique_ptr<PageServer> page_;
    std::string operator_;
    OperatorMessage message_;
    std::string message_point_;  // the scanning point the next message answers; "" for all
    bool stopping_ = false;
    int stops_sent_ = 0;
    Clock::time_point stop_asked_, published_;
    bool unpublished_ = false;  // a change the page has not shown yet
    std::string database_trouble_;  // why the database takes no records; empty while it does
    size_t database_waiting_ = 0;
    std::string records_trouble_;  // why the day's records cannot be written; empty while they can
    Clock::time_point records_tried_;
};

} // namespace korvastation

#endif
