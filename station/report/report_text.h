// What every form of the report words alike: a share, a diagnosis, where a
// board was tested, a group's name.
#ifndef KORVASTATION_REPORT_TEXT_H
#define KORVASTATION_REPORT_TEXT_H

#include <string>
#include <vector>

#include "station/report/yield_report.h"
#include "station/run/attempt_record.h"

namespace korvastation {

std::string percent(long part, long whole);
// A CSV field, quoted, its quotes doubled.
std::string csv_field(const std::string& text);
// An attempt's diagnosis as one text: an ambiguous one names its
// candidates together, since the board has only one of them; a failure
// that none explains says so, with its closest candidate.
std::string report_diagnosis(const StoredAttempt& a);
// Where a board was: a fixture and who put it there, or a batch's port.
std::string where_tested(const StoredAttempt& a);
// "retest 2" or "first"; "... after repair" for the attempt a repair came before.
std::string attempt_name(const StoredAttempt& a);
const char* group_name(BoardGroup group);
const std::vector<YieldRow>& rows_of(const YieldTally& tally, BoardGroup group);

// The groups as the forms list them: the total, the asked groups, the tests.
std::vector<std::pair<std::string, std::vector<YieldRow>>> yield_groups(const YieldReport& report);

std::string table_report(const YieldReport& report);
std::string csv_report(const YieldReport& report);
std::string json_report(const YieldReport& report);
std::string html_report(const YieldReport& report);

} // namespace korvastation

#endif
