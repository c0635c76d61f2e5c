// The scans that reach the station through its terminal, a line each, read
// a piece at a time and never waited for. A line longer than any scan is
// refused once, at its end, and dropped whole, so that its tail is never
// taken for a serial number.
#ifndef KORVASTATION_TERMINAL_SCANS_H
#define KORVASTATION_TERMINAL_SCANS_H

#include <string>
#include <vector>

namespace korvastation {

class TerminalScans {
public:
    struct Line {
        std::string text;
        size_t refused_length = 0;  // a line too long to be a scan: its length, and no text
    };

    // fd: the terminal, non-blocking; -1: none.
    explicit TerminalScans(int fd) : fd_(fd) {}
    // -1 once the terminal is gone (a service's is /dev/null).
    int fd() const { return fd_; }
    // The lines that are complete now.
    std::vector<Line> read();

    // A scanner's line is short; a terminal that sends an endless one is
    // not a scanner and is not held in memory.
    static const size_t LONGEST_LINE = 4096;

private:
    void take(const char* bytes, size_t length, std::vector<Line>* lines);

    int fd_;
    std::string partial_;
    bool dropping_ = false;  // inside a line too long to be a scan
    size_t dropped_ = 0;
};

} // namespace korvastation

#endif
