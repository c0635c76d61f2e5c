// Text as it stands in an HTML page: a label or a fault name never markup.
#ifndef KORVASIM_SUPPORT_HTML_TEXT_H
#define KORVASIM_SUPPORT_HTML_TEXT_H

#include <string>

namespace korvasim {

inline std::string html_text(const std::string& text)
{
    std::string out;
    for (char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

} // namespace korvasim

#endif
