// Device and driver reports: print_driverinfo and print_deviceinfo.
#include "wrap_test.h"

namespace {

class DriverInfoTest : public WrapTest {
protected:
    int print(std::string& out)
    {
        int rc = 99;
        out = output([&] { rc = print_driverinfo(HC); });
        return rc;
    }
};

TEST_F(DriverInfoTest, ListThatCannotBeFetched)
{
    std::string out;
    EXPECT_EQ(print(out), E_FAILURE);
    EXPECT_EQ(out, "");
    EXPECT_EQ(fake::count("DestroyDriverInfo"), 0u);
}

TEST_F(DriverInfoTest, EmptyList)
{
    fake::on("GetDriverInfo").always(fake::DriverInfo{});
    std::string out;
    EXPECT_EQ(print(out), E_OK);
    EXPECT_EQ(out, "\n\nFound 0 drivers\n");
}

TEST_F(DriverInfoTest, EveryBlockEndsWithAnEmptyLineAndOneDriverIsStillPlural)
{
    fake::DriverInfo one;
    one.drivers = {fake::DriverEntry{"ecat", "2.1", "Acme", "EtherCAT master"}};
    fake::on("GetDriverInfo").always(one);
    std::string out;
    EXPECT_EQ(print(out), E_OK);
    EXPECT_EQ(out,
              "\n\nFound 1 drivers\n"
              "Driver: ecat (Version: 2.1)\n"
              "Vendor: Acme\n"
              "Comment: EtherCAT master\n"
              "\n");

    fake::DriverInfo two;
    two.drivers = {fake::DriverEntry{"ecat", "2.1", "Acme", ""}, fake::DriverEntry{"io", "1.0", "Beta", "digital"}};
    fake::on("GetDriverInfo").always(two);
    EXPECT_EQ(print(out), E_OK);
    EXPECT_EQ(out,
              "\n\nFound 2 drivers\n"
              "Driver: ecat (Version: 2.1)\nVendor: Acme\nComment: \n\n"
              "Driver: io (Version: 1.0)\nVendor: Beta\nComment: digital\n\n");
}

TEST_F(DriverInfoTest, MissingEntriesAndTextsAndNegativeCounts)
{
    fake::DriverInfo odd;
    odd.drivers = {std::nullopt, fake::DriverEntry{nullptr, nullptr, nullptr, nullptr}};
    fake::on("GetDriverInfo").always(odd);
    std::string out;
    EXPECT_EQ(print(out), E_OK);
    EXPECT_EQ(out, "\n\nFound 2 drivers\nDriver:  (Version: )\nVendor: \nComment: \n\n");

    fake::DriverInfo negative;
    negative.drivercount = -1;
    fake::on("GetDriverInfo").always(negative);
    EXPECT_EQ(print(out), E_OK);
    EXPECT_EQ(out, "\n\nFound -1 drivers\n");

    fake::DriverInfo noArray;
    noArray.drivercount = 2;
    fake::on("GetDriverInfo").always(noArray);
    EXPECT_EQ(print(out), E_OK);
    EXPECT_EQ(out, "\n\nFound 2 drivers\n");
}

// ---- print_deviceinfo -------------------------------------------------------------

fake::DeviceEntry device(const char* name, const char* driver, const char* stat, std::vector<fake::Text> deps = {},
                         int dependsOn = 0)
{
    fake::DeviceEntry d;
    d.name = name;
    d.driver = driver;
    d.stat_str = stat;
    d.dependencies = std::move(deps);
    d.dependsoncount = dependsOn;
    return d;
}

class DeviceInfoTest : public WrapTest {
protected:
    int print(std::vector<std::optional<fake::DeviceEntry>> devices, std::string& out)
    {
        fake::DeviceInfo info;
        info.devices = std::move(devices);
        fake::on("GetAllDeviceInfo").always(info);
        int rc = 99;
        out = output([&] { rc = print_deviceinfo(HC); });
        return rc;
    }
};

TEST_F(DeviceInfoTest, ListThatCannotBeFetched)
{
    std::string out = output([] { EXPECT_EQ(print_deviceinfo(HC), E_FAILURE); });
    EXPECT_EQ(out, "");
}

TEST_F(DeviceInfoTest, EmptyList)
{
    std::string out;
    EXPECT_EQ(print({}, out), E_OK);
    EXPECT_EQ(out, "");
    EXPECT_EQ(fake::count("DestroyDeviceInfo"), 1u);
}

TEST_F(DeviceInfoTest, StandAloneDevicesComeFirstThenDependenciesNested)
{
    std::string out;
    EXPECT_EQ(print({device("Y", "drvY", "ok", {"Z"}), device("X", "drvX", "running"), device("Z", "drvZ", "idle", {}, 1)},
                    out),
              E_OK);
    EXPECT_EQ(out,
              " * X                          drvX   running\n"
              " * Y                          drvY   ok\n"
              "   * Z                        drvZ   idle\n");
}

TEST_F(DeviceInfoTest, EmptyOrMissingStatusShowsInactiveWhateverTheState)
{
    fake::DeviceEntry a = device("A", "drv", "");
    a.state = XAL_DEV_ACTIVE;
    a.statestring = "active";
    fake::DeviceEntry b = device("B", "drv", nullptr);
    fake::DeviceEntry c = device("C", "drv", "fault 3");
    c.state = XAL_DEV_INACTIVE;
    std::string out;
    EXPECT_EQ(print({a, b, c}, out), E_OK);
    EXPECT_EQ(out,
              " * A                           drv   inactive\n"
              " * B                           drv   inactive\n"
              " * C                           drv   fault 3\n");
}

TEST_F(DeviceInfoTest, NameMatchingTwoDevicesGetsTwoStatusParts)
{
    std::string out;
    EXPECT_EQ(print({device("Main", "m", "on", {"Sub"}), device("Sub", "s1", "a", {}, 1), device("Sub", "s2", "b", {}, 1)},
                    out),
              E_OK);
    EXPECT_EQ(out,
              " * Main                          m   on\n"
              "   * Sub                        s1   a\n"
              "             s2   b\n");
}

TEST_F(DeviceInfoTest, NameOfNoListedDeviceStillEndsItsLine)
{
    std::string out;
    EXPECT_EQ(print({device("Main", "m", "on", {"Ghost", "Sub"}), device("Sub", "s", "a", {}, 1)}, out), E_OK);
    EXPECT_EQ(out,
              " * Main                          m   on\n"
              "   * Ghost         \n"
              "   * Sub                         s   a\n");
}

TEST_F(DeviceInfoTest, LongNamesAndDriversPushTheLineRight)
{
    std::string out;
    EXPECT_EQ(print({device("AVeryLongDeviceName", "AVeryLongDriverName", "ok", {"AnotherLongName"}),
                     device("AnotherLongName", "d", "x", {}, 1)},
                    out),
              E_OK);
    EXPECT_EQ(out,
              " * AVeryLongDeviceName AVeryLongDriverName   ok\n"
              "   * AnotherLongName               d   x\n");
}

TEST_F(DeviceInfoTest, DeviceInBothListsShowsAtTopLevelAndNested)
{
    std::string out;
    EXPECT_EQ(print({device("Mid", "dm", "m", {"Leaf"}, 1), device("Top", "dt", "t", {"Mid"}),
                     device("Leaf", "dl", "l", {}, 1)},
                    out),
              E_OK);
    EXPECT_EQ(out,
              " * Mid                          dm   m\n"
              "   * Leaf                       dl   l\n"
              " * Top                          dt   t\n"
              "   * Mid                        dm   m\n");
}

TEST_F(DeviceInfoTest, MissingEntriesAndTextsAreSkippedOrEmpty)
{
    fake::DeviceEntry noNames = device(nullptr, nullptr, "ok");
    fake::DeviceEntry depsWithoutArray = device("P", "dp", "p");
    depsWithoutArray.dependenciescount = 2; // claims dependencies, gives no array
    std::string out;
    EXPECT_EQ(print({std::nullopt, noNames, depsWithoutArray}, out), E_OK);
    EXPECT_EQ(out,
              " *                                   ok\n"
              " * P                            dp   p\n");
}

} // namespace
