// Table-driven tests: each instance is named after its case's name field,
// and a failure prints the case's name (or its fault) instead of its bytes.
#ifndef KORVA_CASE_NAME_H
#define KORVA_CASE_NAME_H

#include <gtest/gtest.h>

#include <ostream>
#include <string>

struct CaseName {
    template <typename Case>
    std::string operator()(const testing::TestParamInfo<Case>& info) const
    {
        return info.param.name;
    }
};

namespace case_print {

template <typename Case>
auto operator<<(std::ostream& os, const Case& c) -> decltype(os << c.name)
{
    return os << c.name;
}

template <typename Case>
auto operator<<(std::ostream& os, const Case& c) -> decltype(os << c.fault)
{
    return os << c.fault;
}

} // namespace case_print

// GoogleTest's printer finds these by argument-dependent lookup, so they are
// declared where the case structs live: the file's unnamed namespace (a file
// whose cases live elsewhere says "using case_print::operator<<;" there).
namespace {
using case_print::operator<<;
} // namespace

#endif
