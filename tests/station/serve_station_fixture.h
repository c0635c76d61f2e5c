// A station serving fixtures, as its tests start it: a configuration file
// written for the boards given, the station as a process, its page's state
// and actions over HTTP. The bodies are in serve_station_fixture.cpp,
// compiled once.
#ifndef KORVA_TESTS_SERVE_STATION_FIXTURE_H
#define KORVA_TESTS_SERVE_STATION_FIXTURE_H

#include <nlohmann/json_fwd.hpp>

#include "tests/station/station_fixture.h"

struct FixtureSetup {
    std::string name;
    SimulatedBoard* board;  // powered through its pipe
    std::string power_pipe;
    std::string more = "";  // lines of its own [[fixture]] table
};

// What the page's server answered an action.
struct PageAnswer {
    int status = 0;  // 0: no answer
    std::string body;
};

class ServeProcess {
public:
    // more: lines added to the configuration's top ("# no power": no power
    // commands); shell: words a shell says before it starts the station
    // ("ulimit -f 4;").
    ServeProcess(const std::string& dir, const std::vector<FixtureSetup>& fixtures, const std::string& more = "",
                 std::vector<std::string> args = {}, std::string shell = "");

    void start(std::vector<std::string> args = {});
    Session& process() { return *process_; }
    const std::string& url() const { return url_; }
    const std::string& dir() const { return dir_; }

    // An action as the page posts it.
    PageAnswer post(const std::string& action, const std::vector<std::pair<std::string, std::string>>& fields,
                    const std::string& token = "");
    nlohmann::json state();
    // The panel of the fixture named, as the page has it now.
    nlohmann::json panel(const std::string& fixture);
    bool wait_panel(const std::string& fixture, const std::string& state);
    // The day's records, each attempt a line.
    std::vector<nlohmann::json> records() const;
    static std::string iso_day();

private:
    std::string dir_;
    std::string shell_;
    std::unique_ptr<Session> process_;
    std::string url_;
};

// A powered simulated board and its power pipe, for a fixture.
struct PoweredBoard {
    explicit PoweredBoard(const std::string& dir, const std::string& name, const std::string& fault = "")
        : pipe(dir + "/power-" + name), board(fault, pipe)
    {
    }
    std::string pipe;
    SimulatedBoard board;
    FixtureSetup fixture(const std::string& name) { return {name, &board, pipe}; }
};

#endif
