// Shared fixture of the wrapper helper tests.
#ifndef WRAP_TEST_H
#define WRAP_TEST_H

#include "ControllerWrap.h"
#include "fake_tessaro.h"
#include "stdout_capture.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <string>
#include <vector>

using Ops = std::vector<std::string>;
using Ints = std::vector<long long>;

// Every test starts from an unscripted fake and ends with every record the
// fake handed out given back exactly once through the right Destroy.
class WrapTest : public ::testing::Test {
protected:
    static constexpr HController HC = 11;

    void SetUp() override { fake::reset(); }
    void TearDown() override { EXPECT_TRUE(fake::recordsGivenBackOnce()); }

    template <class F> static std::string output(F&& body) { return testsupport::captureStdout(body); }
};

#endif
