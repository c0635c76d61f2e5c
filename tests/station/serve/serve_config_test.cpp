// The served station's configuration: a whole file read into its settings,
// and every kind of mistake told in one line with the file and its line.
#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

#include "station/run/instance_lock.h"
#include "station/serve/serve_config.h"
#include "tests/support/session.h"

namespace korvastation {
namespace {

std::string write_config(const std::string& text)
{
    const std::string path = make_temp_dir() + "/station.toml";
    std::ofstream(path) << text;
    return path;
}

// Every key a configuration may hold.
const char EVERY_SETTING[] = R"(station = "bench3"
database = "postgresql://line/korva"
records = "/var/lib/korva/records"
http = "0.0.0.0:8080"
token = "s3cret"
operator = "ann"
on_attempt = "logger -t korva"
wake_timeout = 60
silence_timeout = 20.5
retests = 2
serial_max_length = 12
health_window = 4

[power]
on = "relay on {switch}"
off = "relay off {switch}"
cycle_wait = 1.5
timeout = 10

[advice]
passed = "green tray"
failed = "red tray"
not_tested = "check the cable"

[[fixture]]
name = "F1"
port = "/dev/ttyUSB0"
switch = "1"
serial_pattern = "KV[0-9]{6}"
max_cycles = 5000
golden = "KVG00001"
golden_every = "8h"

[[fixture]]
name = "F2"
port = "rfc2217://bench3:3001"
switch = "2"

[board]
netlist = "NETLIST"

[board.nets]
sram_data = "SRAM_D{n}"
sdram_address = "SDRAM_A{n}"

[repair]
actions = ["reworked", "scrapped"]
require_repair = true
)";

// The example netlist in place of NETLIST, by a path relative to the
// configuration's folder.
std::string with_netlist(std::string text, const std::string& config_dir)
{
    std::string up;
    for (size_t at = config_dir.find('/'); at != std::string::npos; at = config_dir.find('/', at + 1))
        up += "../";
    text.replace(text.find("NETLIST"), 7, up + std::string(DOCS_DIR).substr(1) + "/korva-unit.net");
    return text;
}

TEST(ServeConfig, ReadsEverySetting)
{
    const std::string dir = make_temp_dir();
    const std::string path = dir + "/station.toml";
    std::ofstream(path) << with_netlist(EVERY_SETTING, dir);
    ServeConfig c;
    const korvasim::Result loaded = load_serve_config(path, &c);
    ASSERT_TRUE(loaded) << loaded.why();
    EXPECT_EQ(c.settings.station_name, "bench3");
    EXPECT_EQ(c.settings.db, "postgresql://line/korva");
    EXPECT_EQ(c.records_dir, "/var/lib/korva/records");
    EXPECT_EQ(c.settings.http, "0.0.0.0:8080");
    EXPECT_EQ(c.token, "s3cret");
    EXPECT_EQ(c.operator_name, "ann");
    EXPECT_EQ(c.on_attempt, "logger -t korva");
    EXPECT_EQ(c.settings.wake_timeout_s, 60);
    EXPECT_EQ(c.settings.silence_timeout_s, 20.5);
    EXPECT_EQ(c.settings.retests, 2);
    EXPECT_EQ(c.serial_max_length, 12u);
    EXPECT_EQ(c.health_window, 4);
    EXPECT_EQ(c.settings.power_on.for_board({"/dev/ttyUSB0", "KV1", "7", "F1", ""}),
              (std::vector<std::string>{"relay", "on", "7"}));
    EXPECT_EQ(c.settings.power_cycle_wait_s, 1.5);
    EXPECT_EQ(c.settings.power_timeout_s, 10);
    EXPECT_EQ(c.advice[Verdict::PASSED], "green tray");
    EXPECT_EQ(c.advice[Verdict::NOT_TESTED], "check the cable");
    ASSERT_EQ(c.fixtures.size(), 2u);
    EXPECT_EQ(c.fixtures[0].name, "F1");
    EXPECT_EQ(c.fixtures[0].serial_pattern, "KV[0-9]{6}");
    EXPECT_EQ(c.fixtures[0].max_cycles, 5000);
    EXPECT_EQ(c.fixtures[0].golden, "KVG00001");
    EXPECT_EQ(c.fixtures[0].golden_every_s, 8 * 3600);
    EXPECT_EQ(c.fixtures[1].max_cycles, 0) << "no limit unless one is given";
    EXPECT_EQ(c.fixtures[1].port, "rfc2217://bench3:3001");
    EXPECT_EQ(c.fixtures[1].power_switch, "2");
    EXPECT_EQ(c.board.probes->of("sram.d3=0").rfind("SRAM D3: U1 pin", 0), 0u);
    EXPECT_EQ(c.board.probes->of("sdram.d3=0"), "") << "no nets named for the SDRAM's data lines";
    EXPECT_TRUE(c.board.probes->has_component("R43"));
    EXPECT_EQ(c.repair.actions, (std::vector<std::string>{"reworked", "scrapped"}));
    EXPECT_TRUE(c.repair.require_repair);
}

// A station of no fixtures is a repair bench: it needs the line's database
// and its page; without [repair] it offers the usual actions and holds no
// board.
TEST(ServeConfig, ARepairBenchHasNoFixtures)
{
    const std::string dir = make_temp_dir();
    const std::string path = dir + "/station.toml";
    std::ofstream(path) << "station = \"rework\"\ndatabase = \"" << dir << "/line.db\"\nhttp = \"127.0.0.1:0\"\n";
    ServeConfig c;
    const korvasim::Result loaded = load_serve_config(path, &c);
    ASSERT_TRUE(loaded) << loaded.why();
    EXPECT_TRUE(c.fixtures.empty());
    EXPECT_EQ(c.repair.actions,
              (std::vector<std::string>{"reflowed", "replaced", "cleaned", "no fault found", "scrapped"}));
    EXPECT_FALSE(c.repair.require_repair);
}

struct Mistake {
    const char* name;
    std::string text;
    std::string said;  // after "PATH:"
};

void PrintTo(const Mistake& m, std::ostream* os)
{
    *os << m.name;
}

class ServeConfigMistake : public testing::TestWithParam<Mistake> {};

TEST_P(ServeConfigMistake, IsOneLineNamingTheFileAndLine)
{
    const std::string path = write_config(GetParam().text);
    ServeConfig c;
    const korvasim::Result loaded = load_serve_config(path, &c);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.why(), path + ":" + GetParam().said);
    EXPECT_EQ(loaded.why().find('\n'), std::string::npos);
}

const std::string FIXTURE = "[[fixture]]\nname = \"F1\"\nport = \"/dev/ttyUSB0\"\n";

INSTANTIATE_TEST_SUITE_P(
    Station, ServeConfigMistake,
    testing::Values(
        Mistake{"NotToml", "station = \n", "1: Error while parsing key-value pair: expected value, saw '\\n'"},
        Mistake{"MisspeltKey", "retest = 2\n" + FIXTURE, "1: unknown key 'retest'"},
        Mistake{"TextForANumber", "retests = \"two\"\n" + FIXTURE,
                "1: bad retests 'two': expected a whole number from 0 to 10"},
        Mistake{"PowerWithoutCommands", FIXTURE + "[power]\n", "4: [power] needs both on and off: the station switches boards both ways"},
        Mistake{"TimeoutOutOfRange", "silence_timeout = 0.5\n" + FIXTURE,
                "1: bad silence_timeout 0.5: expected seconds from 1 to 86400"},
        Mistake{"NoFixture", "station = \"s\"\nhttp = \"8080\"\n",
                " no [[fixture]]: the station has nothing to serve (a repair bench, which has none, needs the line's "
                "database and http for its page)"},
        Mistake{"RepairActionsEmpty", FIXTURE + "[repair]\nactions = []\n",
                "5: bad actions (a list) in [repair]: expected a list of texts in quotes, none empty and none twice"},
        Mistake{"RepairActionTooLong", FIXTURE + "[repair]\nactions = [\"" + std::string(41, 'x') + "\"]\n",
                "5: [repair] action '" + std::string(41, 'x') + "' refused: 1 to 40 characters, no control characters"},
        Mistake{"RequireRepairNotAFlag", FIXTURE + "[repair]\nrequire_repair = \"yes\"\n",
                "5: bad require_repair 'yes' in [repair]: expected true or false"},
        Mistake{"UnknownRepairKey", FIXTURE + "[repair]\nrequire = true\n", "5: unknown key 'require' in [repair]"},
        Mistake{"NetsWithoutANetlist", FIXTURE + "[board.nets]\nsram_data = \"SRAM_D{n}\"\n",
                "4: [board.nets] needs [board] netlist = \"...\": the nets are looked up in it"},
        Mistake{"NetlistNotThere", "[board]\nnetlist = \"/nonexistent/korva.net\"\n" + FIXTURE,
                " cannot read the netlist /nonexistent/korva.net"},
        Mistake{"NetTheNetlistLacks",
                "[board]\nnetlist = \"" DOCS_DIR "/korva-unit.net\"\n[board.nets]\nsram_data = \"SRAM_DATA{n}\"\n" + FIXTURE,
                " [board.nets] sram_data: the netlist has no net SRAM_DATA0 for SRAM D0 (" DOCS_DIR "/korva-unit.net)"},
        Mistake{"UnknownKindOfLine", FIXTURE + "[board.nets]\nflash_data = \"FLASH_D{n}\"\n",
                "5: unknown key 'flash_data' in [board.nets]"},
        Mistake{"FixtureIsNotATableList", "fixture = \"F1\"\n", "1: bad fixture 'F1': expected tables [[fixture]]"},
        Mistake{"FixtureWithoutPort", "[[fixture]]\nname = \"F1\"\n", "1: fixture F1 has no port"},
        Mistake{"FixtureNameWithSpace", "[[fixture]]\nname = \"F 1\"\nport = \"/dev/ttyS0\"\n",
                "1: bad name 'F 1' in [[fixture]] 1: expected 1 to 32 letters, digits, '.', '-' or '_'"},
        Mistake{"RepeatedPort", FIXTURE + "[[fixture]]\nname = \"F2\"\nport = \"/dev/ttyUSB0\"\n",
                "4: fixture F2 repeats the port /dev/ttyUSB0 of an earlier one"},
        Mistake{"UnknownFixtureKey", FIXTURE + "baud = 9600\n", "4: unknown key 'baud' in [[fixture]] 1"},
        Mistake{"BadPattern", FIXTURE + "serial_pattern = \"KV[0-9\"\n",
                "1: bad serial_pattern 'KV[0-9' in [[fixture]] 1: missing ]: [0-9"},
        // Refused at once, where a backtracking matcher took 24 GB to check it.
        Mistake{"PatternThatWouldExhaustTheMachine", FIXTURE + "serial_pattern = \"((a{1,255}){1,255}){1,255}\"\n",
                "1: bad serial_pattern '((a{1,255}){1,255}){1,255}' in [[fixture]] 1: invalid repetition size: {1,255}"},
        Mistake{"ExampleThePatternRefuses", FIXTURE + "serial_pattern = \"KV[0-9]{6}\"\nserial_example = \"KV12\"\n",
                "1: serial_example 'KV12' of fixture F1 does not match its serial_pattern"},
        Mistake{"PatternNoExampleCanBeMadeFrom", FIXTURE + "serial_pattern = \"KV[0-9]{50}\"\n",
                "1: fixture F1 needs serial_example = \"...\", a serial number its serial_pattern takes: none could be "
                "made from the pattern"},
        Mistake{"ExampleWithoutPattern", FIXTURE + "serial_example = \"KV1\"\n",
                "1: fixture F1 has a serial_example but no serial_pattern"},
        Mistake{"SwitchWithoutPower", FIXTURE + "switch = \"3\"\n",
                "1: fixture F1 names switch '3', but no [power] commands switch it"},
        Mistake{"PowerUsesSwitchAFixtureLacks",
                "[power]\non = \"relay on {switch}\"\noff = \"relay off {switch}\"\n" + FIXTURE,
                "4: fixture F1 has no switch, and the power commands use {switch}"},
        Mistake{"UnknownAdvice", FIXTURE + "[advice]\nlost_and_found = \"x\"\n",
                "5: unknown key 'lost_and_found' in [advice]"},
        Mistake{"RepeatedSwitch",
                "[power]\non = \"relay on {switch}\"\noff = \"relay off {switch}\"\n" + FIXTURE +
                    "switch = \"3\"\n[[fixture]]\nname = \"F2\"\nport = \"/dev/ttyUSB1\"\nswitch = \"3\"\n",
                "8: fixture F2 repeats the switch '3' of fixture F1: one switch would power both boards"},
        Mistake{"KeywordConnectionString", "database = \"host=localhost dbname=x\"\n" + FIXTURE,
                " bad database 'host=localhost dbname=x': a keyword connection string; give a postgresql:// URI or a "
                "SQLite file"},
        Mistake{"NoMaxCycles", FIXTURE + "max_cycles = 0\n", "4: bad max_cycles 0 in [[fixture]] 1: expected a whole number from 1 to 100000000"},
        Mistake{"GoldenEveryWithoutAGoldenBoard", FIXTURE + "golden_every = \"8h\"\n",
                "1: fixture F1 has golden_every but no golden board"},
        Mistake{"GoldenEveryWithoutUnit", FIXTURE + "golden = \"G1\"\ngolden_every = \"8\"\n",
                "5: bad golden_every '8' in [[fixture]] 1: expected a time from \"1m\" to \"168h\", in s, m or h"},
        Mistake{"GoldenEveryTooOften", FIXTURE + "golden = \"G1\"\ngolden_every = \"10s\"\n",
                "5: bad golden_every '10s' in [[fixture]] 1: expected a time from \"1m\" to \"168h\", in s, m or h"},
        Mistake{"GoldenEveryAsANumber", FIXTURE + "golden = \"G1\"\ngolden_every = 8\n",
                "5: bad golden_every 8 in [[fixture]] 1: expected a time from \"1m\" to \"168h\", in s, m or h"},
        Mistake{"GoldenWithASpace", FIXTURE + "golden = \"G 1\"\n",
                "1: bad golden 'G 1' of fixture F1: expected a serial number of letters, digits and signs"},
        Mistake{"TokenWithSpace", "token = \"a b\"\n" + FIXTURE,
                " the token may hold letters, digits, '-', '.', '_' and '~' only: the page carries it in its address"},
        Mistake{"TokenAPageCannotSend", "token = \"a+b&c#d\"\n" + FIXTURE,
                " the token may hold letters, digits, '-', '.', '_' and '~' only: the page carries it in its address"},
        Mistake{"TokenBeyondAscii", "token = \"k\u00f8rva\"\n" + FIXTURE,
                " the token may hold letters, digits, '-', '.', '_' and '~' only: the page carries it in its address"}),
    [](const testing::TestParamInfo<Mistake>& info) { return std::string(info.param.name); });

TEST(ServeConfig, APortWrittenTwoWaysIsOnePort)
{
    const std::string dir = make_temp_dir();
    std::ofstream(dir + "/pts3");
    ASSERT_EQ(symlink((dir + "/pts3").c_str(), (dir + "/b1").c_str()), 0);
    const std::string path = write_config("[[fixture]]\nname = \"F1\"\nport = \"" + dir + "/b1\"\n[[fixture]]\nname = "
                                          "\"F2\"\nport = \"" + dir + "/pts3\"\n");
    ServeConfig c;
    const korvasim::Result loaded = load_serve_config(path, &c);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.why(), path + ":4: fixture F2's port " + dir + "/pts3 is fixture F1's port " + dir + "/b1 (both are " +
                                dir + "/pts3)");
}

TEST(InstanceLocks, ASecondHolderIsRefusedNamingTheFirst)
{
    const std::string dir = make_temp_dir();
    std::ofstream(dir + "/station.toml");
    ASSERT_EQ(symlink((dir + "/station.toml").c_str(), (dir + "/other-name.toml").c_str()), 0);
    // One name for a thing however it is written.
    EXPECT_EQ(InstanceLocks::lock_path_of("config", dir + "/other-name.toml"),
              InstanceLocks::lock_path_of("config", dir + "/station.toml"));
    InstanceLocks first, second;
    const std::string lock = InstanceLocks::lock_path_of("config", dir + "/station.toml");
    ASSERT_TRUE(first.take(lock, "the configuration"));
    const korvasim::Result refused = second.take(lock, "the configuration");
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.why().rfind("the configuration is held by another station (process " + std::to_string(getpid()), 0),
              0u) << refused.why();
    EXPECT_NE(refused.why().find("): one station for it at a time"), std::string::npos) << refused.why();
}

TEST(ServeConfig, TheDocumentedExamplesAreValid)
{
    ServeConfig c;
    const korvasim::Result loaded = load_serve_config(DOCS_DIR "/station.toml", &c);
    ASSERT_TRUE(loaded) << loaded.why();
    EXPECT_EQ(c.fixtures.size(), 2u);
    EXPECT_EQ(c.advice[Verdict::FAILED], "put the board on the red tray");
    ServeConfig simulated;
    const korvasim::Result tried = load_serve_config(DOCS_DIR "/station-simulated.toml", &simulated);
    ASSERT_TRUE(tried) << tried.why();
    EXPECT_EQ(simulated.fixtures.size(), 2u);
    EXPECT_TRUE(simulated.settings.power_on.uses_switch());
}

TEST(ServeConfig, AFileThatCannotBeReadIsNamed)
{
    ServeConfig c;
    const korvasim::Result loaded = load_serve_config("/nonexistent/station.toml", &c);
    ASSERT_FALSE(loaded);
    EXPECT_EQ(loaded.why().rfind("cannot read the configuration /nonexistent/station.toml: ", 0), 0u) << loaded.why();
}

} // namespace
} // namespace korvastation
