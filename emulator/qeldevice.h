// The emulated Qel device: the device end of the two vendor requests, with an
// installed firmware image, the firmware transfer and a set of faults that a
// real device (or its cable) can show. Plain C++, no I/O and no threads: who
// serves it calls control_out/control_in one transfer at a time.
#ifndef EMULATOR_QELDEVICE_H
#define EMULATOR_QELDEVICE_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "controltarget.h"

namespace qel {

struct DeviceConfig {
    // Identity. When `installed` holds an image (at least its 32-byte header)
    // and identity_from_image is true, the image's header supplies all three.
    std::string product = "Qel";
    uint16_t version = 102;
    uint16_t build = 31;
    bool identity_from_image = true;

    std::vector<uint8_t> installed;   // installed image (whole file bytes, scrambled body); may be empty
    std::function<uint64_t()> clock_us;   // default: steady clock; tests pass the virtual clock
    uint32_t burst_room = 1024;       // room granted per status request
    uint32_t busy_us = 0;             // busy time after each burst (flash programming)
    uint32_t latency_us = 0;          // per-transfer latency (applied by whoever serves the device)
    uint32_t flash_size = 1048576;    // largest image the device takes; a bigger one gets no room
    bool keep_log = true;             // record every transfer in log()

    // Faults (parse_fault sets them from "MODE[=ARG]").
    bool always_busy = false;         // ready flag 0 in every reply
    bool no_room = false;             // status answers room 0 forever
    uint32_t offset_lag = 0;          // reported offset is this many bytes behind
    uint32_t fail_writes = 0;         // the first N OUT transfers stall
    bool short_reads = false;         // IN transfers supply fewer bytes than asked ...
    uint32_t short_read_count = 0;    // ... for the first N of them (0: every one)
    std::vector<uint8_t> never_tags;  // reply items with these tags are never sent
    int32_t checksum_skew = 0;        // added to every checksum once an update was installed
    uint32_t checksum_noise = 0;      // each checksum answer off by up to +/- N
    uint32_t noise_seed = 0x2545F491u;   // seed of the noise generator (deterministic)
    int64_t vanish_after = -1;        // goes away once this many image bytes arrived (-1: never)
};

// Parses one fault option "MODE[=ARG]" (as given to --fault) into cfg; false + *error on bad text.
bool parse_fault(const std::string &text, DeviceConfig &cfg, std::string *error);
std::string fault_help();   // one line per fault mode, for --help

struct LogEntry {
    bool out;                   // OUT (host to device) or IN
    uint8_t request;
    std::vector<uint8_t> data;  // OUT payload or IN reply (as supplied)
    uint16_t value = 0;
    uint16_t index = 0;
};

class Device : public qeldriver::ControlTarget {
public:
    explicit Device(DeviceConfig cfg);

    // Vendor OUT control transfer. 0 on success, else an errno value (EIO for a stall).
    int control_out(uint8_t request, uint16_t value, uint16_t index, const uint8_t *data, size_t length) override;
    // Vendor IN control transfer of up to length bytes; *supplied = bytes supplied (may be < length).
    int control_in(uint8_t request, uint16_t value, uint16_t index, uint8_t *out, size_t length, size_t *supplied) override;

    bool gone() const;                 // the device went away (fault); every transfer then fails
    uint32_t latency_us() const;
    std::string product() const;
    uint16_t version() const;
    uint16_t build() const;
    const std::vector<LogEntry> &log() const;   // every request received, in order
    std::vector<uint8_t> installed() const;

    // The checksum the device holds for the first n body bytes of its image
    // (before skew and noise).
    uint32_t checksum(uint32_t n) const;
    uint32_t received() const;         // image bytes stored in the current transfer
    bool updated() const;              // a transfer has been completed and installed
    bool ready() const;                // what the ready flag says right now

private:
    struct Answer {
        uint8_t tag;
        uint8_t type;
        uint32_t value;
        std::string bytes;
    };

    uint64_t now_us() const;
    bool handle_message(const uint8_t *data, size_t length);   // false: went away
    void adopt_identity();
    void install();
    void reply_bytes(uint8_t *reply) const;
    uint32_t checksum_answer(uint32_t n);
    bool answers(uint8_t tag) const;

    DeviceConfig cfg_;
    std::string product_;
    uint16_t version_;
    uint16_t build_;
    std::vector<uint8_t> installed_;
    std::vector<LogEntry> log_;
    std::vector<Answer> answer_;      // the items of the current reply

    bool gone_ = false;
    bool updated_ = false;
    uint64_t busy_until_us_ = 0;
    uint32_t writes_refused_ = 0;
    uint32_t reads_shortened_ = 0;
    uint32_t noise_state_;

    // The transfer in progress.
    bool transferring_ = false;
    bool refused_ = false;            // the announced image does not fit the flash
    uint32_t size_ = 0;
    uint32_t offset_ = 0;
    uint64_t image_bytes_ = 0;        // all image bytes ever received (for vanish_after)
    std::vector<uint8_t> incoming_;

    uint8_t selector1_ = 0;
    uint8_t selector2_ = 0;
    std::map<uint32_t, uint8_t> params_;   // by selector 1, selector 2 and tag
};

} // namespace qel

#endif
