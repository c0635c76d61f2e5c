// korvastation report [options]: the program's second mode, the yield
// report of a line's records.
#ifndef KORVASTATION_REPORT_COMMAND_H
#define KORVASTATION_REPORT_COMMAND_H

namespace korvastation {

// Prints the report; 0, or 2 with one line on standard error when the
// command line or the records cannot be read.
int run_report(int argc, char** argv);

} // namespace korvastation

#endif
