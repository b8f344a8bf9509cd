#ifndef XONSPAN_TESTS_VARIANTS_H
#define XONSPAN_TESTS_VARIANTS_H

#include <gtest/gtest.h>

#include <string>

#include "span_kernel.h"

inline span_kernel_variant kernel_variant(std::size_t i)
{
    const span_kernel_variant* list;
    span_kernel_variants(&list);
    return list[i];
}

inline std::size_t kernel_variant_count()
{
    const span_kernel_variant* list;
    return span_kernel_variants(&list);
}

inline std::string kernel_variant_name(const testing::TestParamInfo<std::size_t>& info)
{
    return kernel_variant(info.param).name;
}

// Runs a suite parameterised by variant index once per variant this CPU can run.
#define INSTANTIATE_FOR_EVERY_KERNEL(suite)                                                                \
    INSTANTIATE_TEST_SUITE_P(Kernels, suite, testing::Range<std::size_t>(0, kernel_variant_count()), \
                             kernel_variant_name)

#endif
