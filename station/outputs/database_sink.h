// The database as one of the station's outputs: each attempt is written on
// the database's own thread, so that a slow or silent server holds up no
// board; at the end the station waits for what is queued.
#ifndef KORVASTATION_DATABASE_SINK_H
#define KORVASTATION_DATABASE_SINK_H

#include <memory>
#include <string>

#include "station/outputs/attempt_sink.h"
#include "station/store/database_worker.h"

namespace korvastation {

class DatabaseSink : public AttemptSink {
public:
    // run: the station run's identity in the records; refused: what
    // becomes of a write the database refuses.
    DatabaseSink(std::unique_ptr<ResultStore> store, DatabaseWorker::Refused refused, std::string station,
                 std::string run);

    void take(const AttemptRecord& attempt) override;
    // Waits for the queued attempts; those that could not be written are
    // counted by missing().
    korvasim::Result finish(const std::function<bool()>& keep_waiting) override;

    size_t missing() const { return worker_.missing(); }
    std::string first_failure() const { return worker_.first_failure(); }
    DatabaseWorker& worker() { return worker_; }

private:
    DatabaseWorker worker_;
    std::string station_, run_;
};

} // namespace korvastation

#endif
