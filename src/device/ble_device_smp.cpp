// The SMP transport: request frames written to the SMP characteristic without response, and
// response frames gathered from its notifications and matched to their requests by header.
// A session subscribes once for all of its requests: a single command is a session of one
// request, an upload a session of all of its chunks.
#include <chrono>
#include <stdexcept>
#include <string>

#include "device/ble_device.h"
#include "log/log.h"
#include "smp/smp_frame.h"

namespace Mivo::BLE {
namespace {

constexpr const char* kTimedOut = "SMP command timed out waiting for response";
constexpr size_t kAttHeader = 3;

}  // namespace

class BleDevice::SmpSession final : public ISmpSession {
public:
    // Takes the session lock, starts afresh and subscribes; a failed subscription leaves nothing.
    explicit SmpSession(BleDevice& device) : device_(device), lock_(device.smpSessionMutex_) {
        device_.smpMatcher_.Reset();
        // The handler refers to the device, not to this session: it may outlive a session whose
        // unsubscription failed, never the device (teardown removes every handler).
        SmpResponseMatcher* matcher = &device_.smpMatcher_;
        device_.gatt_.Subscribe(uuid_,
                                [matcher](const Bytes& value) { matcher->OnNotification(value.data(), value.size()); });
    }

    ~SmpSession() override {
        try {
            Close();
        } catch (...) {
            LogMessage(kLogWarn, "device '%s': ending an SMP session failed", device_.name_.c_str());
        }
    }

    void Close() override {
        if (closed_) return;
        closed_ = true;
        device_.gatt_.Unsubscribe(uuid_);
        device_.smpMatcher_.Reset();
    }

    void Send(const Bytes& frame) override {
        const auto key = ResponseKeyOf(frame);
        if (key) device_.smpMatcher_.Expect(*key);
        try {
            // A frame longer than one packet goes out in MTU - 3 byte writes; the server
            // rejoins it by the length in its header.
            device_.gatt_.WriteInPackets(uuid_, frame);
        } catch (...) {
            if (key) device_.smpMatcher_.Forget(*key);
            throw;
        }
    }

    Bytes Wait(const Bytes& frame, uint32_t timeoutMs) override {
        const auto key = ResponseKeyOf(frame);
        // The time-out bounds the wait for the response only, from this point.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        auto response = key ? device_.smpMatcher_.Wait(*key, deadline) : std::nullopt;
        if (!response) throw std::runtime_error(kTimedOut);
        return std::move(*response);
    }

    size_t MaxFrame() override {
        const uint16_t mtu = device_.gatt_.GetCharacteristic(uuid_)->GetMtu();
        return mtu > kAttHeader ? mtu - kAttHeader : 0;
    }

    SmpServerParameters Parameters() override {
        std::lock_guard<std::mutex> lock(device_.smpParametersMutex_);
        return device_.smpParameters_;
    }

    void SetParameters(const SmpServerParameters& parameters) override {
        std::lock_guard<std::mutex> lock(device_.smpParametersMutex_);
        device_.smpParameters_ = parameters;
    }

private:
    BleDevice& device_;
    std::unique_lock<std::mutex> lock_;
    const std::string uuid_{kSmpCharacteristicUuid};
    bool closed_ = false;
};

uint8_t BleDevice::NextSmpSequence() { return smpSequence_.fetch_add(1, std::memory_order_relaxed); }

std::unique_ptr<ISmpSession> BleDevice::OpenSmpSession() { return std::make_unique<SmpSession>(*this); }

void BleDevice::ForgetSmpParameters() {
    std::lock_guard<std::mutex> lock(smpParametersMutex_);
    smpParameters_ = {};
}

std::vector<uint8_t> BleDevice::SendSmpCommand(const std::vector<uint8_t>& frame, uint32_t timeoutMs) {
    SmpSession session(*this);
    session.Send(frame);
    Bytes response = session.Wait(frame, timeoutMs);
    session.Close();
    return response;
}

}  // namespace Mivo::BLE
