#include "station/serve/terminal_scans.h"

#include <cerrno>
#include <unistd.h>

namespace korvastation {

std::vector<TerminalScans::Line> TerminalScans::read()
{
    std::vector<Line> lines;
    if (fd_ < 0)
        return lines;
    char buffer[4096];
    const ssize_t got = ::read(fd_, buffer, sizeof buffer);
    if (got > 0) {
        take(buffer, static_cast<size_t>(got), &lines);
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
        // The terminal is gone: what it left without a line end is a line too.
        if (dropping_)
            lines.push_back({"", dropped_ + partial_.size()});
        else if (!partial_.empty())
            lines.push_back({partial_, 0});
        partial_.clear();
        dropping_ = false;
        fd_ = -1;
    }
    return lines;
}

void TerminalScans::take(const char* bytes, size_t length, std::vector<Line>* lines)
{
    for (size_t i = 0; i < length; ++i) {
        if (bytes[i] == '\n') {
            if (dropping_)
                lines->push_back({"", dropped_});
            else
                lines->push_back({partial_, 0});
            partial_.clear();
            dropping_ = false;
            dropped_ = 0;
        } else if (dropping_) {
            ++dropped_;
        } else {
            partial_ += bytes[i];
            if (partial_.size() > LONGEST_LINE) {
                dropping_ = true;
                dropped_ = partial_.size();
                partial_.clear();
            }
        }
    }
}

} // namespace korvastation
