// The --link symbolic link to a simulated board's pty.
#ifndef KORVASIM_PROGRAM_PTY_LINK_H
#define KORVASIM_PROGRAM_PTY_LINK_H

#include <string>

#include "sim/support/result.h"

namespace korvasim {

// Makes link lead to the pty. Only a missing path, a dangling link or a link
// to the pty of a simulator that is gone is replaced.
Result make_link(const std::string& link, const std::string& pty);

// Removes link only while it still leads to this simulator's pty.
void remove_link(const std::string& link, const std::string& pty);

} // namespace korvasim

#endif
