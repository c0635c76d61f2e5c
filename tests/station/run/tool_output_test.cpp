// dudedoved's output as the station reads it, whole or a byte at a time:
// quiet and verbose runs, progress redrawn with carriage returns and
// backspaces, and words that only look like a verdict.
#include <gtest/gtest.h>

#include "link/board_protocol.h"
#include "station/run/tool_output.h"

namespace korvastation {
namespace {

std::string events_of(const std::string& output, size_t chunk)
{
    ToolOutput parser;
    std::vector<ToolOutputEvent> events;
    for (size_t at = 0; at < output.size(); at += chunk)
        parser.feed(output.data() + at, std::min(chunk, output.size() - at), &events);
    const char* const names[] = {"wait", "download", "start", "passed", "failed"};
    std::string text;
    for (const ToolOutputEvent& e : events)
        text += std::string(text.empty() ? "" : ", ") + names[static_cast<int>(e.event)] +
                (e.test >= 0 ? std::string(" ") + TEST_NAMES[e.test] : "");
    return text;
}

struct OutputCase {
    const char* name;
    std::string output;
    std::string events;
};

void PrintTo(const OutputCase& c, std::ostream* os)
{
    *os << c.name;
}

class ToolOutputTest : public testing::TestWithParam<OutputCase> {};

TEST_P(ToolOutputTest, GivesTheEventsWhateverTheChunks)
{
    for (size_t chunk : {GetParam().output.size(), size_t{1}, size_t{7}})
        EXPECT_EQ(events_of(GetParam().output, std::max<size_t>(chunk, 1)), GetParam().events) << "chunks of " << chunk;
}

const std::string WAKE = std::string(WAKE_UP_MESSAGE) + "\n";

INSTANTIATE_TEST_SUITE_P(
    Station, ToolOutputTest,
    testing::Values(
        OutputCase{"QuietRun",
                   WAKE + "Downloading... 10%\rDownloading... 100%\nTesting SDRAM... passed\nTesting FLASH... failed\n"
                          "Testing SRAM... passed\n",
                   "wait, download, start SDRAM, passed SDRAM, start FLASH, failed FLASH, start SRAM, passed SRAM"},
        OutputCase{"AQuietTestStartsBeforeItsVerdict", WAKE + "Testing SDRAM... ", "wait, start SDRAM"},
        OutputCase{"VerboseReportBetweenAnnouncementAndVerdict",
                   "Testing SRAM...\nAddress 0x00000004: wrote 0x00000001, read 0x00000000\nfailed\n",
                   "start SRAM, failed SRAM"},
        OutputCase{"SpinnerDrawnWithBackspaces", "Testing FLASH... |\b/\b-\bpassed\n", "start FLASH, passed FLASH"},
        OutputCase{"AVerdictWithNoTestIsNone", "passed\nfailed\n", ""},
        OutputCase{"AVerdictInsideAReportLineIsNone", "Testing SDRAM...\nnothing passed\n", "start SDRAM"},
        OutputCase{"TheWaitIsToldOnce", WAKE + WAKE, "wait"}),
    [](const testing::TestParamInfo<OutputCase>& info) { return std::string(info.param.name); });

} // namespace
} // namespace korvastation
