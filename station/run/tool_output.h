// What a dudedoved process prints, read as it comes: the wake-up wait, the
// download, each test's start and verdict. The progress display's carriage
// returns and backspaces are applied as a terminal would.
#ifndef KORVASTATION_TOOL_OUTPUT_H
#define KORVASTATION_TOOL_OUTPUT_H

#include <string>
#include <vector>

#include "host/report_lines.h"

namespace korvastation {

enum class ToolEvent { WAITING_FOR_BOARD, DOWNLOADING, TEST_STARTED, TEST_PASSED, TEST_FAILED };

struct ToolOutputEvent {
    ToolEvent event;
    int test = NO_BOARD_TEST;  // a BoardTest, for the TEST_ events
};

class ToolOutput {
public:
    void feed(const char* bytes, size_t length, std::vector<ToolOutputEvent>* events);
    // The test that started and has no verdict yet, or NO_BOARD_TEST.
    int running_test() const { return running_; }

private:
    void line_changed(std::vector<ToolOutputEvent>* events);
    void line_ended(std::vector<ToolOutputEvent>* events);

    std::string line_;      // the console line as it stands
    bool waiting_told_ = false;
    bool download_told_ = false;
    bool start_told_ = false;  // of the test on this line
    int running_ = NO_BOARD_TEST;
};

} // namespace korvastation

#endif
