// The command line: options, the optional test name, the usage text.
#ifndef DUDEDOVED_COMMAND_LINE_H
#define DUDEDOVED_COMMAND_LINE_H

struct run_settings {
    int port;               // -p N
    const char* device;     // -p with a device name, else null
    bool verbose;           // -v
    bool continuous;        // -c
    bool run_sdram;
    bool run_flash;
    bool run_sram;
};

void print_usage();

// Parses the command line into settings, opening the log file of -l on the
// way. Returns -1 to go on with the run, or the exit status to end with.
int parse_command_line(int argc, char** argv, run_settings* settings);

#endif
