#include "sim/analysis/coverage.h"

#include <nlohmann/json.hpp>

#include "sim/analysis/parallel.h"

namespace korvasim {

std::string code_text(const TestOutcome& outcome)
{
    return outcome.answered ? std::to_string(outcome.code) : "hang";
}

const char* detection_text(Detection d)
{
    return d == Detection::CAUGHT ? "caught" : d == Detection::MISSED ? "missed" : "hung";
}

Detection CoverageRow::detection() const
{
    bool failed = false;
    for (const TestOutcome& o : outcomes) {
        if (!o.answered)
            return Detection::HUNG;
        failed = failed || o.code != 0;
    }
    return failed ? Detection::CAUGHT : Detection::MISSED;
}

std::vector<CoverageRow> run_coverage(const std::vector<uint8_t>& image,
                                      const std::vector<CatalogueFault>& faults, const RunPlan& plan)
{
    std::vector<CoverageRow> rows(faults.size());
    parallel_for(faults.size(), plan.threads, [&](size_t i) {
        const FaultSet set = catalogue_faults(faults[i].spec);
        rows[i].fault = faults[i];
        // A run of its own for each test, so a hang in one hides no other.
        for (int t = 0; t < BOARD_TEST_COUNT; ++t)
            rows[i].outcomes[t] = run_board_test(image, set, TEST_COMMANDS[t], false, plan.budget_ms, plan.start);
    });
    return rows;
}

std::vector<ClassRow> class_rows(const std::vector<CoverageRow>& rows)
{
    std::vector<ClassRow> classes;
    ClassRow all{"all", "", {0, 0, 0}};
    for (const auto& [part, fault_class] : fault_classes()) {
        ClassRow c{part, fault_class, {0, 0, 0}};
        for (const CoverageRow& row : rows)
            if (row.fault.part == part && row.fault.fault_class == fault_class)
                ++c.counts[static_cast<int>(row.detection())];
        if (c.faults() == 0)
            continue;
        for (int v = 0; v < 3; ++v)
            all.counts[v] += c.counts[v];
        classes.push_back(c);
    }
    classes.push_back(all);
    return classes;
}

std::string coverage_line(const ClassRow& all)
{
    char text[96];
    snprintf(text, sizeof text, "coverage: %.1f%% of %d single faults caught",
             all.faults() ? 100.0 * all.counts[0] / all.faults() : 0.0, all.faults());
    return text;
}

void print_coverage_table(FILE* out, const std::vector<CoverageRow>& rows)
{
    fprintf(out, "%-6s %-22s %7s %7s %7s %7s\n", "part", "fault class", "faults", "caught",
            "missed", "hung");
    const std::vector<ClassRow> classes = class_rows(rows);
    for (const ClassRow& c : classes)
        fprintf(out, "%-6s %-22s %7d %7d %7d %7d\n", c.part.c_str(), c.fault_class.c_str(), c.faults(),
                c.counts[0], c.counts[1], c.counts[2]);
    fprintf(out, "\n%s\n", coverage_line(classes.back()).c_str());
    for (Detection v : {Detection::MISSED, Detection::HUNG}) {
        bool first = true;
        for (const CoverageRow& row : rows) {
            if (row.detection() != v)
                continue;
            if (first)
                fprintf(out, "\n%s:\n", detection_text(v));
            first = false;
            fprintf(out, "  %s (%s)\n", row.fault.name.c_str(), row.fault.spec.c_str());
        }
    }
}

void print_coverage_csv(FILE* out, const std::vector<CoverageRow>& rows)
{
    fprintf(out, "fault,name,sdram,flash,sram,verdict\n");
    for (const CoverageRow& row : rows)
        fprintf(out, "%s,%s,%s,%s,%s,%s\n", row.fault.spec.c_str(), row.fault.name.c_str(),
                code_text(row.outcomes[0]).c_str(), code_text(row.outcomes[1]).c_str(),
                code_text(row.outcomes[2]).c_str(), detection_text(row.detection()));
}

namespace {

nlohmann::ordered_json coverage_json(const std::vector<CoverageRow>& rows)
{
    // Codes are numbers; a hang is null.
    const auto code_json = [](const TestOutcome& o) {
        return o.answered ? nlohmann::ordered_json(o.code) : nlohmann::ordered_json(nullptr);
    };
    nlohmann::ordered_json matrix = nlohmann::ordered_json::array();
    for (const CoverageRow& row : rows)
        matrix.push_back({{"fault", row.fault.spec},
                          {"name", row.fault.name},
                          {"sdram", code_json(row.outcomes[0])},
                          {"flash", code_json(row.outcomes[1])},
                          {"sram", code_json(row.outcomes[2])},
                          {"verdict", detection_text(row.detection())}});
    return matrix;
}

} // namespace

double ModelRow::percent() const
{
    return faults ? 100.0 * static_cast<double>(caught) / static_cast<double>(faults) : 0.0;
}

void print_coverage_json(FILE* out, const std::vector<CoverageRow>& rows)
{
    fprintf(out, "%s\n", coverage_json(rows).dump(2).c_str());
}

std::vector<ModelRow> line_fault_rows(const std::vector<CoverageRow>& rows)
{
    std::vector<ModelRow> models;
    for (const char* part : {"SDRAM", "FLASH", "SRAM"}) {
        ModelRow m{part, "single line or field fault", 0, 0, "simulated, every fault of the catalogue"};
        for (const CoverageRow& row : rows)
            if (row.fault.part == part) {
                ++m.faults;
                m.caught += row.detection() == Detection::CAUGHT;
            }
        if (m.faults)
            models.push_back(m);
    }
    return models;
}

void print_model_table(FILE* out, const std::vector<ModelRow>& rows)
{
    fprintf(out, "%-6s %-28s %12s %12s %10s  %s\n", "part", "fault model", "faults", "caught", "coverage",
            "method");
    for (const ModelRow& m : rows)
        fprintf(out, "%-6s %-28s %12llu %12llu %9.4g%%  %s\n", m.part.c_str(), m.model.c_str(),
                static_cast<unsigned long long>(m.faults), static_cast<unsigned long long>(m.caught),
                m.percent(), m.method.c_str());
}

void print_model_csv(FILE* out, const std::vector<ModelRow>& rows)
{
    fprintf(out, "part,model,faults,caught,coverage_percent,method\n");
    for (const ModelRow& m : rows)
        fprintf(out, "%s,%s,%llu,%llu,%.4f,%s\n", m.part.c_str(), m.model.c_str(),
                static_cast<unsigned long long>(m.faults), static_cast<unsigned long long>(m.caught),
                m.percent(), m.method.c_str());
}

std::vector<ModelRow> pair_rows(const std::vector<PairCoverage>& pairs)
{
    std::vector<ModelRow> rows;
    for (const PairCoverage& p : pairs)
        rows.push_back({p.part, "pair of line faults", p.pairs, p.caught,
                        "simulated, every pair" + (p.hung ? " (" + std::to_string(p.hung) + " hung)" : std::string())});
    return rows;
}

void print_masking_pairs(FILE* out, const std::vector<PairCoverage>& pairs)
{
    for (const PairCoverage& p : pairs) {
        if (p.missed_by_class.empty())
            continue;
        fprintf(out, "\n%s pairs that hide each other:\n", p.part.c_str());
        for (const auto& [classes, count] : p.missed_by_class)
            fprintf(out, "  %-48s %6llu  e.g. %s\n", classes.c_str(), static_cast<unsigned long long>(count),
                    p.example_by_class.at(classes).c_str());
    }
}

void print_all_json(FILE* out, const std::vector<CoverageRow>& rows, const std::vector<ModelRow>& models,
                    const std::vector<PairCoverage>& pairs)
{
    nlohmann::ordered_json masking = nlohmann::ordered_json::array();
    for (const PairCoverage& p : pairs)
        for (const auto& [classes, count] : p.missed_by_class)
            masking.push_back({{"part", p.part},
                               {"classes", classes},
                               {"missed", count},
                               {"example", p.example_by_class.at(classes)}});
    nlohmann::ordered_json list = nlohmann::ordered_json::array();
    for (const ModelRow& m : models)
        list.push_back({{"part", m.part},
                        {"model", m.model},
                        {"faults", m.faults},
                        {"caught", m.caught},
                        {"coverage_percent", m.percent()},
                        {"method", m.method}});
    const nlohmann::ordered_json all = {
        {"line_faults", coverage_json(rows)}, {"fault_models", list}, {"masking_pairs", masking}};
    fprintf(out, "%s\n", all.dump(2).c_str());
}

} // namespace korvasim
