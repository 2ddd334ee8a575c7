// liblsl, the Lab Streaming Layer library, loaded at run time: the tool does not link it, so
// nothing but `mivoble lsl` needs it installed. Only liblsl's documented C functions are used,
// declared here with their C signatures.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace Mivo::Cli {

// Opaque liblsl handles.
using LslStreamInfo = struct LslStreamInfoOpaque*;
using LslOutlet = struct LslOutletOpaque*;
using LslXml = struct LslXmlOpaque*;
using LslResolver = struct LslResolverOpaque*;

// liblsl's channel formats used here.
constexpr int32_t kLslFloat32 = 1;
constexpr int32_t kLslString = 3;

// The oldest liblsl accepted (major * 100 + minor, as lsl_library_version() reports it).
constexpr int32_t kLslOldestVersion = 114;

// liblsl is missing, unusable or too old: one line that says what was tried and what to do.
struct LslUnavailable : std::runtime_error {
    using std::runtime_error::runtime_error;
};

struct LslFunctions {
    int32_t (*library_version)();
    double (*local_clock)();
    const char* (*last_error)();
    LslStreamInfo (*create_streaminfo)(const char* name, const char* type, int32_t channels, double rate,
                                       int32_t format, const char* sourceId);
    void (*destroy_streaminfo)(LslStreamInfo info);
    LslXml (*get_desc)(LslStreamInfo info);
    LslXml (*append_child)(LslXml element, const char* name);
    LslXml (*append_child_value)(LslXml element, const char* name, const char* value);
    const char* (*get_name)(LslStreamInfo info);
    const char* (*get_type)(LslStreamInfo info);
    const char* (*get_source_id)(LslStreamInfo info);
    const char* (*get_hostname)(LslStreamInfo info);
    const char* (*get_uid)(LslStreamInfo info);
    int32_t (*get_channel_count)(LslStreamInfo info);
    double (*get_nominal_srate)(LslStreamInfo info);
    int32_t (*get_channel_format)(LslStreamInfo info);
    LslOutlet (*create_outlet)(LslStreamInfo info, int32_t chunkSize, int32_t maxBuffered);
    void (*destroy_outlet)(LslOutlet outlet);
    int32_t (*have_consumers)(LslOutlet outlet);
    LslStreamInfo (*get_info)(LslOutlet outlet);
    int32_t (*push_chunk_ftnp)(LslOutlet outlet, const float* data, unsigned long elements, const double* stamps,
                               int32_t pushthrough);
    int32_t (*push_sample_strtp)(LslOutlet outlet, const char** data, double stamp, int32_t pushthrough);
    int32_t (*resolve_all)(LslStreamInfo* buffer, uint32_t elements, double waitSeconds);
    LslResolver (*create_continuous_resolver_byprop)(const char* prop, const char* value, double forgetAfter);
    int32_t (*resolver_results)(LslResolver resolver, LslStreamInfo* buffer, uint32_t elements);
    void (*destroy_continuous_resolver)(LslResolver resolver);
};

// Where liblsl is looked for, in order: MIVOBLE_LSL_LIBRARY when set (and then only there),
// otherwise liblsl.so.2, then liblsl.so, through the dynamic loader's search path.
std::vector<std::string> LslCandidates();

class LslLibrary {
public:
    // Loads liblsl from the first candidate that opens; throws LslUnavailable when none does,
    // when one lacks a function used here, or when its version is below kLslOldestVersion.
    explicit LslLibrary(const std::vector<std::string>& candidates = LslCandidates());
    ~LslLibrary();
    LslLibrary(const LslLibrary&) = delete;
    LslLibrary& operator=(const LslLibrary&) = delete;

    const LslFunctions& Api() const { return api_; }
    const std::string& Path() const { return path_; }  // the file that was loaded
    int32_t Version() const { return version_; }
    // "1.16" from 116.
    static std::string VersionText(int32_t version);

private:
    void* handle_ = nullptr;
    std::string path_;
    int32_t version_ = 0;
    LslFunctions api_{};
};

}  // namespace Mivo::Cli
