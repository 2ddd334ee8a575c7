#include "cli/lsl_outlet.h"

#include <unistd.h>

#include <cstdio>
#include <mutex>

#include "cli/cli_error.h"

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif
#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_ignore_thread_begin();
extern "C" void __tsan_ignore_thread_end();
#endif

namespace Mivo::Cli {

namespace {

// Around a push: liblsl is not instrumented, and its consumer threads read what a push stores
// (the strings of a marker, which it copies through libstdc++) after a hand-over through its
// lock-free queue that ThreadSanitizer cannot see. What liblsl does on this thread during the
// push is hidden from ThreadSanitizer, so that those reads are not taken for races; everything
// else this thread does stays checked.
class LibraryWork {
public:
#if defined(__SANITIZE_THREAD__)
    LibraryWork() { __tsan_ignore_thread_begin(); }
    ~LibraryWork() { __tsan_ignore_thread_end(); }
#else
    LibraryWork() = default;
#endif
    LibraryWork(const LibraryWork&) = delete;
    LibraryWork& operator=(const LibraryWork&) = delete;
};

// Seconds of samples an outlet keeps for a consumer that falls behind (liblsl's usual value).
constexpr int32_t kBufferSeconds = 360;

std::string LslError(const LslFunctions& api) {
    const char* text = api.last_error();
    return text && *text ? text : "no reason given";
}

// Owns a stream info until an outlet has copied it.
struct Info {
    const LslFunctions& api;
    LslStreamInfo info;
    ~Info() {
        if (info) api.destroy_streaminfo(info);
    }
};

LslOutlet MakeOutlet(const LslFunctions& api, LslStreamInfo info, const std::string& what) {
    LslOutlet outlet = api.create_outlet(info, 0, kBufferSeconds);
    if (!outlet) throw OperationError("cannot create the LSL outlet " + what + ": " + LslError(api));
    return outlet;
}

// Outlets kept at their owner's end; reachable to the end of the process.
std::mutex g_keptMutex;
std::vector<LslOutlet> g_kept;

void Release(const LslFunctions& api, LslOutlet outlet) {
    if (!outlet) return;
    if (api.have_consumers(outlet) == 0) {
        api.destroy_outlet(outlet);
        return;
    }
    std::lock_guard<std::mutex> lock(g_keptMutex);
    g_kept.push_back(outlet);
}

}  // namespace

bool LslOutletsKept() {
    std::lock_guard<std::mutex> lock(g_keptMutex);
    return !g_kept.empty();
}

void EndProcessWithKeptOutlets(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
#if defined(__SANITIZE_ADDRESS__)
    __lsan_do_leak_check();  // the check at exit is skipped by _exit
#endif
    _exit(status);
}

LslOutlets::LslOutlets(const LslFunctions& api, const LslStreamDescription& d)
    : api_(api), channels_(d.channels.size()), markersName_(d.name + " markers") {
    Info eeg{api, api.create_streaminfo(d.name.c_str(), "EEG", static_cast<int32_t>(channels_), d.rate, kLslFloat32,
                                        d.sourceId.c_str())};
    if (!eeg.info) throw OperationError("cannot describe the LSL stream " + d.name + ": " + LslError(api));
    LslXml desc = api.get_desc(eeg.info);
    LslXml channels = api.append_child(desc, "channels");
    for (const auto& c : d.channels) {
        LslXml channel = api.append_child(channels, "channel");
        api.append_child_value(channel, "label", c.label.c_str());
        api.append_child_value(channel, "unit", c.unit.c_str());
        api.append_child_value(channel, "type", c.type.c_str());
    }
    LslXml acquisition = api.append_child(desc, "acquisition");
    api.append_child_value(acquisition, "manufacturer", d.manufacturer.c_str());
    api.append_child_value(acquisition, "model", d.model.c_str());
    api.append_child_value(acquisition, "serial_number", d.serialNumber.c_str());
    api.append_child_value(acquisition, "firmware_version", d.firmware.c_str());
    api.append_child_value(acquisition, "hardware_version", d.hardware.c_str());

    Info marks{api, api.create_streaminfo(markersName_.c_str(), "Markers", 1, 0.0, kLslString,
                                          (d.sourceId + "-markers").c_str())};
    if (!marks.info) throw OperationError("cannot describe the LSL stream " + markersName_ + ": " + LslError(api));
    LslXml markAcquisition = api.append_child(api.get_desc(marks.info), "acquisition");
    api.append_child_value(markAcquisition, "serial_number", d.serialNumber.c_str());

    samples_ = MakeOutlet(api, eeg.info, d.name);
    try {
        markers_ = MakeOutlet(api, marks.info, markersName_);
    } catch (...) {
        Release(api, samples_);
        throw;
    }
    if (LslStreamInfo own = api.get_info(samples_)) {
        if (const char* uid = api.get_uid(own)) uid_ = uid;
        api.destroy_streaminfo(own);
    }
}

LslOutlets::~LslOutlets() {
    Release(api_, markers_);
    Release(api_, samples_);
}

void LslOutlets::Samples(const float* values, std::size_t rows, const double* times) {
    [[maybe_unused]] LibraryWork work;
    if (api_.push_chunk_ftnp(samples_, values, static_cast<unsigned long>(rows * channels_), times, 1) != 0)
        ++pushFailures_;
}

void LslOutlets::Marker(const std::string& text, double time) {
    const char* sample[] = {text.c_str()};
    [[maybe_unused]] LibraryWork work;
    if (api_.push_sample_strtp(markers_, sample, time, 1) != 0) ++pushFailures_;
}

}  // namespace Mivo::Cli
