#include "sim/analysis/coverage_page.h"

#include <cmath>
#include <string>

#include "sim/support/html_text.h"

namespace korvasim {

namespace {

const int WIDTH = 800;

// Two strips over the chip's cells: at their place (linear), and by the
// highest address bit set (log), where the walking patterns spread out.
void print_picture(FILE* out, const CellCoverage& cells)
{
    const std::vector<uint32_t> offsets = cells.offsets_read();
    const double size = static_cast<double>(cells.cells() * (cells.sdram() ? 4 : 1));
    fprintf(out, "<h3>%s: %llu of %llu cells read (%.4g%%)</h3>\n", cells.part(),
            static_cast<unsigned long long>(cells.cells_read()), static_cast<unsigned long long>(cells.cells()),
            100.0 * static_cast<double>(cells.cells_read()) / static_cast<double>(cells.cells()));
    fprintf(out, "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"110\" role=\"img\" "
                 "aria-label=\"cells of the %s read by its test\">\n",
            WIDTH + 20, cells.part());
    for (int strip = 0; strip < 2; ++strip) {
        const int y = 10 + strip * 50;
        fprintf(out, "<rect x=\"10\" y=\"%d\" width=\"%d\" height=\"24\" fill=\"#eee\" stroke=\"#999\"/>\n", y, WIDTH);
        for (uint32_t offset : offsets) {
            const double at = strip == 0 ? offset / size : (offset ? std::log2(offset + 1.0) / std::log2(size) : 0.0);
            fprintf(out, "<rect x=\"%.1f\" y=\"%d\" width=\"1.5\" height=\"24\" fill=\"#c00\"/>\n", 10 + at * WIDTH, y);
        }
        fprintf(out, "<text x=\"10\" y=\"%d\" font-size=\"11\">%s</text>\n", y + 38,
                strip == 0 ? "offset 0 to the chip's end, to scale"
                           : "offset on a log scale: 0, 1, 2, 4, ... the chip's end");
    }
    fputs("</svg>\n", out);
}

void print_models(FILE* out, const std::vector<ModelRow>& models)
{
    fputs("<h2>By fault model</h2>\n<table>\n<tr><th>part</th><th>fault model</th><th>faults</th>"
          "<th>caught</th><th>coverage</th><th>method</th></tr>\n",
          out);
    for (const ModelRow& m : models)
        fprintf(out,
                "<tr><td>%s</td><td>%s</td><td class=\"n\">%llu</td><td class=\"n\">%llu</td>"
                "<td class=\"n\">%.4g%%</td><td>%s</td></tr>\n",
                html_text(m.part).c_str(), html_text(m.model).c_str(), static_cast<unsigned long long>(m.faults),
                static_cast<unsigned long long>(m.caught), m.percent(), html_text(m.method).c_str());
    fputs("</table>\n", out);
}

} // namespace

void print_coverage_html(FILE* out, const std::vector<CoverageRow>& rows, const std::vector<ModelRow>& models,
                         const std::vector<PairCoverage>& pairs, const std::vector<const CellCoverage*>& cells)
{
    fputs("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
          "<title>Korva board tests: fault coverage</title>\n"
          "<style>body{font-family:sans-serif;margin:2em}table{border-collapse:collapse}"
          "td,th{border:1px solid #999;padding:2px 8px;text-align:left}td.n{text-align:right}"
          "tr.all td{font-weight:bold}</style>\n"
          "</head>\n<body>\n<h1>Fault coverage of the board tests</h1>\n",
          out);
    // What the text report says, in its order; the fault list comes last.
    const std::vector<ClassRow> classes = class_rows(rows);
    fprintf(out, "<h2 id=\"summary\">Summary</h2>\n<p><strong>%s</strong></p>\n",
            html_text(coverage_line(classes.back())).c_str());
    fputs("<table>\n<tr><th>part</th><th>fault class</th><th>faults</th><th>caught</th><th>missed</th>"
          "<th>hung</th></tr>\n",
          out);
    for (const ClassRow& c : classes)
        fprintf(out,
                "<tr%s><td>%s</td><td>%s</td><td class=\"n\">%d</td><td class=\"n\">%d</td><td class=\"n\">%d</td>"
                "<td class=\"n\">%d</td></tr>\n",
                c.part == "all" ? " class=\"all\"" : "", html_text(c.part).c_str(), html_text(c.fault_class).c_str(),
                c.faults(), c.counts[0], c.counts[1], c.counts[2]);
    fputs("</table>\n", out);
    for (Detection v : {Detection::MISSED, Detection::HUNG}) {
        std::string items;
        for (const CoverageRow& row : rows)
            if (row.detection() == v)
                items += "<li>" + html_text(row.fault.name) + " (" + html_text(row.fault.spec) + ")</li>\n";
        if (!items.empty())
            fprintf(out, "<h3>%s</h3>\n<ul>\n%s</ul>\n", detection_text(v), items.c_str());
    }
    if (!models.empty())
        print_models(out, models);
    for (const PairCoverage& p : pairs)
        for (const auto& [classes_hidden, count] : p.missed_by_class)
            fprintf(out, "<p>%s pairs that hide each other: %s, %llu (e.g. %s)</p>\n", html_text(p.part).c_str(),
                    html_text(classes_hidden).c_str(), static_cast<unsigned long long>(count),
                    html_text(p.example_by_class.at(classes_hidden)).c_str());
    if (!cells.empty()) {
        fputs("<h2>Cells the tests read</h2>\n<p>Each red line is a cell that the memory's test reads and "
              "checks; a fault in any other cell goes unseen.</p>\n",
              out);
        for (const CellCoverage* c : cells)
            print_picture(out, *c);
    }
    fputs("<h2 id=\"faults\">Every single fault of the catalogue</h2>\n<table>\n<tr><th>fault</th><th>name</th>"
          "<th>SDRAM</th><th>FLASH</th><th>SRAM</th><th>verdict</th></tr>\n",
          out);
    for (const CoverageRow& row : rows) {
        fprintf(out, "<tr><td>%s</td><td>%s</td>", html_text(row.fault.spec).c_str(), html_text(row.fault.name).c_str());
        for (const TestOutcome& o : row.outcomes)
            fprintf(out, "<td class=\"n\">%s</td>", code_text(o).c_str());
        fprintf(out, "<td>%s</td></tr>\n", detection_text(row.detection()));
    }
    fputs("</table>\n</body>\n</html>\n", out);
}

} // namespace korvasim
