// MIVOBLE_UploadImage's exchange: the image in chunks over one SMP session, steered by the
// offsets the device reports. With a device that says it has request buffers to spare, several
// chunks are in flight at once; otherwise one at a time with the fixed chunk sizes.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <deque>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/api_exception.h"
#include "core/i_device.h"
#include "smp/cbor.h"
#include "smp/management_commands.h"
#include "smp/management_lock.h"
#include "smp/sha256.h"
#include "smp/smp_frame.h"
#include "smp/smp_parameters.h"

namespace Mivo::BLE {
namespace {

std::string FormatUploadFailure(const char* format, uint32_t offset, uint32_t size, int32_t rc = 0) {
    char text[256];
    std::snprintf(text, sizeof text, format, offset, size, rc);
    return text;
}

[[noreturn]] void ThrowDeviceError(uint32_t offset, uint32_t size, int32_t rc) {
    throw ApiException(FormatUploadFailure("Upload failed at offset %u/%u: SMP rc=%d (MCUboot: 1=EINVAL, 2=ENOENT, "
                                           "5=EIO, 8=ENOMEM, 22=BAD_FORMAT, 28=ENOSPC)",
                                           offset, size, rc),
                       -1);
}

// Asks the server for its buffers once per connection; no answer in time or an error reads
// as "not supported". A failed write is the link's failure and passes.
SmpServerParameters ServerParameters(IDevice& device, ISmpSession& session, uint32_t timeoutMs) {
    SmpServerParameters parameters = session.Parameters();
    if (parameters.known) return parameters;
    const auto request = BuildParametersRequest(device.NextSmpSequence());
    session.Send(request);
    try {
        const auto response = session.Wait(request, timeoutMs);
        parameters = ParseParametersResponse(response.data(), response.size());
    } catch (const std::runtime_error&) {
        parameters = SmpServerParameters{true, false, 0, 0};
    }
    session.SetParameters(parameters);
    return parameters;
}

struct Sent {
    std::vector<uint8_t> frame;
    uint32_t offset = 0;
    uint32_t length = 0;
};

class Uploader {
public:
    Uploader(IDevice& device, ISmpSession& session, MIVOBLE_HANDLE handle, const uint8_t* data, uint32_t size,
             UploadProgressCallback progress, void* userData, const UploadPlan& plan, uint32_t timeoutMs)
        : device_(device),
          session_(session),
          handle_(handle),
          data_(data),
          size_(size),
          progress_(progress),
          userData_(userData),
          plan_(plan),
          timeoutMs_(timeoutMs),
          sha_(ComputeSha256(data, size)) {
        // The device steers the offsets and may send the upload back; a device that never lets it
        // finish is given up on after a generous number of requests instead of looping forever.
        const uint64_t minimumChunks =
            size <= plan.firstChunk ? 1
                                    : 1 + (uint64_t{size} - plan.firstChunk + plan.laterChunk - 1) / plan.laterChunk;
        maximumRequests_ = 4 * minimumChunks + 16;
    }

    void Run() {
        uint32_t next = 0;  // where the next chunk starts
        while (true) {
            // The first chunk goes alone: until the device has taken it, it may answer with an
            // offset of its own (a resumed upload) that makes later chunks useless.
            while (inFlight_.size() < plan_.window && next < size_ &&
                   (inFlight_.empty() || inFlight_.front().offset != 0)) {
                next += SendChunk(next);
            }
            if (inFlight_.empty()) return;  // cannot happen: an offset below the size is always in flight
            const Sent head = std::move(inFlight_.front());
            inFlight_.pop_front();
            const auto response = session_.Wait(head.frame, timeoutMs_);
            const uint32_t expected = head.offset + head.length;
            uint32_t reported = expected;
            const int32_t rc = ParseSmpResult(response, &reported);
            if (rc != 0) ThrowDeviceError(head.offset, size_, rc);
            if (reported > size_) {
                throw ApiException(FormatUploadFailure("Upload failed at offset %u/%u: the device reported an offset "
                                                       "beyond the image.",
                                                       head.offset, size_),
                                   -1);
            }
            if (reported != expected) {
                // A dropped, repeated or rejected chunk: what is still in flight was sent for
                // offsets the device does not expect. Take those answers, then go on from the
                // device's offset.
                Drain();
                next = reported;
            }
            Report(reported);
            if (reported >= size_) return;
        }
    }

private:
    uint32_t SendChunk(uint32_t offset) {
        if (++requests_ > maximumRequests_) {
            throw ApiException(
                FormatUploadFailure("Upload failed at offset %u/%u: the device does not let the upload finish.", offset,
                                    size_),
                -1);
        }
        const uint32_t limit = offset == 0 ? plan_.firstChunk : plan_.laterChunk;
        const uint32_t chunk = std::min(size_ - offset, limit);
        CborWriter body;
        if (offset == 0) {
            body.WriteMapHeader(4);
            body.WriteText("data");
            body.WriteBytes(data_, chunk);
            body.WriteText("len");
            body.WriteUnsigned(size_);
            body.WriteText("off");
            body.WriteUnsigned(0);
            body.WriteText("sha");
            body.WriteBytes(sha_.data(), sha_.size());
        } else {
            body.WriteMapHeader(2);
            body.WriteText("data");
            body.WriteBytes(data_ + offset, chunk);
            body.WriteText("off");
            body.WriteUnsigned(offset);
        }
        Sent sent{BuildSmpFrame(kSmpOpWrite, kSmpGroupImage, device_.NextSmpSequence(), kSmpImageUpload, body.Bytes()),
                  offset, chunk};
        session_.Send(sent.frame);
        inFlight_.push_back(std::move(sent));
        return chunk;
    }

    void Drain() {
        while (!inFlight_.empty()) {
            session_.Wait(inFlight_.front().frame, timeoutMs_);
            inFlight_.pop_front();
        }
    }

    // Progress goes forward only: an offset below one already reported is not reported again.
    void Report(uint32_t offset) {
        if (progress_ == nullptr || offset < reportedOffset_) return;
        reportedOffset_ = offset;
        progress_(handle_, offset, size_, userData_);
    }

    IDevice& device_;
    ISmpSession& session_;
    const MIVOBLE_HANDLE handle_;
    const uint8_t* const data_;
    const uint32_t size_;
    const UploadProgressCallback progress_;
    void* const userData_;
    const UploadPlan plan_;
    const uint32_t timeoutMs_;
    const std::array<uint8_t, 32> sha_;
    std::deque<Sent> inFlight_;
    uint64_t requests_ = 0, maximumRequests_ = 0;
    uint32_t reportedOffset_ = 0;
};

}  // namespace

void UploadImage(IDevice& device, MIVOBLE_HANDLE handle, const uint8_t* data, uint32_t size,
                 UploadProgressCallback progress, void* userData, const SmpTimeouts& timeouts) {
    if (data == nullptr || size == 0) throw ApiException("Image data and size must be valid.", 4);
    ManagementLock lock(&device);
    // One subscription for the whole upload; the session ends on every way out.
    const auto session = device.OpenSmpSession();
    const auto parameters = ServerParameters(device, *session, timeouts.parameters);
    const UploadPlan plan = PlanUpload(parameters, session->MaxFrame(), WindowLimitFromEnvironment());
    Uploader(device, *session, handle, data, size, progress, userData, plan, timeouts.uploadChunk).Run();
    session->Close();
}

}  // namespace Mivo::BLE
