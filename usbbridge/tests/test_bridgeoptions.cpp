// Which devices the bridge may speak to is decided here, before libusb is
// involved: a wrong answer sends vendor requests to another maker's device.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bridgeoptions.h"

namespace {

using usbbridge::Options;
using usbbridge::UsbId;

bool parse(std::vector<std::string> args, Options *options, std::string *error)
{
    args.insert(args.begin(), "qel-usb-bridge");
    std::vector<char *> argv;
    for (std::string &a : args)
        argv.push_back(a.data());
    return usbbridge::parse_options(static_cast<int>(argv.size()), argv.data(), options, error);
}

TEST(BridgeOptions, IdsAndPortsAreTakenOnlyInTheirExactForm)
{
    const struct {
        std::vector<std::string> args;
        bool ok;
    } cases[] = {
        { { "--id", "1209:00aF" }, true },
        { { "--id", "1209:0001", "--id", "abcd:ef01", "--port", "1-4.2", "--port", "3-1" }, true },
        { { "--id", "1209:001" }, false },
        { { "--id", "1209-0001" }, false },
        { { "--id", "12g9:0001" }, false },
        { { "--id" }, false },
        { { "--port", "1" }, false },
        { { "--port", "1-" }, false },
        { { "--port", "-4" }, false },
        { { "--port", "1-4." }, false },
        { { "--port", "1-4..2" }, false },
        { { "--port", "1.2-4" }, false },
        { { "--port", "1-4/../x" }, false },
        { { "--probe" }, false },
    };
    for (const auto &c : cases) {
        Options options;
        std::string error;
        std::string joined;
        for (const std::string &a : c.args)
            joined += a + " ";
        EXPECT_EQ(c.ok, parse(c.args, &options, &error)) << joined << error;
    }
    Options options;
    std::string error;
    ASSERT_TRUE(parse({ "--id", "1209:00aF", "--port", "1-4.2" }, &options, &error));
    ASSERT_EQ(1u, options.ids.size());
    EXPECT_EQ(0x1209, options.ids[0].vendor);
    EXPECT_EQ(0x00af, options.ids[0].product);
    EXPECT_EQ(std::vector<std::string>{ "1-4.2" }, options.ports);
}

TEST(BridgeOptions, TheIdTableSkipsCommentsAndNamesItsFirstBadLine)
{
    std::vector<UsbId> ids;
    std::string error;
    ASSERT_TRUE(usbbridge::parse_id_table("# Qel devices\n\n1209:0001  Qel One\n  abcd:ef01\t# later model\n",
                                          &ids, &error));
    ASSERT_EQ(2u, ids.size());
    EXPECT_EQ(0xabcd, ids[1].vendor);
    EXPECT_EQ(0xef01, ids[1].product);

    ids.clear();
    EXPECT_FALSE(usbbridge::parse_id_table("1209:0001 ok\n1209:1 short\n", &ids, &error));
    EXPECT_NE(std::string::npos, error.find("line 2")) << error;

    ids.clear();
    EXPECT_TRUE(usbbridge::parse_id_table(usbbridge::builtin_id_table(), &ids, &error)) << error;
}

TEST(BridgeOptions, ADeviceIsSelectedByItsIdsItsPortOrTheTableAndNothingElse)
{
    Options options;
    options.ids = { { 0x1209, 0x0001 } };
    options.ports = { "1-4.2" };
    const std::vector<UsbId> table = { { 0x1209, 0x0009 } };
    EXPECT_TRUE(usbbridge::selected(options, table, { 0x1209, 0x0001 }, "2-1"));
    EXPECT_TRUE(usbbridge::selected(options, table, { 0x1209, 0x0009 }, "2-1"));
    EXPECT_TRUE(usbbridge::selected(options, table, { 0x0bda, 0x4014 }, "1-4.2"));
    EXPECT_FALSE(usbbridge::selected(options, table, { 0x0bda, 0x4014 }, "1-4"));
    EXPECT_FALSE(usbbridge::selected(options, table, { 0x1209, 0x0002 }, "1-4.2.1"));
    EXPECT_FALSE(usbbridge::selected(Options(), {}, { 0x1209, 0x0001 }, "1-4.2"));

    const uint8_t ports[] = { 4, 2 };
    EXPECT_EQ("1-4.2", usbbridge::port_path(1, ports, 2));
    EXPECT_EQ("3-4", usbbridge::port_path(3, ports, 1));
}

TEST(BridgeOptions, TheUdevRuleTagsEachIdForTheLoggedInUser)
{
    const std::string rule = usbbridge::udev_rule({ { 0x1209, 0x00af }, { 0xabcd, 0xef01 } });
    EXPECT_NE(std::string::npos,
              rule.find("SUBSYSTEM==\"usb\", ATTRS{idVendor}==\"1209\", ATTRS{idProduct}==\"00af\", "
                        "TAG+=\"uaccess\"\n"));
    EXPECT_NE(std::string::npos, rule.find("ATTRS{idVendor}==\"abcd\", ATTRS{idProduct}==\"ef01\""));
    EXPECT_NE(std::string::npos, usbbridge::usage().find("Lesser General Public License"));
}

} // namespace
