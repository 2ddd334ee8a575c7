#pragma once
// A device's sample stream: turns every sample notification into rows of floats (signal
// channels, battery percent, valid flag), holds slow channels, turns counter channels into
// sample numbers, fills lost samples with synthesised rows and delivers the rows to the
// per-row or the batched data callback. It also owns the host-set layout and the
// frames-per-callback setting.
//
// Threads and locks: OnSamplePayload and OnBatteryNotification run on notification threads;
// everything else on API threads or the device's open/reconnect thread. One stream mutex
// guards the tables, buffers and callbacks; the data callbacks run with it held and inside a
// DataCallbackScope. A callback setter or SetActiveLayout called from inside one of this
// stream's callbacks does not take the mutex (this thread holds it): the change is kept and
// made when the callback returns (callbacks) or when the payload is done (layout). While
// holding the mutex the stream may take the configuration mutex (never the reverse).
//
// No row is thrown away: rows waiting in a partly filled batch go to the batched callback
// before the callback is replaced or cleared, before another layout takes effect, and when the
// device asks for them (a lost link). That delivery runs on the thread
// making the change, under the stream mutex, inside a DataCallbackScope. Only a device that
// is no longer registered (closed) gets no rows.
//
// What the device does around it: after a successful open it calls BuildTables() before it
// marks itself connected; before teardown it marks itself not connected and calls
// FreeTables(). Subscribing and unsubscribing the sample and battery characteristics is the
// device's job: the callback setters return whether the stream should run.
//
// Processing a payload allocates nothing: every buffer is sized when the tables are built or
// a layout is applied; only the batch buffer grows when frames per callback was raised.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mivoble/mivoble.h"
#include "protocol/configuration_collector.h"
#include "protocol/payload_size_monitor.h"
#include "protocol/protocol_handler.h"
#include "protocol/stream_diagnostics.h"

namespace Mivo::BLE {

inline constexpr uint32_t kMinFramesPerCallback = 1;
inline constexpr uint32_t kMaxFramesPerCallback = 64;
inline constexpr uint32_t kDefaultFramesPerCallback = 4;
inline constexpr uint16_t kMinRowCapacity = 64;
inline constexpr uint16_t kDefaultHostSamplingRate = 256;
inline constexpr int32_t kGapLimitWithoutRate = 1000;

class SampleStream {
public:
    // findHandle: the handle the device is registered under (from the boundary's table); it
    //   throws when the device is not registered, and then the rows are not delivered.
    // linkUp: optional; false while the device is not connected or is being torn down, and
    //   then notifications are ignored. Checked before and again under the stream lock.
    SampleStream(ConfigurationCollector& configuration, std::function<MIVOBLE_HANDLE()> findHandle,
                 std::function<bool()> linkUp = {}, StreamDiagnostics& diagnostics = StreamDiagnostics::Instance());
    SampleStream(const SampleStream&) = delete;
    SampleStream& operator=(const SampleStream&) = delete;

    // The device name that the stream's log lines begin with; set before the stream runs.
    void SetDeviceName(const std::string& name);

    // ---- tables ----
    // Builds the stream tables from the configuration (and the handler) in force, zeroes the
    // rows and finishes the device information (channel types, channel count, rate).
    void BuildTables();
    // Frees the tables; payloads are ignored until the next BuildTables().
    void FreeTables();
    bool TablesBuilt() const;

    // Host layout of N channels, F frames per payload, rate R (configuration only; the stream
    // tables follow at the next BuildTables()).
    void ApplyHostLayout(uint8_t channelCount, uint16_t framesPerPayload, uint16_t samplingRate);
    // The NUS open: one channel, one frame, the device information's rate or 256 when it is 0.
    void ApplyDefaultHostLayout();
    // Every NUS connect, reconnects included: the host layout the host set last, which an
    // amplifier that only lost its link still streams in; the default layout until the host
    // sets one. A kept layout is checked by the payloads that follow: when they have the
    // default layout's size and not the kept one's (the amplifier restarted), the stream falls
    // back to the default layout with a WARN line.
    void ApplyConnectLayout();

    // Sets the host layout: 0 when in force, -1 when rejected (nothing changed): no channels,
    // no frames, a sample width other than 3 or 4, more frames than the row capacity, or a
    // payload whose byte or value count does not fit 16 bits. A partly filled batch is
    // delivered first (on this thread), so that no batch mixes rows of two layouts.
    // From inside a data callback of this stream: checked at once, in force from the next
    // payload on.
    int32_t SetActiveLayout(uint8_t channelCount, uint16_t framesPerPayload, uint8_t bytesPerSample, bool littleEndian,
                            uint16_t samplingRate);
    // Host layout with a new channel count, the current frames per payload (1 when none), the
    // current sample format and rate; -1 for a count of 0.
    int32_t SetChannelCount(uint8_t channelCount);

    // ---- delivery ----
    // 1..64, else ApiException "Frames per callback must be between 1 and 64." code 4.
    void SetFramesPerCallback(uint32_t frames);
    uint32_t FramesPerCallback() const { return framesPerCallback_.load(std::memory_order_relaxed); }
    // Each setter clears the other callback; returns true when a callback is now set (start
    // the stream) and false when none is (stop it). Rows waiting in a partly filled batch go
    // to the batched callback first, on this thread, before the setter returns; registrations
    // that callback makes meanwhile are superseded by this one. From inside a data callback of
    // this stream the change is made when that callback returns: the next row goes to the new one.
    bool SetDataAvailableCallback(DataAvailableCallback callback);
    bool SetDataAvailableBatchedCallback(DataAvailableBatchedCallback callback);
    bool HasCallback() const;
    // Whether the calling thread is running one of this stream's data callbacks.
    bool DeliveringOnThisThread() const;
    // Delivers the rows waiting in a partly filled batch now, on this thread (a lost link:
    // its rows go out before the loss is reported).
    void DeliverWaitingRows();
    // The sample subscription has ended: a new one counts from 1 again, so its first payload
    // is measured against zero rows, as after an open.
    void ForgetPreviousRows();

    // ---- notification entry points (never throw) ----
    void OnSamplePayload(const uint8_t* data, size_t length) noexcept;
    void OnBatteryNotification(const uint8_t* data, size_t length) noexcept;

    // ---- inspection ----
    uint16_t RowWidth() const;
    uint16_t FramesPerPayload() const;
    uint16_t RowCapacity() const;
    // Payloads dropped because their size did not match the layout (each is also reported at
    // WARN, rate-limited).
    uint64_t SizeMismatchDrops() const;

private:
    void BuildLocked(ConfigurationSnapshot snapshot, bool keepCapacity);
    // Counts and reports a payload whose size does not match the layout, or falls back to the
    // default layout when the amplifier evidently restarted; the decoder then drops a
    // mismatched payload as before.
    void CheckPayloadSizeLocked(size_t length);
    void FallBackToDefaultLayoutLocked(size_t keptSize, size_t received);
    void ProcessLocked(const uint8_t* data, size_t length);
    void DeliverRowLocked(const float* row);
    void DeliverWaitingRowsLocked();
    // The batch buffer for frames per callback rows (or the rows waiting, when more).
    void SizeBatchLocked();
    void InstallRowCallbackLocked(DataAvailableCallback callback);
    void InstallBatchCallbackLocked(DataAvailableBatchedCallback callback);
    // Makes the changes asked for from inside a data callback (see the setters).
    void ApplyPendingCallbackLocked();
    void ApplyPendingLayoutLocked();
    // Both, outside a payload (after rows went out on an API or the reconnect thread).
    void ApplyPendingLocked();
    bool LayoutAcceptableLocked(uint8_t channelCount, uint16_t framesPerPayload, uint8_t bytesPerSample) const;
    int32_t ApplyLayoutLocked(uint8_t channelCount, uint16_t framesPerPayload, uint8_t bytesPerSample,
                              bool littleEndian, uint16_t samplingRate);
    float* CurrentRow(size_t k) { return current_.data() + k * rowWidth_; }
    float* PreviousRow(size_t k) { return previous_.data() + k * rowWidth_; }

    ConfigurationCollector& configuration_;
    const std::function<MIVOBLE_HANDLE()> findHandle_;
    const std::function<bool()> linkUp_;
    StreamDiagnostics& diagnostics_;

    mutable std::mutex mutex_;
    bool built_ = false;
    std::shared_ptr<IProtocolHandler> handler_;
    ConfigurationSnapshot config_;  // what the tables derive from
    std::vector<int32_t> scatter_;  // per payload record: offset in the row grid, -1 outside
    std::vector<uint16_t> hold_;    // per signal column: 1 + last frame index naming it, 0 none
    // A signal column of a counter channel, and which of its cells every payload writes.
    struct CounterColumn {
        uint16_t column = 0;
        std::vector<bool> written;  // per frame
        size_t firstRow = 0;        // the first written frame; frames per payload when none is
    };
    std::vector<CounterColumn> counterColumns_;  // ascending
    std::optional<size_t> gapColumn_;            // index of the highest one the payloads carry
    uint16_t framesPerPayload_ = 0;
    uint16_t rowCapacity_ = 0;
    uint16_t rowWidth_ = 0;
    std::vector<float> values_;
    std::vector<float> current_;
    std::vector<float> previous_;
    double previousLastCounter_ = 0.0;  // exact (wrapped) frame number of the previous rows' last row
    std::vector<float> output_;

    // The host layout the host set last (its sample format lives in the handler); kept over
    // reconnects. restartCheck_: a kept layout is in force and no payload has confirmed it yet.
    struct HostLayout {
        uint8_t channels = 1;
        uint16_t frames = 1;
        uint16_t rate = kDefaultHostSamplingRate;
    };
    std::optional<HostLayout> hostLayout_;
    bool restartCheck_ = false;
    std::string deviceName_;
    PayloadSizeMonitor sizeMonitor_;

    DataAvailableCallback rowCallback_ = nullptr;
    DataAvailableBatchedCallback batchCallback_ = nullptr;
    std::vector<float> batch_;
    uint32_t batchRows_ = 0;
    std::atomic<uint32_t> framesPerCallback_{kDefaultFramesPerCallback};

    // Asked for from inside a data callback; made by the delivering thread (under mutex_).
    struct PendingCallback {
        bool batched = false;
        DataAvailableCallback row = nullptr;
        DataAvailableBatchedCallback batch = nullptr;
    };
    struct PendingLayout {
        uint8_t channelCount = 0;
        uint16_t framesPerPayload = 0;
        uint8_t bytesPerSample = 0;
        bool littleEndian = false;
        uint16_t samplingRate = 0;
    };
    std::optional<PendingCallback> pendingCallback_;
    std::optional<PendingLayout> pendingLayout_;
};

}  // namespace Mivo::BLE
