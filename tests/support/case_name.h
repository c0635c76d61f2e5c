// Table-driven tests: each instance is named after its case's name field.
#ifndef KORVA_CASE_NAME_H
#define KORVA_CASE_NAME_H

#include <gtest/gtest.h>

#include <string>

struct CaseName {
    template <typename Case>
    std::string operator()(const testing::TestParamInfo<Case>& info) const
    {
        return info.param.name;
    }
};

#endif
