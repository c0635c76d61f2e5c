#include "tests/station/serve_station_fixture.h"

#include <ctime>
#include <fstream>
#include <httplib.h>
#include <nlohmann/json.hpp>
#include <sstream>

ServeProcess::ServeProcess(const std::string& dir, const std::vector<FixtureSetup>& fixtures, const std::string& more,
                           std::vector<std::string> args, std::string shell)
    : dir_(dir), shell_(std::move(shell))
{
    std::ofstream config(dir + "/station.toml");
    if (more.find("station =") == std::string::npos)
        config << "station = \"bench1\"\n";
    config << "records = \"" << dir << "/records\"\nwake_timeout = 60\n";
    if (more.find("dudedoved =") == std::string::npos)
        config << "dudedoved = \"" << DUDEDOVED_PATH << "\"\n";
    if (more.find("database =") == std::string::npos)
        config << "database = \"" << dir << "/results.db\"\n";
    if (more.find("http =") == std::string::npos)
        config << "http = \"127.0.0.1:0\"\n";
    config << more << "\n";
    // "# no power" in more: boards the station does not switch.
    if (more.find("# no power") == std::string::npos)
        config << "[power]\non = \"echo on > {switch}\"\noff = \"echo off > {switch}\"\nshell = true\n"
               << "cycle_wait = 0.2\n\n";
    config << "[advice]\npassed = \"green tray\"\nfailed = \"red tray\"\n";
    for (const FixtureSetup& f : fixtures) {
        config << "\n[[fixture]]\nname = \"" << f.name << "\"\nport = \""
               << (f.board ? f.board->port() : dir + "/no-board-" + f.name) << "\"\n";
        if (more.find("# no power") == std::string::npos)
            config << "switch = \"" << (f.power_pipe.empty() ? "/dev/null" : f.power_pipe) << "\"\n";
        config << f.more;
    }
    config.close();
    start(std::move(args));
}

void ServeProcess::start(std::vector<std::string> args)
{
    args.insert(args.begin(), {"serve", "--config", dir_ + "/station.toml"});
    if (shell_.empty()) {
        process_ = std::make_unique<Session>(KORVASTATION_PATH, ChildOptions{args, {}, dir_});
    } else {
        std::string command = shell_ + " exec " + KORVASTATION_PATH;
        for (const std::string& arg : args)
            command += " '" + arg + "'";
        process_ = std::make_unique<Session>("/bin/sh", ChildOptions{{"-c", command}, {}, dir_});
    }
    EXPECT_TRUE(process_->wait_until(
        [&] { return process_->err().find("serving until stopped") != std::string::npos || process_->exited(); },
        STATION_TIMEOUT_MS))
        << process_->err();
    const std::string mark = "page at ";
    const size_t at = process_->err().find(mark);
    if (at != std::string::npos) {
        url_ = process_->err().substr(at + mark.size());
        url_ = url_.substr(0, url_.find_first_of("?\n"));
    }
}

PageAnswer ServeProcess::post(const std::string& action, const std::vector<std::pair<std::string, std::string>>& fields,
                              const std::string& token)
{
    httplib::Client client(url_.substr(0, url_.size() - 1));
    httplib::Headers headers = {{"X-Korva-Action", "1"}};
    if (!token.empty())
        headers.emplace("X-Korva-Token", token);
    httplib::Params params;
    for (const auto& [key, value] : fields)
        params.emplace(key, value);
    const auto r = client.Post("/action/" + action, headers, params);
    return r ? PageAnswer{r->status, r->body} : PageAnswer{};
}

nlohmann::json ServeProcess::state()
{
    httplib::Client client(url_.substr(0, url_.size() - 1));
    const auto r = client.Get("/state");
    return r ? nlohmann::json::parse(r->body, nullptr, false) : nlohmann::json();
}

nlohmann::json ServeProcess::panel(const std::string& fixture)
{
    const nlohmann::json s = state();
    if (s.is_object() && s.contains("fixtures"))
        for (const auto& p : s.at("fixtures"))
            if (p.value("name", "") == fixture)
                return p;
    return nlohmann::json::object();
}

bool ServeProcess::wait_panel(const std::string& fixture, const std::string& state)
{
    return process_->wait_until([&] { return panel(fixture).value("state", "") == state; }, STATION_TIMEOUT_MS);
}

std::vector<nlohmann::json> ServeProcess::records() const
{
    std::vector<nlohmann::json> found;
    std::istringstream lines(read_file(dir_ + "/records/" + iso_day() + "/attempts.jsonl"));
    for (std::string line; std::getline(lines, line);)
        found.push_back(nlohmann::json::parse(line));
    return found;
}

std::string ServeProcess::iso_day()
{
    const time_t now = time(nullptr);
    char day[16];
    tm local;
    localtime_r(&now, &local);
    strftime(day, sizeof day, "%Y-%m-%d", &local);
    return day;
}
