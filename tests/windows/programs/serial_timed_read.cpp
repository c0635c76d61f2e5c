// Drives the Win32 port layer's timed reads for the tests under Wine:
//   serial_timed_read PORT
// Opens PORT, then reads with a 50 ms time-out (flag given, then none) and
// with a 3 s time-out, printing what each read returned.
#include <cstdio>

#include "link/serial_port.h"

int main(int argc, char** argv)
{
    if (argc != 2 || !serial_open_device(argv[1]) || !serial_configure(115200))
        return 2;
    int error = -1;
    int byte = static_cast<unsigned char>(serial_get(50, &error));
    printf("short: byte %d flag %d\n", byte, error);
    byte = static_cast<unsigned char>(serial_get(50, nullptr));
    printf("short, no flag: byte %d\n", byte);
    byte = static_cast<unsigned char>(serial_get(3000, &error));
    printf("long: byte %d flag %d\n", byte, error);
    serial_close();
    return 0;
}
