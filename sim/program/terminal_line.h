// The line settings a host gave its end of a pseudo-terminal, as the
// simulated UART compares them with its own.
#ifndef KORVASIM_TERMINAL_LINE_H
#define KORVASIM_TERMINAL_LINE_H

#include "sim/board/serial_line.h"

namespace korvasim {

// The speed, data bits, parity and stop bits of terminal's settings.
LineSettings line_of(int terminal);

} // namespace korvasim

#endif
