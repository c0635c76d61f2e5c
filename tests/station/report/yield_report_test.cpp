// The yield report's forms from one set of figures: every CSV row has the
// header's columns, a board's history names its fixture and operator, an
// unexplained failure is ranked with its closest candidates, a long fault
// is shown whole, and the groups, retested boards and events asked for are
// in every form.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>

#include "station/report/yield_report.h"

namespace korvastation {
namespace {

StoredAttempt attempt(const std::string& label, const std::string& start, const std::string& verdict, int retest)
{
    StoredAttempt a;
    a.station = "A";
    a.label = label;
    a.port = "/dev/ttyUSB0";
    a.fixture = "F2";
    a.operator_name = "ann";
    a.verdict = verdict;
    a.retest = retest;
    a.start = start;
    return a;
}

YieldReport a_day()
{
    YieldReport r;
    r.groups = {BoardGroup::FIXTURE, BoardGroup::OPERATOR};
    r.yield.total = {"all", 3, 1, 2, 1, 1, 1};
    r.yield.by_fixture = {{"A F2", 3, 1, 2, 1, 1, 1}};
    r.yield.by_operator = {{"ann", 3, 1, 2, 1, 1, 1}};
    r.yield.by_day = {{"2026-12-05", 3, 1, 2, 1, 1, 1}};
    const std::string long_fault = "SRAM address line 5 stuck at 0 or SRAM address line 5 stuck at 1 or SRAM address "
                                   "lines 5 and 6 shorted";
    r.yield.faults = {{long_fault, 2, ""}, {UNEXPLAINED_FAULT, 1, "FLASH query 2 field B reads 2"}};
    StoredAttempt failed = attempt("KV2", "2026-12-05T08:00:00.000+01:00", "failed", 0);
    failed.diagnosis_note = "no single fault explains the log";
    failed.closest = "FLASH query 2 field B reads 2";
    const StoredAttempt passed = attempt("KV2", "2026-12-05T08:05:00.000+01:00", "passed", 1);
    r.retested_asked = true;
    r.retested = retested_boards({failed, attempt("KV1", "2026-12-05T08:01:00.000+01:00", "passed", 0), passed});
    r.events = {{"e1", "A", "2026-12-05T09:00:00.000+01:00", "fixture checked", "F2", "ann",
                 "its last boards all hung in FLASH"}};
    StoredAttempt after = attempt("KV2", "2026-12-05T10:00:00.000+01:00", "passed", 2);
    after.after_repair = "bench/repair/1";
    r.history = {failed, passed, after};
    r.repairs = {{"bench/repair/1", "rework", "2026-12-05T09:30:00.000+01:00", "KV2", "reflowed", "U7, R43",
                  "pin 12, lifted", "tess", "", ""}};
    return r;
}

TEST(YieldReport, EveryCsvRowHasTheHeadersColumns)
{
    std::istringstream lines(format_yield_report(a_day(), ReportFormat::CSV));
    std::string header;
    std::getline(lines, header);
    const auto columns = [](const std::string& line) {
        size_t n = 1;
        bool quoted = false;
        for (char c : line) {
            quoted = c == '"' ? !quoted : quoted;
            n += !quoted && c == ',';
        }
        return n;
    };
    std::vector<std::string> kinds;
    for (std::string line; std::getline(lines, line);) {
        EXPECT_EQ(columns(line), columns(header)) << line;
        kinds.push_back(line.substr(0, line.find(',')));
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"total", "fixture", "operator", "fault", "fault", "retested", "retested",
                                               "event", "attempt", "attempt", "attempt", "repair"}));
}

struct FormCase {
    const char* name;
    ReportFormat format;
    std::vector<std::string> parts;  // each somewhere in the form
};

void PrintTo(const FormCase& c, std::ostream* os)
{
    *os << c.name;
}

class YieldReportForm : public testing::TestWithParam<FormCase> {};

TEST_P(YieldReportForm, ShowsWhatWasAskedFor)
{
    const std::string text = format_yield_report(a_day(), GetParam().format);
    for (const std::string& part : GetParam().parts)
        EXPECT_NE(text.find(part), std::string::npos) << part << "\nin\n" << text;
    EXPECT_EQ(text.find("By day"), std::string::npos) << "day was not asked for";
}

INSTANTIATE_TEST_SUITE_P(
    Station, YieldReportForm,
    testing::Values(
        FormCase{"Table",
                 ReportFormat::TABLE,
                 {"fixture", "A F2", "operator", "hung",
                  "1  not explained by a single fault (closest: FLASH query 2 field B reads 2)", "retested boards",
                  "2026-12-05  KV2\n", "fixture F2, ann  retest 1: passed", "fixture checked F2 by ann",
                  "diagnosis: not explained by a single fault (closest: FLASH query 2 field B reads 2)",
                  "retest 2: passed after repair\n", "repairs\n  2026-12-05T09:30:00.000+01:00  rework  reflowed U7, R43 "
                  "by tess (pin 12, lifted)\n"}},
        FormCase{"Csv",
                 ReportFormat::CSV,
                 {"repair,\"KV2\",,,,,,,\"2026-12-05T09:30:00.000+01:00\",\"rework\",,,\"reflowed\",\"pin 12, lifted\","
                  "\"U7, R43\",,\"tess\"\n"}},
        FormCase{"Json",
                 ReportFormat::JSON,
                 {"\"fixture\": [", "\"operator\": [", "\"hung\": 1", "\"closest\": \"FLASH query 2 field B reads 2\"",
                  "\"retested\": [", "\"label\": \"KV2\"", "\"kind\": \"fixture checked\"", "\"unexplained\": true",
                  "\"after_repair\": \"bench/repair/1\"", "\"technician\": \"tess\""}},
        FormCase{"Html",
                 ReportFormat::HTML,
                 {"<h2>By fixture</h2>", "<h2>By operator</h2>", "<h2>Retested boards</h2>",
                  "<h2>What happened at the stations</h2>", "fixture F2, ann", "retest 2 after repair",
                  "<h2>Repairs of the board</h2>", "<td>reflowed U7, R43 by tess (pin 12, lifted)</td>",
                  // A long fault label whole, never cut under its bar.
                  "SRAM address line 5 stuck at 0 or SRAM address line 5 stuck at 1 or SRAM address lines 5 and 6 "
                  "shorted</td>"}}),
    [](const testing::TestParamInfo<FormCase>& info) { return std::string(info.param.name); });

TEST(YieldReport, ABoardsPageIsTheBoards)
{
    YieldReport board = a_day();
    board.board = "KV2";
    const std::string html = format_yield_report(board, ReportFormat::HTML);
    EXPECT_NE(html.find("<title>Board KV2</title>"), std::string::npos);
    EXPECT_EQ(html.find("Yield of the Korva line"), std::string::npos);
}

TEST(YieldReport, OnlyBoardsTestedMoreThanOnceADayAreRetested)
{
    const std::vector<RetestedBoard> retested = retested_boards(
        {attempt("KV1", "2026-12-05T08:00:00.000Z", "failed", 0), attempt("KV1", "2026-12-06T08:00:00.000Z", "passed", 0),
         attempt("KV3", "2026-12-06T09:00:00.000Z", "hung", 0), attempt("KV3", "2026-12-06T09:10:00.000Z", "passed", 1)});
    ASSERT_EQ(retested.size(), 1u);
    EXPECT_EQ(retested[0].day + " " + retested[0].label, "2026-12-06 KV3");
    EXPECT_EQ(retested[0].attempts.size(), 2u);
}

} // namespace
} // namespace korvastation
