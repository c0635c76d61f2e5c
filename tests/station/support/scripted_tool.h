// A scripted dudedoved for the station's unit tests: each port plays the
// plan written for its last word (a port may be a path in the test's
// folder, a name no other test uses), one line per run of the tool (the last line again
// once they are used up), so that an orchestrator is tested in
// milliseconds on the test's own clock.
//
// Plans: "pass"; "fail TEST"; "hang TEST" (silent in TEST); "lost" (the
// port goes away after SDRAM); "absent" (the port cannot be opened);
// "nowake" (the board never wakes); "silent" (the tool says nothing);
// "burn TEST@N" (a burn-in whose TEST
// fails from pass N on; a pass every 10 ms until interrupted).
#ifndef KORVA_TESTS_SCRIPTED_TOOL_H
#define KORVA_TESTS_SCRIPTED_TOOL_H

#include <fstream>
#include <string>
#include <sys/stat.h>

#include "link/board_protocol.h"

class ScriptedTool {
public:
    explicit ScriptedTool(const std::string& dir) : dir_(dir)
    {
        mkdir((dir_ + "/plans").c_str(), 0755);
        std::ofstream(path()) << script();
        chmod(path().c_str(), 0755);
    }

    const std::string& dir() const { return dir_; }
    std::string path() const { return dir_ + "/dudedoved"; }
    // port's plan, a line per run.
    void plan(const std::string& port, const std::string& lines) const
    {
        std::ofstream(dir_ + "/plans/" + port) << lines << "\n";
    }
    // How often the tool was run for port.
    int runs(const std::string& port) const
    {
        std::ifstream in(dir_ + "/plans/" + port + ".runs");
        int n = 0;
        in >> n;
        return n;
    }

private:
    std::string script() const
    {
        const std::string plans = dir_ + "/plans";
        return std::string("#!/bin/sh\n"
                           "while [ $# -gt 0 ]; do case $1 in -p) port=$2; shift 2;; -l) log=$2; shift 2;;\n"
                           "  -c) burn=1; shift;; *) shift;; esac; done\n"
                           "plans=") + plans + "\n"
               "name=$(basename \"$port\")\n"
               "n=$(cat \"$plans/$name.runs\" 2>/dev/null || echo 0); n=$((n + 1)); echo $n > \"$plans/$name.runs\"\n"
               "plan=$(sed -n \"${n}p\" \"$plans/$name\"); [ -n \"$plan\" ] || plan=$(tail -n 1 \"$plans/$name\")\n"
               "set -- $plan\n"
               "if [ \"$1\" = absent ]; then echo \"Could not open serial port $port: No such file or directory\" >&2;"
               " exit 1; fi\n"
               ": > \"$log\"\n"
               "[ \"$1\" = silent ] && exec sleep 60\n"
               "echo '" + WAKE_UP_MESSAGE + "'\n"
               "[ \"$1\" = nowake ] && exec sleep 60\n"
               "echo 'Downloading boot code... done'\n"
               "pass=0\n"
               "one_pass() {\n"
               "  pass=$((pass + 1)); failed=\n"
               "  for t in SDRAM FLASH SRAM; do\n"
               "    if [ \"$1\" = hang ] && [ $t = \"$2\" ]; then printf 'Testing %s... ' $t; exec sleep 60; fi\n"
               "    if [ \"$1\" = lost ] && [ $t = FLASH ]; then\n"
               "      echo \"Lost serial port $port (Input/output error)\" >&2; exit 1; fi\n"
               "    verdict=passed\n"
               "    [ \"$1\" = fail ] && [ $t = \"$2\" ] && verdict=failed\n"
               "    if [ \"$1\" = burn ] && [ $t = \"${2%@*}\" ] && [ $pass -ge \"${2#*@}\" ]; then verdict=failed; fi\n"
               "    [ $verdict = failed ] && failed=1\n"
               "    echo \"Testing $t... $verdict\"; echo \"Testing $t... $verdict\" >> \"$log\"\n"
               "  done\n"
               "}\n"
               "if [ -n \"$burn\" ]; then trap 'exit 0' INT; while :; do one_pass $plan; sleep 0.01; done; fi\n"
               "one_pass $plan\n"
               "[ -z \"$failed\" ]\n";
    }

    std::string dir_;
};

#endif
