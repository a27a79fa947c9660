// Shared fixture of the wrapper helper tests.
#ifndef WRAP_TEST_H
#define WRAP_TEST_H

#include "ControllerWrap.h"
#include "fake_tessaro.h"
#include "stdout_capture.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <climits>
#include <cstdlib>
#include <fstream>
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

    template <class F> static std::string output(F&& body)
    {
        return testsupport::captureStdout(std::forward<F>(body));
    }
};

// Makes malloc of INT_MAX bytes fail for its lifetime where that can be
// arranged: a plain build lowers its address-space limit, the AddressSanitizer
// build caps allocations (sanitizer_options.cpp). Elsewhere (ThreadSanitizer,
// qemu-user) fails() is false and the test skips itself.
class LargeMallocFails {
public:
    LargeMallocFails()
    {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        // The current size plus a margin: the limit must not starve what already runs.
        std::ifstream status("/proc/self/status");
        std::string key;
        rlim_t kb = 0;
        while (status >> key && key != "VmSize:") {
        }
        status >> kb;
        const rlim_t margin = rlim_t{256} << 20;
        if (kb != 0 && getrlimit(RLIMIT_AS, &saved_) == 0 && (kb << 10) < saved_.rlim_cur - margin) {
            rlimit lower = saved_;
            lower.rlim_cur = (kb << 10) + margin;
            limited_ = setrlimit(RLIMIT_AS, &lower) == 0;
        }
#endif
        void* probe = malloc(static_cast<size_t>(INT_MAX));
        fails_ = probe == nullptr;
        free(probe);
    }
    ~LargeMallocFails()
    {
        if (limited_) {
            setrlimit(RLIMIT_AS, &saved_);
        }
    }
    bool fails() const { return fails_; }

private:
    rlimit saved_{};
    bool limited_ = false;
    bool fails_ = false;
};

#endif
