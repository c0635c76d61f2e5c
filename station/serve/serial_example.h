// A serial number an operator can be shown as an example of what a
// fixture takes, made from its pattern: an operator is never shown a
// regular expression. No library writes a string that a pattern matches,
// so this walks the common forms of one (literals, bracket expressions and
// classes, groups, alternatives, counted repetitions) itself; the caller
// checks the example against the pattern.
#ifndef KORVASTATION_SERIAL_EXAMPLE_H
#define KORVASTATION_SERIAL_EXAMPLE_H

#include <string>

namespace korvastation {

// An example the pattern should match; "" when its form is beyond this.
std::string example_of_pattern(const std::string& pattern);

} // namespace korvastation

#endif
