// The database off the loop that reads the boards: attempts and events are
// written and the line's yield is read on a thread of their own, so that a
// slow or silent server never holds a board, a page or a signal.
#ifndef KORVASTATION_DATABASE_WORKER_H
#define KORVASTATION_DATABASE_WORKER_H

#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "station/store/result_store.h"

namespace korvastation {

class DatabaseWorker {
public:
    // What becomes of a write the database refused.
    enum class Refused {
        COUNTED,  // counted as missing: a batch's record files keep it
        RETRIED,  // tried again, in order, after a growing pause, until the
                  // database takes it: a served station's day folder keeps
                  // it meanwhile
    };

    DatabaseWorker(std::unique_ptr<ResultStore> store, Refused refused);
    // Waits for the statement under way, which is bounded; what is still
    // queued is not written (drain first). After an abandoned drain the
    // thread is left to the process's end.
    ~DatabaseWorker();
    DatabaseWorker(const DatabaseWorker&) = delete;
    DatabaseWorker& operator=(const DatabaseWorker&) = delete;

    void add(StoredAttempt attempt);
    void add(StationEvent event);
    void add(StoredRepair repair);
    // Adds those of the attempts (a station's own records of earlier) that
    // the database does not hold yet, in their order.
    void catch_up(std::vector<StoredAttempt> attempts);
    // Asks for the yield of these boards (count_day); the answer comes by
    // take_yield.
    void ask_yield(const StoreFilter& boards);
    // The latest answer, once; nothing while none came (or it failed).
    std::optional<YieldTally> take_yield();

    // Asks for the routes of the line's boards (load_routes), read once
    // every write queued before it was made; the answer comes by
    // take_routes with the ticket it was asked with.
    void ask_routes(unsigned long ticket);
    std::optional<std::pair<std::vector<BoardRoute>, unsigned long>> take_routes();

    // A board's history across the line: its attempts and repairs.
    struct BoardHistory {
        unsigned long ticket = 0;
        korvasim::Result read = korvasim::Result::ok();
        std::vector<StoredAttempt> attempts;
        std::vector<StoredRepair> repairs;
    };
    // Asks for label's history, read once the writes queued before it were
    // made; its answer comes by take_histories with ticket.
    void ask_history(unsigned long ticket, const std::string& label);
    std::vector<BoardHistory> take_histories();

    // Waits until every queued write was tried, while keep_waiting()
    // (asked every 100 ms) says to. False when it gave up first.
    bool drain(const std::function<bool()>& keep_waiting);

    // Writes that wait because the database refused the first of them, and
    // why it did; empty while it takes them.
    size_t waiting() const;
    std::string trouble() const;
    // Writes that were not made, and the first reason.
    size_t missing() const;
    std::string first_failure() const;
    // What happened to the database that the station tells, since the
    // last call.
    std::vector<std::string> take_notices();

    static constexpr double LONGEST_PAUSE_S = 30;

private:
    struct Shared;
    static void work(const std::shared_ptr<Shared>& shared);
    static void read(Shared& shared, std::unique_lock<std::mutex>& lock);

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
    bool abandoned_ = false;
};

} // namespace korvastation

#endif
