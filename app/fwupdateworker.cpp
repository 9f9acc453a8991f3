#include "fwupdateworker.h"

#include "fwimage.h"
#include "usdevice.h"
#include "sleepblock.h"
#include "ussleep.h"

namespace {

// A reading this close to the image's checksum counts as the image installed;
// the device may still be settling its flash when it is first asked.
const uint32_t kChecksumTolerance = 15;
const uint32_t kSteadySpread = 256;

} // namespace

FWUpdateWorker::FWUpdateWorker(QObject *parent)
    : QObject(parent)
{
}

FWUpdateWorker::~FWUpdateWorker() = default;

void FWUpdateWorker::process()
{
    const SleepBlock awake;   // until this returns, however it returns
    QString err = QStringLiteral("ERROR");
    completed = false;
    cause = US_CAUSE_NONE;
    const auto phase = [this](UpdatePhase p, int attempt) {
        if (on_phase)
            on_phase(p, attempt);
    };
    FWImage *image = job ? job->image : nullptr;
    UsDevice *dev = image ? image->device : nullptr;
    // Bytes past the header's declared end were never judged by the checksum
    // test, so they never reach the device.
    const uint32_t size = dev ? dev->get_fw_size() : 0;
    if (!dev || image->size <= 0 || size == 0 || size > uint32_t(image->size)) {
        cause = !dev ? US_CAUSE_NO_DEVICE
                : size == 0 ? US_CAUSE_IMAGE_NO_SIZE
                            : US_CAUSE_IMAGE_TRUNCATED;
        emit error(err);
        emit finished();
        return;
    }
    const auto fail = [&](const QString &text, us_cause why) {
        err = text;
        cause = why;
        emit error(err);
        emit finished();
    };

    phase(UpdatePhase::Preparing, 1);
    emit process_text(QStringLiteral("Preparing..."));

    // The device must report a steady checksum before anything is written to it.
    uint32_t lowest = 0, highest = 0;
    for (int i = 0; i < 3; ++i) {
        uint32_t v = 0;
        if (!dev->get_hw_checksum(size, &v))
            return fail(QStringLiteral("Cannot Get Hardware Checksum"), dev->cause());
        // 0 means the device has no reading yet; taken as a value it would
        // hide the spread of the readings around it.
        if (v == 0)
            continue;
        if (lowest == 0 || v < lowest)
            lowest = v;
        if (v > highest)
            highest = v;
    }
    if (highest - lowest > kSteadySpread)
        return fail(QStringLiteral("Hardware checksum is not valid."), US_CAUSE_UNSTEADY);

    for (int attempt = 0; attempt < 3; ++attempt) {
        us_sleep_ms(1000);
        phase(UpdatePhase::Sending, attempt + 1);
        if (attempt == 0)
            emit process_text(QStringLiteral("Sending and Updating..."));
        else
            emit process_text(QStringLiteral("Retrying... %1/%2").arg(attempt).arg(2));
        if (!dev->fw_update(image->data, size, &job->pos))
            return fail(QStringLiteral("Firmware Update Failed"), dev->cause());
        phase(UpdatePhase::Checking, attempt + 1);
        emit process_text(QStringLiteral("Checking..."));
        const int check_size = dev->get_fw_check_size();
        const uint32_t expected = dev->get_fw_checksum();
        for (int poll = 10; poll > 0; --poll) {
            us_sleep_ms(1000);
            uint32_t v = 0;
            if (!dev->get_hw_checksum(uint32_t(check_size), &v)) {
                // A device that has gone cannot be checked or sent to again;
                // the next attempt's transfer would fail the same way.
                if (us_cause_is_final(dev->cause()))
                    return fail(QStringLiteral("Firmware Update Failed"), dev->cause());
                continue;
            }
            const uint32_t distance = v > expected ? v - expected : expected - v;
            if (distance <= kChecksumTolerance) {
                completed = true;
                emit process_text(QStringLiteral("Completed.\n\nPlease turn the device's power on again."));
                emit finished();
                return;
            }
        }
        err = QStringLiteral("Hardware checksum is not equal to firmware.");
    }
    cause = US_CAUSE_MISMATCH;
    err += QStringLiteral("\n\nPlease contact the technical support.");
    emit error(err);
    emit finished();
}
