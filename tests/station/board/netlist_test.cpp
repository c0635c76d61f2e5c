// The board's KiCad netlist: read whole or refused in one line naming the
// file, the line and what was expected; the nets of every line a diagnosis
// can name, and the probe points of every line fault of the catalogue.
#include <algorithm>
#include <string>

#include <gtest/gtest.h>

#include "sim/analysis/fault_catalogue.h"
#include "station/board/kicad_netlist.h"
#include "station/board/probe_points.h"
#include "tests/support/case_name.h"
#include "tests/support/session.h"

namespace korvastation {
namespace {

const std::string EXAMPLE = std::string(DOCS_DIR) + "/korva-unit.net";

std::shared_ptr<const KicadNetlist> example()
{
    auto netlist = std::make_shared<KicadNetlist>();
    const korvasim::Result read = KicadNetlist::read(EXAMPLE, netlist.get());
    if (!read)
        throw std::runtime_error(read.why());
    return netlist;
}

const std::map<std::string, std::string> KORVA_NETS = {
    {"sram_data", "SRAM_D{n}"},
    {"sram_address", "SRAM_A{n}"},
    {"sdram_data", "SDRAM_D{n}"},
    {"sdram_address", "SDRAM_A{n}"},
};

struct BadNetlist {
    const char* name;
    const char* text;
    const char* message;  // the whole message after "bad.net:"
};

class BadNetlistTest : public testing::TestWithParam<BadNetlist> {};

TEST_P(BadNetlistTest, IsRefusedInOneLine)
{
    KicadNetlist netlist;
    const korvasim::Result read = KicadNetlist::parse("bad.net", GetParam().text, &netlist);
    ASSERT_FALSE(read);
    EXPECT_EQ(read.why(), std::string("bad.net:") + GetParam().message);
    EXPECT_EQ(read.why().find('\n'), std::string::npos);
}

const char GOOD_HEAD[] = "(export (version \"E\")\n (components (comp (ref \"U7\") (value \"SRAM\")))\n";

INSTANTIATE_TEST_SUITE_P(
    Netlist, BadNetlistTest,
    testing::Values(
        BadNetlist{"Empty", "", "1: expected '(' opening the file's list, found nothing"},
        BadNetlist{"NotAList", "\n\nexport", "3: expected '(' opening the file's list"},
        BadNetlist{"Truncated", "(export (version \"E\")\n (nets (net (code 1)", "2: the file ends inside the list opened on line 2: expected ')'"},
        BadNetlist{"TruncatedInAString", "(export\n (nets (net (name \"SRAM_D3", "2: the file ends inside the string opened on line 2: expected '\"'"},
        BadNetlist{"TwoLists", "(export (nets))\n(export)", "2: expected the end of the file after the list that closed on line 1"},
        BadNetlist{"Binary", "(export (nets \x01))", "1: expected text, found the byte 0x01"},
        BadNetlist{"NotAnExport", "(kicad_sch (version 20230121))", "1: expected (export ...), a KiCad netlist"},
        BadNetlist{"NoNets", "(export (version \"E\"))", "1: expected one (nets ...) list in the export"},
        BadNetlist{"NetWithoutName", "(export\n (nets\n  (net (code \"1\"))))", "3: expected (name \"NAME\") in the net"},
        BadNetlist{"NodeWithoutPin", "(export (components (comp (ref \"U7\")))\n (nets (net (name \"A\")\n (node (ref \"U7\")))))",
                   "3: expected (pin \"NUMBER\") in the node of U7"},
        BadNetlist{"NetTwice", "(export (nets (net (name \"A\"))\n (net (name \"A\"))))", "2: expected one net A, found a second"},
        BadNetlist{"UnknownComponent", "(export (nets (net (name \"A\") (node (ref \"U9\") (pin \"1\")))))",
                   " net A names component U9, which the netlist's components do not hold"},
        BadNetlist{"PinOnTwoNets",
                   "(export (components (comp (ref \"U7\")))\n (nets (net (name \"A\") (node (ref \"U7\") (pin \"1\")))"
                   " (net (name \"B\") (node (ref \"U7\") (pin \"1\")))))",
                   " pin 1 of U7 is on two nets, A and B"},
        BadNetlist{"TooDeep", "(export (((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((((x))))))))))))"
                              "))))))))))))))))))))))))))))))))))))))))))))))))))))))))))",
                   "1: lists nested deeper than 64"}),
    CaseName());

TEST(Netlist, BareValuesAsKicadFiveWritesThem)
{
    KicadNetlist netlist;
    const korvasim::Result read = KicadNetlist::parse(
        "old.net", "(export (version D)\n (components (comp (ref U7) (value IS61WV2568)))\n"
                   " (nets (net (code 1) (name /SRAM_D3) (node (ref U7) (pin 12)))))\n",
        &netlist);
    ASSERT_TRUE(read) << read.why();
    ASSERT_NE(netlist.net("SRAM_D3"), nullptr);
    EXPECT_EQ(netlist.net("SRAM_D3")->nodes[0].pin, "12");
    EXPECT_EQ(netlist.components().at("U7"), "IS61WV2568");
}

TEST(Netlist, AFileThatCannotBeReadIsNamed)
{
    const std::string dir = make_temp_dir();
    KicadNetlist netlist;
    for (const std::string& path : {dir + "/missing.net", dir}) {
        const korvasim::Result read = KicadNetlist::read(path, &netlist);
        ASSERT_FALSE(read);
        EXPECT_EQ(read.why(), "cannot read the netlist " + path);
    }
}

TEST(Netlist, TheExampleReads)
{
    const auto netlist = example();
    EXPECT_GT(netlist->net_count(), 100u);
    EXPECT_TRUE(netlist->has_component("U7"));
}

struct BadNames {
    const char* name;
    std::map<std::string, std::string> names;
    const char* message;
};

class BadNetNamesTest : public testing::TestWithParam<BadNames> {};

TEST_P(BadNetNamesTest, AreRefusedNamingTheNet)
{
    ProbePoints probes;
    const korvasim::Result made = ProbePoints::make(example(), GetParam().names, &probes);
    ASSERT_FALSE(made);
    EXPECT_EQ(made.why(), GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(
    Netlist, BadNetNamesTest,
    testing::Values(
        BadNames{"NoSuchNet", {{"sram_data", "SRAM_DATA{n}"}},
                 "sram_data: the netlist has no net SRAM_DATA0 for SRAM D0"},
        // The SDRAM's address lines start at 2: A1 is no line of it, A26 is.
        BadNames{"ALineBeyondTheNets", {{"sram_address", "SDRAM_A{n}"}},
                 "sram_address: the netlist has no net SDRAM_A0 for SRAM A0"},
        BadNames{"NoNumber", {{"sdram_data", "SDRAM_D"}}, "sdram_data = \"SDRAM_D\" has no {n} for the line's number"},
        BadNames{"UnknownKind", {{"flash_data", "FLASH_D{n}"}},
                 "unknown kind of line 'flash_data': expected sram_data, sram_address, sdram_data or sdram_address"}),
    CaseName());

// Read off docs/korva-unit.net by hand.
struct HandChecked {
    const char* fault;
    const char* probes;
};

class HandCheckedTest : public testing::TestWithParam<HandChecked> {};

TEST_P(HandCheckedTest, ProbePointsAsTheNetlistHasThem)
{
    ProbePoints probes;
    ASSERT_TRUE(ProbePoints::make(example(), KORVA_NETS, &probes));
    EXPECT_EQ(probes.of(GetParam().fault), GetParam().probes);
}

INSTANTIATE_TEST_SUITE_P(
    Netlist, HandCheckedTest,
    testing::Values(
        HandChecked{"sram.d3=0", "SRAM D3: U1 pin AA4 (EX_DATA3), U7 pin 12 (DQ3), R43 pin 1"},
        HandChecked{"sram.a17=1", "SRAM A17: U1 pin AA26 (EX_ADDR17), U7 pin 26 (A17)"},
        HandChecked{"sdram.d17-d18", "SDRAM D17: U1 pin AC22 (SDM_DATA17), U5 pin A4 (DQ1), RN5 pin 2 (R2.1); "
                                     "SDRAM D18: U1 pin AC23 (SDM_DATA18), U5 pin A6 (DQ2), RN5 pin 3 (R3.1)"},
        HandChecked{"sdram.a2=0", "SDRAM A2: U1 pin AD11 (SDM_ADDR2), U4 pin H2 (A0), U5 pin H2 (A0)"},
        HandChecked{"sram.absent", ""},
        HandChecked{"flash.busy", ""},
        HandChecked{"flash.q2.S=0", ""}),
    [](const testing::TestParamInfo<HandChecked>& info) {
        std::string name;
        for (char c : std::string(info.param.fault))
            name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

// Every line fault of the catalogue has probe points, one part per line it
// names, each pin on its net.
TEST(Netlist, EveryLineFaultOfTheCatalogueHasItsProbePoints)
{
    const auto netlist = example();
    ProbePoints probes;
    ASSERT_TRUE(ProbePoints::make(netlist, KORVA_NETS, &probes));
    size_t line_faults = 0;
    for (const korvasim::CatalogueFault& f : korvasim::fault_catalogue()) {
        const std::string text = probes.of(f.spec);
        const bool names_lines = f.fault_class.find("line") != std::string::npos;
        EXPECT_EQ(text.empty(), !names_lines) << f.spec;
        if (!names_lines)
            continue;
        ++line_faults;
        const bool pair = f.fault_class.find("shorted") != std::string::npos;
        EXPECT_EQ(std::count(text.begin(), text.end(), ';'), pair ? 1 : 0) << f.spec;
        EXPECT_EQ(text.rfind(f.part + " ", 0), 0u) << f.spec;
    }
    EXPECT_EQ(line_faults, 64u + 31 + 48 + 23 + 16 + 7 + 36 + 17);
}

} // namespace
} // namespace korvastation
