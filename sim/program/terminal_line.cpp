#include "sim/program/terminal_line.h"

#include <termios.h>

namespace korvasim {

LineSettings line_of(int terminal)
{
    LineSettings line;
    termios t;
    if (tcgetattr(terminal, &t) != 0)
        return line;
    static const struct {
        speed_t code;
        unsigned baud;
    } speeds[] = {{B0, 0},         {B50, 50},       {B75, 75},         {B110, 110},
                  {B134, 134},     {B150, 150},     {B200, 200},       {B300, 300},
                  {B600, 600},     {B1200, 1200},   {B1800, 1800},     {B2400, 2400},
                  {B4800, 4800},   {B9600, 9600},   {B19200, 19200},   {B38400, 38400},
                  {B57600, 57600}, {B115200, 115200}, {B230400, 230400}, {B460800, 460800},
                  {B921600, 921600}};
    const speed_t speed = cfgetospeed(&t);
    line.baud = 0;
    for (const auto& s : speeds)
        if (s.code == speed)
            line.baud = s.baud;
    switch (t.c_cflag & CSIZE) {
    case CS5: line.data_bits = 5; break;
    case CS6: line.data_bits = 6; break;
    case CS7: line.data_bits = 7; break;
    default: line.data_bits = 8; break;
    }
    if (!(t.c_cflag & PARENB))
        line.parity = 'N';
    else if (t.c_cflag & CMSPAR)
        line.parity = (t.c_cflag & PARODD) ? 'M' : 'S';
    else
        line.parity = (t.c_cflag & PARODD) ? 'O' : 'E';
    line.stop_bits = (t.c_cflag & CSTOPB) ? 2 : 1;
    return line;
}

} // namespace korvasim
