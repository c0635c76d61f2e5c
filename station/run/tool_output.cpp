#include "station/run/tool_output.h"

#include "link/board_protocol.h"
#include "host/report_lines.h"

namespace korvastation {

namespace {

const char DOWNLOADING_PREFIX[] = "Downloading";

// The test whose announcement the line is ("Testing SRAM..."), or -1.
int announced_test(const std::string& line, size_t* end)
{
    for (int t = 0; t < BOARD_TEST_COUNT; ++t) {
        const std::string announcement = std::string("Testing ") + TEST_NAMES[t] + "...";
        if (line.compare(0, announcement.size(), announcement) == 0) {
            *end = announcement.size();
            return t;
        }
    }
    return NO_BOARD_TEST;
}

} // namespace

void ToolOutput::feed(const char* bytes, size_t length, std::vector<ToolOutputEvent>* events)
{
    for (size_t i = 0; i < length; ++i) {
        const char c = bytes[i];
        if (c == '\n') {
            line_ended(events);
            continue;
        }
        if (c == '\r') {
            line_.clear();
            start_told_ = false;
        } else if (c == '\b') {
            if (!line_.empty())
                line_.pop_back();
        } else {
            line_ += c;
        }
        line_changed(events);
    }
}

void ToolOutput::line_changed(std::vector<ToolOutputEvent>* events)
{
    if (!waiting_told_ && line_.find(WAKE_UP_MESSAGE) != std::string::npos) {
        waiting_told_ = true;
        events->push_back({ToolEvent::WAITING_FOR_BOARD});
    }
    if (!download_told_ && line_.compare(0, sizeof DOWNLOADING_PREFIX - 1, DOWNLOADING_PREFIX) == 0) {
        download_told_ = true;
        events->push_back({ToolEvent::DOWNLOADING});
    }
    size_t end = 0;
    const int test = announced_test(line_, &end);
    // A quiet run's announcement ends in a blank and waits for its verdict.
    if (test >= 0 && !start_told_ && line_.size() == end + 1 && line_[end] == ' ') {
        start_told_ = true;
        running_ = test;
        events->push_back({ToolEvent::TEST_STARTED, test});
    }
}

void ToolOutput::line_ended(std::vector<ToolOutputEvent>* events)
{
    size_t end = 0;
    const int announced = announced_test(line_, &end);
    const std::string rest = announced >= 0 ? line_.substr(end) : line_;
    if (announced >= 0 && rest.empty()) {
        // Verbose: the announcement has a line of its own.
        running_ = announced;
        events->push_back({ToolEvent::TEST_STARTED, announced});
    } else if (running_ >= 0 && (rest == REPORT_PASSED || rest == std::string(" ") + REPORT_PASSED ||
                                 rest == REPORT_FAILED || rest == std::string(" ") + REPORT_FAILED)) {
        const bool passed = rest.find(REPORT_PASSED) != std::string::npos;
        events->push_back({passed ? ToolEvent::TEST_PASSED : ToolEvent::TEST_FAILED, running_});
        running_ = -1;
    }
    line_.clear();
    start_told_ = false;
}

} // namespace korvastation
