// A station serving fixtures, as its tests start it: a configuration file
// written for the boards given, the station as a process, its page's state
// and actions over HTTP.
#ifndef KORVA_TESTS_SERVE_STATION_FIXTURE_H
#define KORVA_TESTS_SERVE_STATION_FIXTURE_H

#include <fstream>
#include <httplib.h>

#include "tests/station/station_fixture.h"

struct FixtureSetup {
    std::string name;
    SimulatedBoard* board;  // powered through its pipe
    std::string power_pipe;
};

class ServeProcess {
public:
    // more: lines added to the configuration's top.
    ServeProcess(const std::string& dir, const std::vector<FixtureSetup>& fixtures, const std::string& more = "",
                  std::vector<std::string> args = {})
        : dir_(dir)
    {
        std::ofstream config(dir + "/station.toml");
        config << "station = \"bench1\"\ndatabase = \"" << dir << "/results.db\"\nrecords = \"" << dir
               << "/records\"\ndudedoved = \"" << DUDEDOVED_PATH << "\"\nwake_timeout = 60\n";
        if (more.find("http =") == std::string::npos)
            config << "http = \"127.0.0.1:0\"\n";
        config << more << "\n[power]\non = \"echo on > {switch}\"\noff = \"echo off > {switch}\"\nshell = true\n"
               << "cycle_wait = 0.2\n\n[advice]\npassed = \"green tray\"\nfailed = \"red tray\"\n";
        for (const FixtureSetup& f : fixtures)
            config << "\n[[fixture]]\nname = \"" << f.name << "\"\nport = \"" << (f.board ? f.board->port() : "/nonexistent")
                   << "\"\nswitch = \"" << (f.power_pipe.empty() ? "/dev/null" : f.power_pipe) << "\"\n";
        config.close();
        start(std::move(args));
    }

    void start(std::vector<std::string> args = {})
    {
        args.insert(args.begin(), {"serve", "--config", dir_ + "/station.toml"});
        process_ = std::make_unique<Session>(KORVASTATION_PATH, ChildOptions{args, {}, dir_});
        EXPECT_TRUE(process_->wait_until([&] { return process_->err().find("serving until stopped") != std::string::npos || process_->exited(); },
                                         STATION_TIMEOUT_MS))
            << process_->err();
        const std::string mark = "page at ";
        const size_t at = process_->err().find(mark);
        if (at != std::string::npos) {
            url_ = process_->err().substr(at + mark.size());
            url_ = url_.substr(0, url_.find('\n'));
        }
    }

    Session& process() { return *process_; }
    const std::string& url() const { return url_; }
    const std::string& dir() const { return dir_; }

    // An action as the page posts it.
    httplib::Result post(const std::string& action, const httplib::Params& fields, const std::string& token = "")
    {
        httplib::Client client(url_.substr(0, url_.size() - 1));
        httplib::Headers headers = {{"X-Korva-Action", "1"}};
        if (!token.empty())
            headers.emplace("X-Korva-Token", token);
        return client.Post("/action/" + action, headers, fields);
    }

    nlohmann::json state()
    {
        httplib::Client client(url_.substr(0, url_.size() - 1));
        const auto r = client.Get("/state");
        return r ? nlohmann::json::parse(r->body, nullptr, false) : nlohmann::json();
    }

    // The panel of the fixture named, as the page has it now.
    nlohmann::json panel(const std::string& fixture)
    {
        const nlohmann::json s = state();
        if (s.is_object() && s.contains("fixtures"))
            for (const auto& p : s.at("fixtures"))
                if (p.value("name", "") == fixture)
                    return p;
        return nlohmann::json::object();
    }

    bool wait_panel(const std::string& fixture, const std::string& state)
    {
        return process_->wait_until([&] { return panel(fixture).value("state", "") == state; }, STATION_TIMEOUT_MS);
    }

    // The day's records, each attempt a line.
    std::vector<nlohmann::json> records() const
    {
        std::vector<nlohmann::json> found;
        const std::string day = iso_day();
        std::istringstream lines(read_file(dir_ + "/records/" + day + "/attempts.jsonl"));
        for (std::string line; std::getline(lines, line);)
            found.push_back(nlohmann::json::parse(line));
        return found;
    }

    static std::string iso_day()
    {
        const time_t now = time(nullptr);
        char day[16];
        strftime(day, sizeof day, "%Y-%m-%d", gmtime(&now));
        return day;
    }

private:
    std::string dir_;
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
