// korvastation serve [options]: the fixtures served all day from a
// configuration file.
#ifndef KORVASTATION_SERVE_COMMAND_H
#define KORVASTATION_SERVE_COMMAND_H

#include <atomic>

#include "sim/support/result.h"
#include "station/serve/serve_config.h"

namespace korvastation {

struct ServeRequest {
    std::string config_path;
    std::string operator_name;  // given: it stands over the file's
    std::string on_attempt;     // given: it stands over the file's
    bool help = false;
};

korvasim::Result parse_serve_options(int argc, char** argv, ServeRequest* request);

// Serves until interrupts grows; 0, or 2 with a line on standard error
// when the command line or the configuration is wrong or records were lost.
int run_serve(int argc, char** argv, const std::atomic<int>& interrupts);

extern const char SERVE_USAGE[];

} // namespace korvastation

#endif
