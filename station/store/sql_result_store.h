// The result store over one SQL connection, for SQLite and PostgreSQL
// alike: the same statements, $N parameters, types both know, flags as
// integers. Its schema, its records and its counts each have a file.
#ifndef KORVASTATION_SQL_RESULT_STORE_H
#define KORVASTATION_SQL_RESULT_STORE_H

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "station/store/result_store.h"
#include "station/store/sql_connection.h"

namespace korvastation {

class SqlResultStore : public ResultStore {
public:
    explicit SqlResultStore(std::unique_ptr<SqlConnection> db) : db_(std::move(db)) {}

    // Brings the schema up to this program's version, one step at a time,
    // while no other station writes. id_type: the database's own
    // auto-numbered key.
    korvasim::Result upgrade(const std::string& id_type);
    // Every table of the schema answers: a file whose tables were dropped
    // or renamed is found before a run, not at its first record.
    korvasim::Result check_tables();

    korvasim::Result add(const StoredAttempt& attempt) override;
    korvasim::Result add_event(const StationEvent& event) override;
    korvasim::Result load(const StoreFilter& filter, std::vector<StoredAttempt>* attempts) override;
    korvasim::Result load_events(const StoreFilter& filter, std::vector<StationEvent>* events) override;
    korvasim::Result add_repair(const StoredRepair& repair) override;
    korvasim::Result load_repairs(const StoreFilter& filter, std::vector<StoredRepair>* repairs) override;
    korvasim::Result load_routes(std::vector<BoardRoute>* routes) override;
    korvasim::Result count_boards(const StoreFilter& filter, BoardGroup group, std::vector<YieldRow>* rows) override;
    korvasim::Result count_tests(const StoreFilter& filter, std::vector<YieldRow>* rows) override;
    korvasim::Result count_faults(const StoreFilter& filter, std::vector<FaultRow>* faults) override;
    korvasim::Result stored_ids(const StoreFilter& filter, std::set<std::string>* ids) override;
    std::string take_notice() override;

private:
    korvasim::Result upgrade_in_transaction(const std::string& id_type);
    korvasim::Result add_in_transaction(const StoredAttempt& attempt);
    // Runs write in one transaction that holds off every other writer; a
    // server restarted, or one that did not answer, is given one more
    // connection before the write counts as failed.
    korvasim::Result write(const std::function<korvasim::Result()>& statements);
    korvasim::Result finish(const korvasim::Result& done);
    korvasim::Result closest_of_unexplained(const StoreFilter& filter, std::string* closest);

    std::unique_ptr<SqlConnection> db_;
    std::string id_type_;
    std::string notice_;
};

// The filter's conditions on the attempts' columns (prefix names their
// table), joined by AND; empty when it takes everything.
std::string conditions_of(const StoreFilter& filter, const std::string& prefix, std::vector<std::string>* params);

} // namespace korvastation

#endif
