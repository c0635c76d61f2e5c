// A served station's start: mistakes found before anything is served, a
// port that is not there yet, and a second station on what one holds.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <nlohmann/json.hpp>

#include "tests/station/serve_station_fixture.h"

namespace {

// Mistakes a station would otherwise meet at its first board are found at
// its start, in one line, and nothing is served.
TEST(Serve, AMistakeInTheConfigurationStartsNothing)
{
    const std::string dir = make_temp_dir();
    const std::string config = dir + "/station.toml";
    const std::string fixture = "[[fixture]]\nname = \"A\"\nport = \"" + dir + "/port-a\"\n";
    struct StartCase {
        const char* name;
        std::string text;
        std::string told;  // after "korvastation: "
    };
    for (const StartCase& c : std::vector<StartCase>{
             {"ANumberOutOfRange", "station = \"bench1\"\nretests = -1\n",
              config + ":4: bad retests -1: expected a whole number from 0 to 10"},
             {"APowerCommandThatIsNotThere",
              "[power]\non = \"no-such-relay on {switch}\"\noff = \"no-such-relay off {switch}\"\n" + fixture +
                  "switch = \"1\"\n",
              config + ": [power] on: cannot run 'no-such-relay': not found on PATH"},
             {"APowerCommandThatIsNoProgram",
              "[power]\non = \"" + dir + " on\"\noff = \"" + dir + " off\"\n" + fixture,
              config + ": [power] on: cannot run '" + dir + "': it is not executable"},
             {"AShellNeededIsNamedByTheConfigurationsKey",
              "[power]\non = \"relay $(cat n)\"\noff = \"relay off\"\n" + fixture,
              config + ": bad [power] on 'relay $(cat n)': command substitution needs [power] shell = true"},
             {"ARecordsFolderThatCannotBeMade", "records = \"/proc/korva-records\"\n" + fixture,
              "cannot make the records folder /proc/korva-records: No such file or directory"}}) {
        std::ofstream(config) << "dudedoved = \"" << DUDEDOVED_PATH << "\"\nhttp = \"\"\n" << c.text;
        Session station(KORVASTATION_PATH, ChildOptions{{"serve", "--config", config}, {}, dir});
        EXPECT_EQ(station.wait_exit(STATION_TIMEOUT_MS), 2) << c.name;
        EXPECT_EQ(station.err(), "korvastation: " + c.told + "\n") << c.name;
    }
}

// A USB adapter may be plugged in later: a port that is not there is said
// at the start and on its panel, and the station serves.
TEST(Serve, APortThatIsNotThereYetIsSaidAndServed)
{
    const std::string dir = make_temp_dir();
    ServeProcess station(dir, {{"A", nullptr, ""}});
    ASSERT_FALSE(station.url().empty()) << station.process().err();
    EXPECT_NE(station.process().err().find("korvastation: fixture A's port " + dir +
                                           "/no-board-A is not there yet: its boards wait until it is plugged in\n"),
              std::string::npos)
        << station.process().err();
    EXPECT_EQ(station.panel("A").value("port_missing", false), true);
    station.process().signal(SIGTERM);
    EXPECT_EQ(station.process().wait_exit(STATION_TIMEOUT_MS), 0);
}

// A second station on what a station holds would take its scans and
// power-cycle its boards: it is refused at its start, naming the holder.
TEST(Serve, ASecondStationOnWhatOneHoldsIsRefused)
{
    const std::string dir = make_temp_dir();
    PoweredBoard board(dir, "a");
    ServeProcess first(dir, {board.fixture("A")});
    const std::string holder = "(process " + std::to_string(first.process().pid()) + ", korvastation)";
    const std::string port = first.url().substr(first.url().rfind(':') + 1, first.url().size() - first.url().rfind(':') - 2);
    struct SecondCase {
        const char* name;
        std::string config;  // the second station's, beside its own folder
        std::string told;
    };
    const std::string fixture = "[[fixture]]\nname = \"A\"\nport = \"" + board.board.port() + "\"\n";
    const std::string other_fixture = "[[fixture]]\nname = \"Z\"\nport = \"/dev/null-z\"\n";
    for (const SecondCase& c : std::vector<SecondCase>{
             {"TheSameConfiguration", "", "the configuration " + dir + "/station.toml is held by another station " + holder},
             {"TheSameRecords", "records = \"" + dir + "/records\"\n" + other_fixture,
              "the records folder " + dir + "/records is held by another station " + holder},
             {"TheSamePort", "records = \"second\"\n" + fixture,
              "fixture A's port " + board.board.port() + " is held by another station " + holder},
             {"TheSamePageAddress", "records = \"second\"\nhttp = \"127.0.0.1:" + port + "\"\n" + other_fixture,
              "cannot serve the page on 127.0.0.1:" + port + ": Address already in use"}}) {
        const std::string second_dir = make_temp_dir();
        const std::string config = c.config.empty() ? dir + "/station.toml" : second_dir + "/station.toml";
        if (!c.config.empty())
            std::ofstream(config) << "dudedoved = \"" << DUDEDOVED_PATH << "\"\n" << c.config;
        Session second(KORVASTATION_PATH, ChildOptions{{"serve", "--config", config}, {}, second_dir});
        EXPECT_EQ(second.wait_exit(STATION_TIMEOUT_MS), 2) << c.name;
        EXPECT_NE(second.err().find(c.told), std::string::npos) << c.name << ": " << second.err();
        EXPECT_EQ(count_of(second.err(), "\n"), 1u) << c.name << ": " << second.err();
    }
    EXPECT_FALSE(first.process().exited());
    first.process().signal(SIGTERM);
    EXPECT_EQ(first.process().wait_exit(STATION_TIMEOUT_MS), 0);
}

} // namespace
