// The example an operator is shown in place of a fixture's pattern: made
// from the pattern, and always one the pattern takes; none for forms the
// maker does not know, which the configuration must then give.
#include <gtest/gtest.h>

#include "station/serve/serial_example.h"
#include "station/serve/serial_pattern.h"

namespace korvastation {
namespace {

struct ExampleCase {
    const char* pattern;
    const char* example;  // "" when none can be made
};

void PrintTo(const ExampleCase& c, std::ostream* os)
{
    *os << c.pattern;
}

class SerialExample : public testing::TestWithParam<ExampleCase> {};

TEST_P(SerialExample, IsOneThePatternTakes)
{
    const std::string made = example_of_pattern(GetParam().pattern);
    EXPECT_EQ(made, GetParam().example);
    if (!made.empty()) {
        EXPECT_TRUE(SerialPattern(GetParam().pattern).matches(made)) << made;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Station, SerialExample,
    testing::Values(ExampleCase{"KV[0-9]{6}", "KV123456"}, ExampleCase{"KV[[:digit:]]{2,4}-[A-F]", "KV12-C"},
                    ExampleCase{"(KV|KW)[0-9]+", "KV1"}, ExampleCase{"^SN-?[0-9A-Z]{3}$", "SN-123"},
                    ExampleCase{"[^0-9]X", "AX"}, ExampleCase{"(AB){2}C*", "ABABC"},
                    ExampleCase{"KV.{3}", "KV123"}, ExampleCase{"[[:upper:]][[:lower:]]", "Ab"},
                    ExampleCase{"KV\\d", ""}, ExampleCase{"KV\\.", "KV."}, ExampleCase{"[0-9]{1000}", ""}, ExampleCase{"[a-", ""},
                    ExampleCase{"(AB", ""}),
    [](const testing::TestParamInfo<ExampleCase>& info) { return "Pattern" + std::to_string(info.index); });

} // namespace
} // namespace korvastation
