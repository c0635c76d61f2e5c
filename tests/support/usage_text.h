// dudedoved's usage text, byte for byte, as the tests expect it.
#ifndef KORVA_USAGE_TEXT_H
#define KORVA_USAGE_TEXT_H

#include <string>

const std::string DUDEDOVED_USAGE =
    "Usage: dudedoved [-c] [-h] [-l <logfile>] [-p <port>] [-v] [sdram|flash|sram]\n"
    "\n"
    "Tests basic components (SDRAM, FLASH and SRAM) of a Korva unit.\n"
    "If no test is specified all tests are run in sequence.\n"
    "\n"
    "  -c            Run test(s) continuously (CTRL-C to stop).\n"
    "\n"
    "  -h            Print this usage message.\n"
    "\n"
    "  -l            Log test(s) results to <logfile>.\n"
    "\n"
    "  -p <port>     Use the specified serial port (default is \"1\").  Valid\n"
    "                values are 1 (COM1), 2 (COM2), etc.\n"
    "\n"
    "  -v            Run test(s) in verbose mode.\n"
    "\n";

#endif
