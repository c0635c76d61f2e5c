// The station on boards of another bench: four korvasim boards behind
// Debian's ser2net, reached by RFC 2217, their power switched as ever.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/station/station_fixture.h"
#include "tests/support/ser2net_server.h"

namespace {

TEST(StationNetwork, FourRemoteBoardsAreTestedAsLocalOnes)
{
    const std::string dir = make_temp_dir();
    const std::vector<std::string> faults = {"", "sram.d3=0", "", ""};
    std::vector<std::unique_ptr<SimulatedBoard>> boards;
    std::vector<std::string> ptys;
    for (size_t i = 0; i < faults.size(); ++i) {
        boards.push_back(std::make_unique<SimulatedBoard>(faults[i], dir + "/power" + std::to_string(i)));
        ptys.push_back(boards.back()->port());
    }
    Ser2net server(dir, ptys);
    std::vector<std::string> args = power_by_pipe({});
    for (size_t i = 0; i < faults.size(); ++i)
        args.push_back(server.url(i) + "=SN" + std::to_string(i + 1) + "@" + dir + "/power" + std::to_string(i));
    Station station(args);
    EXPECT_EQ(station.finish(), 1) << station.process().err();
    const auto records = station.records();
    ASSERT_EQ(records.size(), 4u) << station.process().err();
    EXPECT_EQ(records.at("SN1")["verdict"], "passed");
    EXPECT_EQ(records.at("SN2")["verdict"], "failed");
    EXPECT_EQ(records.at("SN2")["diagnosis"]["candidates"][0]["fault"], "SRAM data line 3 stuck at 0");
    EXPECT_EQ(records.at("SN3")["verdict"], "passed");
    EXPECT_EQ(records.at("SN4")["verdict"], "passed");
    EXPECT_EQ(records.at("SN1")["port"], server.url(0));
}

} // namespace
