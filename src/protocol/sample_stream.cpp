#include "protocol/sample_stream.h"

#include <algorithm>
#include <exception>
#include <utility>

#include "core/api_exception.h"
#include "log/log.h"
#include "protocol/data_callback_scope.h"
#include "protocol/frame_counter.h"

namespace Mivo::BLE {

SampleStream::SampleStream(ConfigurationCollector& configuration, std::function<MIVOBLE_HANDLE()> findHandle,
                           std::function<bool()> linkUp, StreamDiagnostics& diagnostics)
    : configuration_(configuration),
      findHandle_(std::move(findHandle)),
      linkUp_(std::move(linkUp)),
      diagnostics_(diagnostics) {}

void SampleStream::SetDeviceName(const std::string& name) {
    std::lock_guard lock(mutex_);
    deviceName_ = name;
    sizeMonitor_.SetDeviceName(name);
}

// ---- tables ------------------------------------------------------------------------------

void SampleStream::BuildTables() {
    {
        std::lock_guard lock(mutex_);
        handler_ = configuration_.Handler();
        if (!handler_) throw ApiException("No protocol handler has been selected.", MIVOBLE_ERROR_GENERAL);
        BuildLocked(configuration_.Snapshot(), /*keepCapacity=*/false);
        built_ = true;
    }
    configuration_.FinishDeviceInformation();
}

void SampleStream::BuildLocked(ConfigurationSnapshot snapshot, bool keepCapacity) {
    const uint16_t signalColumns = snapshot.amplifier.channelCount;
    const uint16_t width = static_cast<uint16_t>(signalColumns + 2);
    // Every row in the batch has the row width: rows of another width go out first.
    if (batchRows_ != 0 && width != rowWidth_) DeliverWaitingRowsLocked();
    config_ = std::move(snapshot);

    // Hold numbers: 0 for every channel of the table, then 1 + frame index of the last record naming it.
    std::map<uint16_t, uint16_t> holdTable;
    for (const auto& [id, record] : config_.channels) holdTable[id] = 0;
    for (const auto& record : config_.layout)
        holdTable[record.channelId] = static_cast<uint16_t>(record.frameIndex + 1);
    uint16_t frames = 0;
    for (const auto& [id, h] : holdTable) frames = std::max(frames, h);

    hold_.assign(signalColumns, 0);
    counterColumns_.clear();
    for (uint16_t j = 0; j < signalColumns; ++j) {
        auto h = holdTable.find(static_cast<uint16_t>(j + 1));
        if (h != holdTable.end()) hold_[j] = h->second;
        auto channel = config_.channels.find(static_cast<uint16_t>(j + 1));
        if (channel == config_.channels.end() || channel->second.type != kChannelTypeCounter) continue;
        // The cells of the column each payload writes: the frames its records name, and the
        // frames the hold step fills after the last of them. The others keep what they hold.
        CounterColumn counter{j, std::vector<bool>(frames, false), frames};
        for (const auto& record : config_.layout) {
            if (record.channelId == j + 1 && record.frameIndex < frames) counter.written[record.frameIndex] = true;
        }
        for (size_t k = hold_[j]; hold_[j] >= 1 && k < frames; ++k) counter.written[k] = true;
        for (size_t k = 0; k < frames; ++k) {
            if (counter.written[k]) {
                counter.firstRow = k;
                break;
            }
        }
        counterColumns_.push_back(std::move(counter));
    }
    // The gap fill counts in the highest counter column that the payloads carry.
    gapColumn_.reset();
    for (size_t c = counterColumns_.size(); c-- > 0;) {
        if (counterColumns_[c].firstRow < frames) {
            gapColumn_ = c;
            break;
        }
    }

    // Where each payload value goes in the row grid; -1 when it falls outside.
    scatter_.resize(config_.layout.size());
    for (size_t i = 0; i < config_.layout.size(); ++i) {
        const auto& r = config_.layout[i];
        const bool inside = r.channelId != 0 && r.channelId <= signalColumns && r.frameIndex < frames;
        scatter_[i] = inside ? static_cast<int32_t>(r.frameIndex * width + r.channelId - 1) : -1;
    }

    if (!keepCapacity) rowCapacity_ = std::max(frames, kMinRowCapacity);
    framesPerPayload_ = frames;
    rowWidth_ = width;
    values_.assign(config_.amplifier.valuesPerPayload, 0.0f);
    current_.assign(size_t{rowCapacity_} * width, 0.0f);
    previous_.assign(size_t{rowCapacity_} * width, 0.0f);
    previousLastCounter_ = 0.0;
    output_.assign(width, 0.0f);
}

void SampleStream::FreeTables() {
    std::lock_guard lock(mutex_);
    built_ = false;
    config_ = {};
    scatter_ = {};
    hold_ = {};
    counterColumns_ = {};
    gapColumn_.reset();
    values_ = {};
    current_ = {};
    previous_ = {};
    previousLastCounter_ = 0.0;
    output_ = {};
    framesPerPayload_ = 0;
}

bool SampleStream::TablesBuilt() const {
    std::lock_guard lock(mutex_);
    return built_;
}

uint16_t SampleStream::RowWidth() const {
    std::lock_guard lock(mutex_);
    return rowWidth_;
}

uint16_t SampleStream::FramesPerPayload() const {
    std::lock_guard lock(mutex_);
    return framesPerPayload_;
}

uint16_t SampleStream::RowCapacity() const {
    std::lock_guard lock(mutex_);
    return rowCapacity_;
}

uint64_t SampleStream::SizeMismatchDrops() const {
    std::lock_guard lock(mutex_);
    return sizeMonitor_.Count();
}

// ---- layout ------------------------------------------------------------------------------

void SampleStream::ApplyHostLayout(uint8_t channelCount, uint16_t framesPerPayload, uint16_t samplingRate) {
    // Under the stream lock: the sample width read here is written by SetActiveLayout.
    std::lock_guard lock(mutex_);
    auto handler = configuration_.Handler();
    const uint8_t width = handler ? handler->BytesPerSample() : 3;
    configuration_.ApplyHostLayout(channelCount, framesPerPayload, samplingRate, width);
}

void SampleStream::ApplyDefaultHostLayout() {
    const uint16_t rate = configuration_.DeviceInformationSamplingRate();
    ApplyHostLayout(1, 1, rate == 0 ? kDefaultHostSamplingRate : rate);
}

void SampleStream::ApplyConnectLayout() {
    std::lock_guard lock(mutex_);
    auto handler = configuration_.Handler();
    const uint8_t width = handler ? handler->BytesPerSample() : 3;
    if (!hostLayout_) {
        const uint16_t rate = configuration_.DeviceInformationSamplingRate();
        configuration_.ApplyHostLayout(1, 1, rate == 0 ? kDefaultHostSamplingRate : rate, width);
        restartCheck_ = false;
        return;
    }
    const HostLayout& kept = *hostLayout_;
    configuration_.ApplyHostLayout(kept.channels, kept.frames, kept.rate, width);
    // A kept layout of the default layout's size cannot be told from it, and needs no check.
    restartCheck_ = size_t{kept.channels} * kept.frames != 1;
    LogMessage(kLogInfo, "device '%s': keeping the host layout (%u channels, %u frames, %u bytes per sample, %u Hz)",
               deviceName_.c_str(), static_cast<unsigned>(kept.channels), static_cast<unsigned>(kept.frames),
               static_cast<unsigned>(width), static_cast<unsigned>(kept.rate));
}

int32_t SampleStream::SetActiveLayout(uint8_t channelCount, uint16_t framesPerPayload, uint8_t bytesPerSample,
                                      bool littleEndian, uint16_t samplingRate) {
    if (DeliveringOnThisThread()) {
        // This thread holds the lock and is in the middle of a payload whose buffers the
        // layout would replace: check now, apply when the payload is done.
        if (!LayoutAcceptableLocked(channelCount, framesPerPayload, bytesPerSample)) return -1;
        pendingLayout_ = PendingLayout{channelCount, framesPerPayload, bytesPerSample, littleEndian, samplingRate};
        return 0;
    }
    std::lock_guard lock(mutex_);
    const int32_t result =
        ApplyLayoutLocked(channelCount, framesPerPayload, bytesPerSample, littleEndian, samplingRate);
    ApplyPendingLocked();
    return result;
}

int32_t SampleStream::SetChannelCount(uint8_t channelCount) {
    std::lock_guard lock(mutex_);
    auto handler = configuration_.Handler();
    if (!handler) return -1;
    auto* nus = dynamic_cast<MivoNusProtocolHandler*>(handler.get());
    const uint16_t frames = framesPerPayload_ == 0 ? 1 : framesPerPayload_;
    const uint16_t rate = configuration_.GetAmplifierConfiguration().samplingRate;
    const int32_t result =
        ApplyLayoutLocked(channelCount, frames, handler->BytesPerSample(), nus != nullptr && nus->LittleEndian(), rate);
    ApplyPendingLocked();
    return result;
}

bool SampleStream::LayoutAcceptableLocked(uint8_t channelCount, uint16_t framesPerPayload,
                                          uint8_t bytesPerSample) const {
    auto handler = configuration_.Handler();
    if (!handler) return false;
    const uint16_t capacity = built_ ? rowCapacity_ : kMinRowCapacity;
    if (channelCount == 0 || framesPerPayload == 0 || (bytesPerSample != 3 && bytesPerSample != 4) ||
        framesPerPayload > capacity) {
        return false;
    }
    const bool nus = dynamic_cast<MivoNusProtocolHandler*>(handler.get()) != nullptr;
    const uint32_t width = nus ? bytesPerSample : handler->BytesPerSample();
    const uint32_t values = uint32_t{channelCount} * framesPerPayload;
    return values <= UINT16_MAX && values * width <= UINT16_MAX;
}

int32_t SampleStream::ApplyLayoutLocked(uint8_t channelCount, uint16_t framesPerPayload, uint8_t bytesPerSample,
                                        bool littleEndian, uint16_t samplingRate) {
    if (!LayoutAcceptableLocked(channelCount, framesPerPayload, bytesPerSample)) return -1;
    // Rows of the old layout go to the application before it changes: a batch never mixes
    // rows of two layouts.
    DeliverWaitingRowsLocked();
    auto handler = configuration_.Handler();
    auto* nus = dynamic_cast<MivoNusProtocolHandler*>(handler.get());
    const uint32_t width = nus ? bytesPerSample : handler->BytesPerSample();

    if (nus) nus->SetSampleFormat(bytesPerSample, littleEndian);
    configuration_.ApplyHostLayout(channelCount, framesPerPayload, samplingRate, static_cast<uint8_t>(width));
    configuration_.SetDeviceInformationSamplingRate(samplingRate);
    hostLayout_ = HostLayout{channelCount, framesPerPayload, samplingRate};
    restartCheck_ = false;  // the host says what the amplifier streams
    if (built_) {
        handler_ = handler;
        BuildLocked(configuration_.Snapshot(), /*keepCapacity=*/true);
        SizeBatchLocked();
    }
    return 0;
}

// ---- delivery settings -------------------------------------------------------------------

void SampleStream::SetFramesPerCallback(uint32_t frames) {
    if (frames < kMinFramesPerCallback || frames > kMaxFramesPerCallback) {
        throw ApiException("Frames per callback must be between 1 and 64.", MIVOBLE_ERROR_INVALID_ARGUMENT);
    }
    framesPerCallback_.store(frames, std::memory_order_relaxed);
}

bool SampleStream::SetDataAvailableCallback(DataAvailableCallback callback) {
    if (DeliveringOnThisThread()) {
        pendingCallback_ = PendingCallback{false, callback, nullptr};
        return callback != nullptr;
    }
    std::lock_guard lock(mutex_);
    InstallRowCallbackLocked(callback);
    ApplyPendingLocked();
    return rowCallback_ != nullptr || batchCallback_ != nullptr;
}

bool SampleStream::SetDataAvailableBatchedCallback(DataAvailableBatchedCallback callback) {
    if (DeliveringOnThisThread()) {
        // The batch buffer may be the very rows the running callback is reading.
        pendingCallback_ = PendingCallback{true, nullptr, callback};
        return callback != nullptr;
    }
    std::lock_guard lock(mutex_);
    InstallBatchCallbackLocked(callback);
    ApplyPendingLocked();
    return rowCallback_ != nullptr || batchCallback_ != nullptr;
}

void SampleStream::InstallRowCallbackLocked(DataAvailableCallback callback) {
    DeliverWaitingRowsLocked();
    pendingCallback_.reset();  // what the old callback asked for meanwhile: this registration comes after it
    rowCallback_ = callback;
    batchCallback_ = nullptr;
    batch_ = {};
}

void SampleStream::InstallBatchCallbackLocked(DataAvailableBatchedCallback callback) {
    DeliverWaitingRowsLocked();
    pendingCallback_.reset();
    batchCallback_ = callback;
    rowCallback_ = nullptr;
    if (callback) {
        SizeBatchLocked();
    } else {
        batch_ = {};
    }
}

void SampleStream::SizeBatchLocked() {
    if (!batchCallback_) return;
    // Never below the rows waiting: a lowered frames-per-callback setting leaves more.
    batch_.resize(size_t{std::max(FramesPerCallback(), batchRows_)} * rowWidth_);
}

void SampleStream::DeliverWaitingRowsLocked() {
    if (batchRows_ == 0) return;
    const uint32_t count = std::exchange(batchRows_, 0);
    if (!batchCallback_) return;
    MIVOBLE_HANDLE handle = 0;
    try {
        handle = findHandle_();
    } catch (...) {
        return;  // the device is closed: no row goes out under its handle any more
    }
    DataCallbackScope scope(handle, this);
    try {
        batchCallback_(handle, batch_.data(), count, rowWidth_);
    } catch (...) {
        // The rows were handed over; what the callback does with them is its own affair.
    }
}

void SampleStream::DeliverWaitingRows() {
    std::lock_guard lock(mutex_);
    DeliverWaitingRowsLocked();
    ApplyPendingLocked();
}

void SampleStream::ApplyPendingLocked() {
    // Applying one may deliver waiting rows, whose callback may ask for more; the batch is
    // empty after that, so this ends.
    while (pendingCallback_ || pendingLayout_) {
        ApplyPendingCallbackLocked();
        ApplyPendingLayoutLocked();
    }
}

void SampleStream::ForgetPreviousRows() {
    std::lock_guard lock(mutex_);
    std::fill(previous_.begin(), previous_.end(), 0.0f);
    previousLastCounter_ = 0.0;
}

void SampleStream::ApplyPendingCallbackLocked() {
    if (!pendingCallback_) return;
    const PendingCallback pending = *pendingCallback_;
    pendingCallback_.reset();
    if (pending.batched) {
        InstallBatchCallbackLocked(pending.batch);
    } else {
        InstallRowCallbackLocked(pending.row);
    }
}

void SampleStream::ApplyPendingLayoutLocked() {
    if (!pendingLayout_) return;
    const PendingLayout pending = *pendingLayout_;
    pendingLayout_.reset();
    ApplyLayoutLocked(pending.channelCount, pending.framesPerPayload, pending.bytesPerSample, pending.littleEndian,
                      pending.samplingRate);
}

bool SampleStream::DeliveringOnThisThread() const { return DataCallbackScope::CurrentStream() == this; }

bool SampleStream::HasCallback() const {
    std::lock_guard lock(mutex_);
    return rowCallback_ != nullptr || batchCallback_ != nullptr;
}

// ---- notifications -----------------------------------------------------------------------

void SampleStream::OnBatteryNotification(const uint8_t* data, size_t length) noexcept {
    try {
        if (linkUp_ && !linkUp_()) return;
        std::lock_guard lock(mutex_);
        if (!built_ || (linkUp_ && !linkUp_())) return;
        configuration_.DecodeBatteryLevel(ByteView(data, length));
    } catch (...) {
        // An undecodable battery value leaves the last level in place.
    }
}

void SampleStream::OnSamplePayload(const uint8_t* data, size_t length) noexcept {
    try {
        if (linkUp_ && !linkUp_()) return;
        std::lock_guard lock(mutex_);
        if (!built_ || (linkUp_ && !linkUp_())) return;
        diagnostics_.FirstNotification(length);
        try {
            CheckPayloadSizeLocked(length);
            ProcessLocked(data, length);
        } catch (const std::exception& e) {
            diagnostics_.ParseError(e.what());
        } catch (...) {
            diagnostics_.UnknownError();
        }
        // What a callback of this payload asked for, now that its buffers are free.
        ApplyPendingLocked();
    } catch (...) {
        // A failing link check or lock: the payload is dropped.
    }
}

void SampleStream::CheckPayloadSizeLocked(size_t length) {
    const size_t expected = config_.amplifier.payloadSize;
    if (length == expected) {
        restartCheck_ = false;  // the amplifier streams in the kept layout
        return;
    }
    // A restarted amplifier streams in its default layout: one value of the sample width.
    if (restartCheck_ && handler_->IsNusGeneration() && length == handler_->BytesPerSample()) {
        FallBackToDefaultLayoutLocked(expected, length);
        return;
    }
    sizeMonitor_.Dropped(expected, length);
}

void SampleStream::FallBackToDefaultLayoutLocked(size_t keptSize, size_t received) {
    LogMessage(kLogWarn,
               "device '%s': sample payloads have the default layout's size (%zu bytes), not the kept host layout's "
               "(%zu bytes): the amplifier has restarted; falling back to the default layout",
               deviceName_.c_str(), received, keptSize);
    restartCheck_ = false;
    hostLayout_.reset();
    DeliverWaitingRowsLocked();  // rows of the kept layout go out before it ends
    ApplyPendingCallbackLocked();
    // What the connect would have applied without a kept layout.
    const uint16_t rate = configuration_.DeviceInformationSamplingRate();
    configuration_.ApplyHostLayout(1, 1, rate == 0 ? kDefaultHostSamplingRate : rate, handler_->BytesPerSample());
    BuildLocked(configuration_.Snapshot(), /*keepCapacity=*/true);
    SizeBatchLocked();
    configuration_.FinishDeviceInformation();
}

void SampleStream::ProcessLocked(const uint8_t* data, size_t length) {
    const ByteView bytes(data, length);
    const size_t valueCount = values_.size();
    if (handler_->IsNusGeneration()) {
        handler_->DecodeNusPayload(bytes, values_.data(), valueCount, config_.amplifier, config_.layout);
    } else {
        handler_->DecodeLegacyPayload(bytes, values_.data(), valueCount, config_.amplifier, config_.channels,
                                      config_.filters, config_.layout);
    }

    const size_t W = rowWidth_;
    const size_t frames = framesPerPayload_;
    float* const rows = current_.data();

    // Scatter the values into the row grid.
    const size_t records = std::min(scatter_.size(), valueCount);
    for (size_t i = 0; i < records; ++i) {
        const int32_t at = scatter_[i];
        if (at < 0) throw ApiException("Payload index out of range.", MIVOBLE_ERROR_PAYLOAD);
        rows[at] = values_[i];
    }

    // Hold: a channel carried only in early frames keeps its last value in the later ones.
    for (size_t j = 0; j < hold_.size(); ++j) {
        const size_t h = hold_[j];
        if (h >= 1 && h < frames) {
            const float held = rows[(h - 1) * W + j];
            for (size_t k = h; k < frames; ++k) rows[k * W + j] = held;
        }
    }

    // Counters: a payload counter from 1 becomes a frame number, in every cell this payload
    // wrote (a cell it did not write was converted before, or never holds a counter). The gap
    // column's first and last frame numbers are kept exact for the gap check; the first is
    // the payload's own even when its first frame does not carry the counter.
    double firstCounter = 0.0, lastCounter = 0.0;
    for (size_t c = 0; c < counterColumns_.size(); ++c) {
        const CounterColumn& counter = counterColumns_[c];
        for (size_t k = counter.firstRow; k < frames; ++k) {
            if (!counter.written[k]) continue;
            float& v = rows[k * W + counter.column];
            const double number = FrameNumber(v, frames, k);
            v = FrameNumberCell(number);
            if (gapColumn_ != c) continue;
            if (k == counter.firstRow) firstCounter = WrapFrameNumber(number - static_cast<double>(k));
            lastCounter = number;  // the last frame always carries it (written or held)
        }
    }

    const float battery = static_cast<float>(configuration_.BatteryLevel());
    for (size_t k = 0; k < frames; ++k) {
        rows[k * W + W - 2] = battery;
        rows[k * W + W - 1] = 1.0f;
    }

    // Gap fill from the last row of the previous payload.
    if (gapColumn_ && frames != 0) {
        const size_t d = counterColumns_[*gapColumn_].column;
        const float* last = PreviousRow(frames - 1);
        const int32_t limit =
            config_.amplifier.samplingRate != 0 ? config_.amplifier.samplingRate : kGapLimitWithoutRate;
        const int32_t gap = MissingFrames(previousLastCounter_, firstCounter, limit);
        for (int32_t i = 0; i < gap; ++i) {
            std::copy(last, last + W, output_.begin());
            output_[d] = FrameNumberCell(WrapFrameNumber(previousLastCounter_ + static_cast<double>(i + 1)));
            output_[W - 1] = 0.0f;
            DeliverRowLocked(output_.data());
        }
    }

    for (size_t k = 0; k < frames; ++k) {
        std::copy(rows + k * W, rows + (k + 1) * W, output_.begin());
        DeliverRowLocked(output_.data());
    }
    std::copy(rows, rows + frames * W, previous_.begin());
    if (gapColumn_) previousLastCounter_ = lastCounter;
}

void SampleStream::DeliverRowLocked(const float* row) {
    const uint32_t W = rowWidth_;
    if (rowCallback_) {
        const MIVOBLE_HANDLE handle = findHandle_();
        {
            DataCallbackScope scope(handle, this);
            rowCallback_(handle, row, W);
        }
        ApplyPendingCallbackLocked();
        return;
    }
    if (!batchCallback_) return;
    const size_t at = size_t{batchRows_} * W;
    if (batch_.size() < at + W) batch_.resize(at + W);
    std::copy(row, row + W, batch_.begin() + static_cast<std::ptrdiff_t>(at));
    ++batchRows_;
    if (batchRows_ >= FramesPerCallback()) {
        const uint32_t count = batchRows_;
        batchRows_ = 0;  // an unregistered device drops the batch instead of growing it
        const MIVOBLE_HANDLE handle = findHandle_();
        {
            DataCallbackScope scope(handle, this);
            batchCallback_(handle, batch_.data(), count, W);
        }
        ApplyPendingCallbackLocked();
    }
}

}  // namespace Mivo::BLE
