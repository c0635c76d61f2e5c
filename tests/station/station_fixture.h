// The station's tests' fixtures: simulated boards as korvasim processes, the
// station as a process with its records read back, a browser for its page.
#ifndef KORVA_TESTS_STATION_FIXTURE_H
#define KORVA_TESTS_STATION_FIXTURE_H

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <tinyxml2.h>
#include <vector>

#include "tests/support/session.h"

inline constexpr int STATION_TIMEOUT_MS = 100000;

// A simulated board as its own korvasim process.
class SimulatedBoard {
public:
    // With power_path, the board's power is switched through that pipe.
    explicit SimulatedBoard(const std::string& fault = "", const std::string& power_path = "")
    {
        std::vector<std::string> args;
        if (!fault.empty())
            args = {"--fault", fault};
        if (!power_path.empty())
            args.insert(args.end(), {"--power", power_path});
        sim_ = std::make_unique<Session>(KORVASIM_PATH, ChildOptions{args, {}, {}});
        EXPECT_TRUE(sim_->wait_stdout("\n", 5000)) << sim_->err();
        port_ = sim_->out().substr(0, sim_->out().find('\n'));
    }
    const std::string& port() const { return port_; }
    Session& process() { return *sim_; }

private:
    std::unique_ptr<Session> sim_;
    std::string port_;
};

class Station {
public:
    Station(std::vector<std::string> args) : dir_(make_temp_dir())
    {
        args.insert(args.begin(), {"--dudedoved", DUDEDOVED_PATH, "--log-dir", dir_ + "/logs", "--json",
                                   dir_ + "/records.json", "--junit", dir_ + "/report.xml"});
        station_ = std::make_unique<Session>(KORVASTATION_PATH, ChildOptions{args, {}, dir_});
    }

    int finish() { return station_->wait_exit(STATION_TIMEOUT_MS); }
    // A station with a page keeps it when its run is over, until stopped.
    bool wait_page_kept() { return station_->wait_until([&] { return station_->err().find(PAGE_KEPT) != std::string::npos; }, STATION_TIMEOUT_MS); }
    static constexpr const char* PAGE_KEPT = "korvastation: the run is over; its page stays at ";
    Session& process() { return *station_; }
    const std::string& dir() const { return dir_; }

    // The JSON records of a board's attempts, in order.
    std::vector<nlohmann::json> attempts(const std::string& label) const
    {
        std::vector<nlohmann::json> found;
        std::istringstream lines(read_file(dir_ + "/records.json"));
        for (std::string line; std::getline(lines, line);) {
            nlohmann::json record = nlohmann::json::parse(line);
            if (record["label"] == label)
                found.push_back(std::move(record));
        }
        return found;
    }

    // The JSON records by label (a board's last attempt).
    std::map<std::string, nlohmann::json> records() const
    {
        std::map<std::string, nlohmann::json> by_label;
        std::istringstream lines(read_file(dir_ + "/records.json"));
        for (std::string line; std::getline(lines, line);) {
            const nlohmann::json record = nlohmann::json::parse(line);
            by_label[record["label"]] = record;
        }
        return by_label;
    }

private:
    std::string dir_;
    std::unique_ptr<Session> station_;
};

// The JUnit report, read back as a dashboard would: per suite, its test
// cases' names with "F" (failure), "E" (error) or "P".
inline std::map<std::string, std::vector<std::string>> junit_cases(const std::string& path)
{
    tinyxml2::XMLDocument doc;
    EXPECT_EQ(doc.LoadFile(path.c_str()), tinyxml2::XML_SUCCESS) << path;
    std::map<std::string, std::vector<std::string>> suites;
    const tinyxml2::XMLElement* root = doc.FirstChildElement("testsuites");
    if (!root)
        return suites;
    for (auto* suite = root->FirstChildElement("testsuite"); suite; suite = suite->NextSiblingElement("testsuite")) {
        auto& cases = suites[suite->Attribute("name")];
        for (auto* c = suite->FirstChildElement("testcase"); c; c = c->NextSiblingElement("testcase")) {
            const char* kind = c->FirstChildElement("failure") ? "F" : c->FirstChildElement("error") ? "E" : "P";
            cases.push_back(std::string(c->Attribute("name")) + ":" + kind);
        }
    }
    return suites;
}

// Headless Chromium on a page of this machine: the DOM after its scripts
// ran, or a screenshot.
inline std::string browse(const std::string& url, const std::string& dir, const std::string& screenshot = "")
{
    std::vector<std::string> args = {"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                                      "--disable-background-networking", "--disable-component-update",
                                      "--disable-sync", "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1",
                                      "--user-data-dir=" + dir + "/profile"};
    if (screenshot.empty())
        args.push_back("--dump-dom");
    else
        args.insert(args.end(), {"--window-size=900,700", "--screenshot=" + screenshot});
    args.push_back(url);
    Session browser(CHROMIUM_PATH, ChildOptions{args, {}, dir});
    EXPECT_EQ(browser.wait_exit(60000), 0) << browser.err();
    return browser.out();
}

// With KORVA_SCREENSHOTS set, a screenshot of the page is kept there (the
// documentation's pictures come from these tests).
inline void keep_screenshot(const std::string& url, const std::string& dir, const std::string& name)
{
    const char* folder = getenv("KORVA_SCREENSHOTS");
    if (folder && *folder)
        browse(url, dir, std::string(folder) + "/" + name);
}

// The station's power commands for boards whose {switch} is korvasim's power pipe.
inline std::vector<std::string> power_by_pipe(std::vector<std::string> more)
{
    std::vector<std::string> args = {"--power-shell", "--power-on", "echo on > {switch}", "--power-off",
                                     "echo off > {switch}", "--power-cycle-wait", "0.2"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

#endif
