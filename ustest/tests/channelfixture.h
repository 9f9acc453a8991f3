// The fixture of the command and transfer tests: the emulated device (or
// scripted replies) behind the test channel, on the virtual clock, with the
// device record opened as the device object opens it.
#ifndef USTEST_TESTS_CHANNELFIXTURE_H
#define USTEST_TESTS_CHANNELFIXTURE_H

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "qeldevice.h"
#include "testchannel.h"
#include "usctl.h"
#include "virtualclock.h"

using Bytes = std::vector<uint8_t>;

// Diagnostic lines of usctl, in order.
inline std::string lines(std::initializer_list<int> numbers)
{
    std::string out;
    for (int n : numbers)
        out += "..\\ustest\\usctl:" + std::to_string(n) + ":ERROR\n";
    return out;
}

inline std::string repeat(const std::string &s, int n)
{
    std::string out;
    for (int i = 0; i < n; ++i)
        out += s;
    return out;
}

class ChannelFixture : public testing::Test {
protected:
    VirtualClock clock;
    qel::DeviceConfig cfg;
    std::unique_ptr<qel::Device> device;
    std::unique_ptr<ChannelAdapter<qel::Device>> adapter;
    ScriptedTarget script;
    std::unique_ptr<testchannel::Attached> attached;
    usctl_device rec{};
    usctl_handle handle = nullptr;

    ChannelFixture() { cfg.clock_us = [] { return VirtualClock::now_ms() * 1000; }; }

    void use_device(const char *fault = nullptr)
    {
        if (fault) {
            ASSERT_TRUE(qel::parse_fault(fault, cfg, nullptr));
        }
        device.reset(new qel::Device(cfg));
        adapter.reset(new ChannelAdapter<qel::Device>(*device));
        connect(*adapter);
    }
    void use_script() { connect(script); }
    void connect(ChannelTarget &target)
    {
        attached.reset();   // the old guard detaches when it goes
        attached.reset(new testchannel::Attached(target));
        usctl_init(&rec);
        usctl_exit(&rec);
        ASSERT_EQ(usctl_open(&rec, &handle), 0);
        testchannel::reset_counters();
    }
    const testchannel::Counters &count() const { return testchannel::counters(); }
    // The OUT payloads the device received.
    std::vector<Bytes> messages() const
    {
        std::vector<Bytes> out;
        for (const qel::LogEntry &e : device->log())
            if (e.out)
                out.push_back(e.data);
        return out;
    }
};

#endif
