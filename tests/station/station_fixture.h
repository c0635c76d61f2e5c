// The station's tests' fixtures: simulated boards as korvasim processes, the
// station as a process with its records read back, a browser for its page.
// The bodies are in station_fixture.cpp: compiled once, not in every test
// file (the JSON and XML libraries' templates cost seconds each time).
#ifndef KORVA_TESTS_STATION_FIXTURE_H
#define KORVA_TESTS_STATION_FIXTURE_H

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <string>
#include <vector>

#include "tests/support/session.h"

inline constexpr int STATION_TIMEOUT_MS = 100000;

// A simulated board as its own korvasim process.
class SimulatedBoard {
public:
    // With power_path, the board's power is switched through that pipe.
    explicit SimulatedBoard(const std::string& fault = "", const std::string& power_path = "");
    const std::string& port() const { return port_; }
    Session& process() { return *sim_; }

private:
    std::unique_ptr<Session> sim_;
    std::string port_;
};

class Station {
public:
    explicit Station(std::vector<std::string> args);

    int finish() { return station_->wait_exit(STATION_TIMEOUT_MS); }
    // A station with a page keeps it when its run is over, until stopped.
    bool wait_page_kept();
    static constexpr const char* PAGE_KEPT = "korvastation: the run is over; its page stays at ";
    Session& process() { return *station_; }
    const std::string& dir() const { return dir_; }

    // The JSON records of a board's attempts, in order.
    std::vector<nlohmann::json> attempts(const std::string& label) const;
    // The JSON records by label (a board's last attempt).
    std::map<std::string, nlohmann::json> records() const;

private:
    std::string dir_;
    std::unique_ptr<Session> station_;
};

// The JUnit report, read back as a dashboard would: per suite, its test
// cases' names with "F" (failure), "E" (error) or "P".
std::map<std::string, std::vector<std::string>> junit_cases(const std::string& path);

// Headless Chromium on a page of this machine: the DOM after its scripts
// ran, or a screenshot.
std::string browse(const std::string& url, const std::string& dir, const std::string& screenshot = "");

// With KORVA_SCREENSHOTS set, a screenshot of the page is kept there (the
// documentation's pictures come from these tests).
void keep_screenshot(const std::string& url, const std::string& dir, const std::string& name);

// The station's power commands for boards whose {switch} is korvasim's power pipe.
std::vector<std::string> power_by_pipe(std::vector<std::string> more);

#endif
