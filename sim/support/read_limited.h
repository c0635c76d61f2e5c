// Reading a file the user named, with a cap on its size.
#ifndef KORVASIM_READ_LIMITED_H
#define KORVASIM_READ_LIMITED_H

#include <cstddef>
#include <string>

#include "sim/support/result.h"

namespace korvasim {

// A verbose log of one run is far smaller.
const size_t LOG_LIMIT = 16 << 20;

// Reads at most limit + 1 bytes of path into *text, so that a file over the
// limit is told apart without reading all of it (or /dev/zero for ever).
// what names the file in the message ("cannot read log run.log: ...").
Result read_limited(const char* what, const std::string& path, size_t limit, std::string* text);

} // namespace korvasim

#endif
