// The database off the loop that reads the boards: attempts are written and
// the line's yield is read on a thread of their own, so that a slow or
// silent server never holds a board, a page or a signal.
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
    explicit DatabaseWorker(std::unique_ptr<ResultStore> store);
    // Waits for the statement under way, which is bounded; what is still
    // queued is not written (drain first). After an abandoned drain the
    // thread is left to the process's end.
    ~DatabaseWorker();
    DatabaseWorker(const DatabaseWorker&) = delete;
    DatabaseWorker& operator=(const DatabaseWorker&) = delete;

    void add(StoredAttempt attempt);
    // Asks for the yield of these boards (count_day); the
    // answer comes by take_yield.
    void ask_yield(const StoreFilter& boards);
    // The latest answer, once; nothing while none came (or it failed).
    std::optional<YieldTally> take_yield();

    // Waits until every queued attempt was tried, while keep_waiting()
    // (asked every 100 ms) says to. False when it gave up first.
    bool drain(const std::function<bool()>& keep_waiting);

    // Attempts that could not be written, and the first reason.
    size_t missing() const;
    std::string first_failure() const;

private:
    struct Shared;
    static void work(const std::shared_ptr<Shared>& shared);

    std::shared_ptr<Shared> shared_;
    std::thread thread_;
    bool abandoned_ = false;
};

} // namespace korvastation

#endif
