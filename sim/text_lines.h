// A board's text as lines: line ends are CR LF on the wire and LF in logs,
// so carriage returns are dropped wherever they stand.
#ifndef KORVASIM_TEXT_LINES_H
#define KORVASIM_TEXT_LINES_H

#include <string>
#include <vector>

namespace korvasim {

inline std::vector<std::string> text_lines(const std::string& text)
{
    std::vector<std::string> lines(1);
    for (char c : text) {
        if (c == '\n')
            lines.emplace_back();
        else if (c != '\r')
            lines.back() += c;
    }
    if (lines.back().empty())
        lines.pop_back();
    return lines;
}

} // namespace korvasim

#endif
