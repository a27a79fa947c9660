// Shared fixture of the wrapper helper tests.
#ifndef WRAP_TEST_H
#define WRAP_TEST_H

#include "ControllerWrap.h"
#include "fake_tessaro.h"
#include "stdout_capture.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

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

// Makes malloc of very large blocks fail for its lifetime where that can be
// arranged: a plain build limits its address space; the AddressSanitizer
// build caps allocations at 1 GiB (sanitizer_options.cpp). Where neither
// works (ThreadSanitizer, qemu-user ignoring the limit) mallocFails() is
// false and the test skips itself.
class LargeMallocFails {
public:
    LargeMallocFails()
    {
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        const rlim_t margin = static_cast<rlim_t>(256) << 20;
        rlim_t vm = currentVmBytes();
        if (vm != 0 && getrlimit(RLIMIT_AS, &saved_) == 0 && vm < saved_.rlim_cur - margin) {
            rlimit lower = saved_;
            lower.rlim_cur = vm + margin;
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
    bool mallocFails() const { return fails_; }

private:
    static rlim_t currentVmBytes()
    {
        std::ifstream status("/proc/self/status");
        std::string key;
        while (status >> key) {
            if (key == "VmSize:") {
                unsigned long kb = 0;
                status >> kb;
                return static_cast<rlim_t>(kb) << 10;
            }
        }
        return 0;
    }
    rlimit saved_{};
    bool limited_ = false;
    bool fails_ = false;
};

#endif
