// The coverage report's page, as a test engineer opens it: in a real
// browser (headless Chromium), with no network.
#include <gtest/gtest.h>

#include <cstdio>

#include "firmware/boot_image.h"
#include "sim/analysis/coverage_page.h"
#include "tests/support/session.h"

namespace korvasim {
namespace {

std::vector<uint8_t> image()
{
    return std::vector<uint8_t>(boot_image, boot_image + BOOT_IMAGE_SIZE);
}

TEST(CoveragePage, LoadsInABrowserWithItsTablesAndPictures)
{
    std::vector<CatalogueFault> faults;
    for (const CatalogueFault& f : fault_catalogue())
        if (f.spec == "sram.d3=0" || f.spec == "sdram.a10=1" || f.spec == "flash.q1.V=0")
            faults.push_back(f);
    const auto rows = run_coverage(image(), faults, {5000, 2});
    const CellCoverage sdram(image(), true, 5000), sram(image(), false, 5000);
    const std::vector<ModelRow> models = {{"SRAM", "cell bit <stuck> & \"more\"", 10, 1, "exact"}};
    const std::string dir = make_temp_dir();
    const std::string page = dir + "/coverage.html";
    FILE* out = fopen(page.c_str(), "w");
    ASSERT_NE(out, nullptr);
    print_coverage_html(out, rows, models, {}, {&sdram, &sram});
    fclose(out);
    const std::string html = read_file(page);
    // Self-contained: nothing to fetch.
    EXPECT_EQ(html.find("src="), std::string::npos);
    EXPECT_EQ(html.find("href="), std::string::npos);
    EXPECT_EQ(html.find("<script"), std::string::npos);

    Session browser(CHROMIUM_PATH,
                    ChildOptions{{"--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                                  "--disable-background-networking", "--disable-component-update", "--disable-sync",
                                  "--host-resolver-rules=MAP * ~NOTFOUND", "--user-data-dir=" + dir + "/profile",
                                  "--dump-dom", "file://" + page},
                                 {},
                                 dir});
    ASSERT_EQ(browser.wait_exit(60000), 0) << browser.err();
    const std::string& dom = browser.out();
    EXPECT_NE(dom.find("<h1>Fault coverage of the board tests</h1>"), std::string::npos) << dom.substr(0, 500);
    EXPECT_NE(dom.find("<td>SRAM data line 3 stuck at 0</td>"), std::string::npos);
    // The summary first, as the text report has it; the fault list last.
    const size_t summary = dom.find("<strong>coverage: 100.0% of 3 single faults caught</strong>");
    EXPECT_NE(summary, std::string::npos);
    EXPECT_LT(summary, dom.find("<h2 id=\"faults\">"));
    EXPECT_LT(dom.find("<td>data line stuck</td>"), dom.find("<h2 id=\"faults\">"));
    EXPECT_NE(dom.find("<tr class=\"all\"><td>all</td><td></td><td class=\"n\">3</td>"), std::string::npos);
    // Headers, a row per class, per fault and per model.
    EXPECT_EQ(count_of(dom, "<tr>"), 3 + 3 + faults.size() + models.size());
    EXPECT_NE(dom.find("cell bit &lt;stuck&gt; &amp; \"more\""), std::string::npos);
    EXPECT_EQ(count_of(dom, "<svg"), 2u);
    EXPECT_NE(dom.find("SRAM: " + std::to_string(sram.cells_read()) + " of 262144 cells read"), std::string::npos);
    // One mark per cell read, on each of the two strips.
    EXPECT_EQ(count_of(dom, "fill=\"#c00\""), 2 * (sram.cells_read() + sdram.cells_read()));
}

} // namespace
} // namespace korvasim
