#include "station/serve/fixture_cycles.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "station/run/installation.h"

namespace korvastation {

using korvasim::Result;

Result FixtureCycles::load()
{
    std::ifstream in(path_);
    if (!in) {
        if (errno == ENOENT)
            return Result::ok();
        return Result::failure("cannot read the fixtures' cycle counts " + path_ + ": " + strerror(errno));
    }
    std::stringstream text;
    text << in.rdbuf();
    const nlohmann::json counts = nlohmann::json::parse(text.str(), nullptr, false);
    if (!counts.is_object())
        return Result::failure(path_ + ": not the fixtures' cycle counts (a JSON object of counts): mend or remove it");
    for (const auto& [fixture, n] : counts.items()) {
        if (!n.is_number_integer() || n.get<long>() < 0)
            return Result::failure(path_ + ": fixture " + fixture + "'s count is " + n.dump() +
                                   ", expected a whole number from 0: mend or remove it");
        counts_[fixture] = n.get<long>();
    }
    return Result::ok();
}

long FixtureCycles::count(const std::string& fixture) const
{
    const auto found = counts_.find(fixture);
    return found == counts_.end() ? 0 : found->second;
}

long FixtureCycles::add(const std::string& fixture)
{
    const long n = ++counts_[fixture];
    save();
    return n;
}

void FixtureCycles::reset(const std::string& fixture)
{
    counts_[fixture] = 0;
    save();
}

void FixtureCycles::save()
{
    const Result saved = replace_file(path_, nlohmann::json(counts_).dump() + "\n", "the fixtures' cycle counts");
    trouble_ = saved ? "" : saved.why();
}

} // namespace korvastation
