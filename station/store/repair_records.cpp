// The repairs recorded at repair benches: each written once by its
// identity, and read back by day, bench and board.
#include "station/run/record_text.h"
#include "station/store/sql_result_store.h"

namespace korvastation {

using korvasim::Result;

const char REPAIR_SCRAPPED[] = "scrapped";
const char REPAIR_NO_FAULT_FOUND[] = "no fault found";

Result SqlResultStore::add_repair(const StoredRepair& r)
{
    return write([&] {
        return db_->run("INSERT INTO repairs (repair_key, station, at, label, action, components, note, technician,"
                        " failed_attempt, diagnosis) VALUES (NULLIF($1, ''), $2, $3, $4, $5, $6, $7, $8, $9, $10)"
                        " ON CONFLICT (repair_key) DO NOTHING",
                        {record_text(r.id), record_text(r.station), r.at, record_text(r.label), record_text(r.action),
                         record_text(r.components), record_text(r.note), record_text(r.technician),
                         record_text(r.failed_attempt), record_text(r.diagnosis)},
                        nullptr);
    });
}

Result SqlResultStore::load_repairs(const StoreFilter& f, std::vector<StoredRepair>* repairs)
{
    std::vector<std::string> params;
    std::string conditions = conditions_of(f, "", &params);
    // A repair's time stands where an attempt's start does.
    for (size_t at; (at = conditions.find("started")) != std::string::npos;)
        conditions.replace(at, 7, "at");
    SqlRows rows;
    if (const Result r = db_->run("SELECT coalesce(repair_key, ''), station, at, label, action, components, note,"
                                  " technician, failed_attempt, diagnosis FROM repairs" +
                                      (conditions.empty() ? "" : " WHERE " + conditions) + " ORDER BY at, id",
                                  params, &rows);
        !r)
        return r;
    for (const auto& row : rows)
        repairs->push_back({row[0], row[1], row[2], row[3], row[4], row[5], row[6], row[7], row[8], row[9]});
    return Result::ok();
}

} // namespace korvastation
