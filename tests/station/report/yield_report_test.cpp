// The yield report's forms: the CSV holds the faults and a board's
// attempts, a board's HTML page is that board's.
#include <gtest/gtest.h>

#include "station/report/yield_report.h"

namespace korvastation {
namespace {

TEST(YieldReport, TheCsvHoldsTheFaultsAndABoardsPageIsTheBoards)
{
    YieldReport board;
    board.board = "H0";
    board.yield.faults = {{"hung in FLASH", 1}};
    StoredAttempt hung;
    hung.station = "A";
    hung.label = "H0";
    hung.port = "/dev/ttyUSB0";
    hung.verdict = "hung";
    hung.hung_in = "FLASH";
    hung.start = "2026-12-05T08:00:00.000Z";
    board.history = {hung};
    const std::string csv = format_yield_report(board, ReportFormat::CSV);
    EXPECT_NE(csv.find("fault,\"hung in FLASH\",1,"), std::string::npos) << csv;
    EXPECT_NE(csv.find("attempt,\"H0\",,,,,,\"2026-12-05T08:00:00.000Z\",\"A\",\"/dev/ttyUSB0\",0,\"hung\","),
              std::string::npos) << csv;
    const std::string html = format_yield_report(board, ReportFormat::HTML);
    EXPECT_NE(html.find("<title>Board H0</title>"), std::string::npos);
    EXPECT_EQ(html.find("Yield of the Korva line"), std::string::npos);
}

} // namespace
} // namespace korvastation
