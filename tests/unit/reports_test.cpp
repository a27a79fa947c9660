// Device and driver reports over records the simulator never sends: NULL
// entries and texts, counts without arrays, negative counts, dependency
// names that match no device or two.
#include "wrap_test.h"

namespace {

class ReportsTest : public WrapTest {};

TEST_F(ReportsTest, DriversWithNullEntriesTextsOrArray)
{
    XAL_SINGLEDRIVERINFO blank{};
    XAL_SINGLEDRIVERINFO io{fake::str("io"), fake::str("1.0"), fake::str("Beta"), fake::str("digital")};
    XAL_SINGLEDRIVERINFO* entries[] = {nullptr, &blank, &io};
    const std::pair<XAL_DRIVERINFO, std::string> cases[] = {
        {{3, entries},
         "\n\nFound 3 drivers\nDriver:  (Version: )\nVendor: \nComment: \n\n"
         "Driver: io (Version: 1.0)\nVendor: Beta\nComment: digital\n\n"},
        {{-1, entries}, "\n\nFound -1 drivers\n"},
        {{2, nullptr}, "\n\nFound 2 drivers\n"},
    };
    for (const auto& c : cases) {
        fake::on("GetDriverInfo").always(c.first);
        EXPECT_EQ(output([] { EXPECT_EQ(print_driverinfo(HC), E_OK); }), c.second);
    }
    fake::on("GetDriverInfo").always(fake::Answer());
    EXPECT_EQ(output([] { EXPECT_EQ(print_driverinfo(HC), E_FAILURE); }), "");
}

XAL_SINGLEDEVICEINFO device(const char* name, const char* driver, const char* stat, std::vector<char*>* deps = nullptr,
                            int dependsOn = 0)
{
    XAL_SINGLEDEVICEINFO d{};
    d.name = fake::str(name);
    d.driver = fake::str(driver);
    d.stat_str = fake::str(stat);
    d.dependenciescount = deps ? static_cast<int32_t>(deps->size()) : 0;
    d.dependencies = deps ? deps->data() : nullptr;
    d.dependsoncount = dependsOn;
    return d;
}

std::string devices(std::vector<XAL_SINGLEDEVICEINFO*> list)
{
    fake::on("GetAllDeviceInfo").always(XAL_DEVICEINFO{static_cast<int32_t>(list.size()), list.data()});
    return testsupport::captureStdout([] { EXPECT_EQ(print_deviceinfo(11), E_OK); });
}

TEST_F(ReportsTest, DevicesStandAloneFirstThenEachWithItsDependencies)
{
    std::vector<char*> midDeps = {fake::str("Leaf"), fake::str("Ghost")};
    std::vector<char*> topDeps = {fake::str("Mid")};
    XAL_SINGLEDEVICEINFO mid = device("Mid", "dm", "m", &midDeps, 1);
    XAL_SINGLEDEVICEINFO top = device("Top", "dt", "", &topDeps);
    XAL_SINGLEDEVICEINFO leaf = device("Leaf", "dl", nullptr, nullptr, 1);
    XAL_SINGLEDEVICEINFO leaf2 = device("Leaf", "d2", "x", nullptr, 1);
    XAL_SINGLEDEVICEINFO alone = device(nullptr, nullptr, "ok");
    XAL_SINGLEDEVICEINFO noArray = device("P", "dp", "p");
    noArray.dependenciescount = 2; // claims dependencies, gives no array
    EXPECT_EQ(devices({&mid, nullptr, &top, &leaf, &alone, &noArray, &leaf2}),
              " *                                   ok\n"
              " * Mid                          dm   m\n"
              "   * Leaf                       dl   inactive\n"
              "             d2   x\n"
              "   * Ghost         \n"
              " * Top                          dt   inactive\n"
              "   * Mid                        dm   m\n"
              " * P                            dp   p\n");
    EXPECT_EQ(devices({}), "");
    fake::on("GetAllDeviceInfo").always(fake::Answer());
    EXPECT_EQ(output([] { EXPECT_EQ(print_deviceinfo(HC), E_FAILURE); }), "");
}

} // namespace
