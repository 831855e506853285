// Tests run once for every kernel set of the fast picture path that this
// processor has, the best one chosen again afterwards.
#ifndef DCTLAB_TESTS_IMGCODEC_EVERY_KERNEL_H
#define DCTLAB_TESTS_IMGCODEC_EVERY_KERNEL_H

#include <cstddef>
#include <string>

#include <gtest/gtest.h>

#include "fast_path.h"

class EveryKernel : public testing::TestWithParam<std::size_t>
{
  protected:
    void SetUp() override
    {
        namespace fast = dctlab::img::fast;
        if (GetParam() >= fast::kernel_count())
            GTEST_SKIP() << "this processor lacks the instruction set";
        fast::choose_kernel(GetParam());
    }
    void TearDown() override { dctlab::img::fast::choose_kernel(0); }
};

// The kernel set's name, or what a processor without it skips.
inline std::string kernel_name(const testing::TestParamInfo<std::size_t> &info)
{
    namespace fast = dctlab::img::fast;
    return info.param < fast::kernel_count() ? std::string(fast::kernel(info.param).name)
                                             : "unavailable_" + std::to_string(info.param);
}

#define DCTLAB_FOR_EVERY_KERNEL(suite)                                                             \
    INSTANTIATE_TEST_SUITE_P(Kernels, suite, testing::Values(0, 1, 2), kernel_name)

#endif
