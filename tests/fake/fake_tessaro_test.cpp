// The fake's record bookkeeping: every unit test ends with it, so it must
// flag each way of getting records back wrong.
#include "fake_tessaro.h"

#include <gtest/gtest.h>

namespace {

TEST(FakeRecords, EachWayOfGivingBackWrongIsFlagged)
{
    struct Case {
        const char* what;
        void (*misuse)();
        bool ok;
    };
    const Case cases[] = {
        {"given back once", [] { DestroySingleDeviceInfo(GetDeviceInfo(1, 2)); }, true},
        {"never given back", [] { GetDeviceInfo(1, 2); }, false},
        {"given back twice",
         [] {
             XAL_SINGLEDEVICEINFO* d = GetDeviceInfo(1, 2);
             DestroySingleDeviceInfo(d);
             DestroySingleDeviceInfo(d);
         },
         false},
        {"given to another family", [] { DestroyDeviceInfo(reinterpret_cast<XAL_DEVICEINFO*>(GetDeviceInfo(1, 2))); },
         false},
        {"NULL given back", [] { DestroyNodeInfo(nullptr); }, false},
        {"job node type kept", [] { GetJobNodeTypeInfo(1, 0); }, true},
    };
    for (const Case& c : cases) {
        fake::reset();
        fake::on("GetDeviceInfo").always(XAL_SINGLEDEVICEINFO{});
        fake::on("GetJobNodeTypeInfo").always(XAL_JOBNODEINFO{});
        c.misuse();
        EXPECT_EQ(static_cast<bool>(fake::recordsGivenBackOnce()), c.ok) << c.what;
    }
    fake::reset();
}

} // namespace
