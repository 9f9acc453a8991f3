// Holds a umockdev testbed with one emulated Qel USB audio device for
// programs outside a test binary (the end-to-end run of the real window
// through the bridge). Prints "umockdev-dir: <dir>"; then each "state" line
// on stdin is answered with the device's firmware, and the end of stdin ends
// the program.
//
//   usbmockhost <installed image>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>
#include <string>

#include "usbfsmock.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: usbmockhost <installed image>\n");
        return 2;
    }
    std::ifstream f(argv[1], std::ios::binary);
    if (!f) {
        std::fprintf(stderr, "usbmockhost: cannot read %s\n", argv[1]);
        return 1;
    }
    UsbfsMock::DeviceSetup setup;
    setup.port = "1-1";
    setup.address = 2;
    setup.config.installed.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    setup.config.busy_us = 2000;
    UsbfsMock mock;
    mock.add(setup);
    std::cout << "umockdev-dir: " << mock.root_dir() << std::endl;
    for (std::string line; std::getline(std::cin, line);) {
        if (line != "state")
            continue;
        mock.with_device("1-1", [](qel::Device &d) {
            std::cout << "installed: " << d.product() << " " << d.version() << " build " << d.build()
                      << (d.updated() ? " (updated)" : "") << std::endl;
        });
    }
    return 0;
}
