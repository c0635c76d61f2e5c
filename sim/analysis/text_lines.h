// A board's text as lines: line ends are CR LF on the wire and LF in logs,
// so carriage returns are dropped wherever they stand.
#ifndef KORVASIM_TEXT_LINES_H
#define KORVASIM_TEXT_LINES_H

#include <cstddef>
#include <string>
#include <vector>

namespace korvasim {

// The lines of a text one at a time, so that a long text of short lines
// costs no more than the text itself.
class TextLineReader {
public:
    explicit TextLineReader(const std::string& text) : text_(text) {}

    // The next line into *line; false after the last. A line end that ends
    // the text starts no line of its own.
    bool next(std::string* line)
    {
        if (at_ >= text_.size())
            return false;
        line->clear();
        while (at_ < text_.size() && text_[at_] != '\n') {
            if (text_[at_] != '\r')
                *line += text_[at_];
            ++at_;
        }
        ++at_;
        ++number_;
        return true;
    }

    // The number of the line last read, from 1.
    size_t number() const { return number_; }

private:
    const std::string& text_;
    size_t at_ = 0;
    size_t number_ = 0;
};

inline std::vector<std::string> text_lines(const std::string& text)
{
    std::vector<std::string> lines;
    TextLineReader reader(text);
    for (std::string line; reader.next(&line);)
        lines.push_back(line);
    return lines;
}

} // namespace korvasim

#endif
