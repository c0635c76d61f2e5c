// An s-expression as KiCad writes its files: lists in parentheses of atoms
// and quoted strings, each element with the line it starts on. No Debian
// library reads these from C++; this reader is small and refuses whatever
// is not one whole expression, naming the line and what it expected.
#ifndef KORVASTATION_S_EXPRESSION_H
#define KORVASTATION_S_EXPRESSION_H

#include <string>
#include <vector>

#include "sim/support/result.h"

namespace korvastation {

struct SExpression {
    bool list = false;
    std::string atom;  // an atom's or a quoted string's text, when not a list
    std::vector<SExpression> items;
    int line = 0;

    // A list's first atom: its keyword ("net", "node"); empty otherwise.
    const std::string& keyword() const;
    // The lists among its items with that keyword, in order.
    std::vector<const SExpression*> children(const std::string& keyword) const;
    // The text of the one (keyword "text") item: false if there is none,
    // or it is not a single atom or string.
    bool value(const std::string& keyword, std::string* text) const;
};

// Parses text whole: one list, then nothing but blanks. Messages start
// with "NAME:LINE: ". Lists nest at most MAX_DEPTH deep (a KiCad netlist
// needs five), so no input can exhaust the stack.
const int MAX_S_EXPRESSION_DEPTH = 64;
korvasim::Result parse_s_expression(const std::string& name, const std::string& text, SExpression* out);

} // namespace korvastation

#endif
