#include "tests/station/station_fixture.h"

#include <nlohmann/json.hpp>
#include <sstream>
#include <tinyxml2.h>

SimulatedBoard::SimulatedBoard(const std::string& fault, const std::string& power_path)
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

Station::Station(std::vector<std::string> args) : dir_(make_temp_dir())
{
    args.insert(args.begin(), {"--dudedoved", DUDEDOVED_PATH, "--log-dir", dir_ + "/logs", "--json",
                               dir_ + "/records.json", "--junit", dir_ + "/report.xml"});
    station_ = std::make_unique<Session>(KORVASTATION_PATH, ChildOptions{args, {}, dir_});
}

bool Station::wait_page_kept()
{
    return station_->wait_until([&] { return station_->err().find(PAGE_KEPT) != std::string::npos; },
                                STATION_TIMEOUT_MS);
}

std::vector<nlohmann::json> Station::attempts(const std::string& label) const
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

std::map<std::string, nlohmann::json> Station::records() const
{
    std::map<std::string, nlohmann::json> by_label;
    std::istringstream lines(read_file(dir_ + "/records.json"));
    for (std::string line; std::getline(lines, line);) {
        const nlohmann::json record = nlohmann::json::parse(line);
        by_label[record["label"]] = record;
    }
    return by_label;
}

std::map<std::string, std::vector<std::string>> junit_cases(const std::string& path)
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

std::string browse(const std::string& url, const std::string& dir, const std::string& screenshot)
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

void keep_screenshot(const std::string& url, const std::string& dir, const std::string& name)
{
    const char* folder = getenv("KORVA_SCREENSHOTS");
    if (folder && *folder)
        browse(url, dir, std::string(folder) + "/" + name);
}

std::vector<std::string> power_by_pipe(std::vector<std::string> more)
{
    std::vector<std::string> args = {"--power-shell", "--power-on", "echo on > {switch}", "--power-off",
                                     "echo off > {switch}", "--power-cycle-wait", "0.2"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}
