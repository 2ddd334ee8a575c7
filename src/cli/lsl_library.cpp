#include "cli/lsl_library.h"

#include <dlfcn.h>
#include <link.h>

#include <cstdlib>
#include <cstring>

namespace Mivo::Cli {

namespace {

const char* kHowToGet =
    "install liblsl 1.14 or newer (the .deb of a liblsl release, or 'conda install -c conda-forge liblsl'; "
    "see docs/lsl.md) or set MIVOBLE_LSL_LIBRARY to its file";

// dlerror() without the file name it starts with.
std::string LoaderReason(const std::string& candidate) {
    const char* error = dlerror();
    std::string text = error ? error : "cannot be opened";
    if (text.rfind(candidate + ": ", 0) == 0) text.erase(0, candidate.size() + 2);
    return text;
}

std::string LoadedPath(void* handle, const std::string& fallback) {
    link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map && map->l_name && *map->l_name) return map->l_name;
    return fallback;
}

}  // namespace

std::vector<std::string> LslCandidates() {
    if (const char* path = std::getenv("MIVOBLE_LSL_LIBRARY"); path && *path) return {path};
    return {"liblsl.so.2", "liblsl.so"};
}

std::string LslLibrary::VersionText(int32_t version) {
    return std::to_string(version / 100) + "." + std::to_string(version % 100);
}

LslLibrary::LslLibrary(const std::vector<std::string>& candidates) {
    std::string tried;
    for (const auto& candidate : candidates) {
        handle_ = dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (handle_) {
            path_ = LoadedPath(handle_, candidate);
            break;
        }
        const bool fromEnvironment = candidates.size() == 1 && std::getenv("MIVOBLE_LSL_LIBRARY");
        tried += (tried.empty() ? "" : ", ") + (fromEnvironment ? "MIVOBLE_LSL_LIBRARY=" : std::string()) + candidate +
                 " (" + LoaderReason(candidate) + ")";
    }
    if (!handle_) throw LslUnavailable("liblsl not found: tried " + tried + "; " + kHowToGet);

    struct Symbol {
        const char* name;
        void** slot;
    };
    auto slot = [](auto& field) { return reinterpret_cast<void**>(&field); };
    const Symbol symbols[] = {
        {"lsl_library_version", slot(api_.library_version)},
        {"lsl_local_clock", slot(api_.local_clock)},
        {"lsl_last_error", slot(api_.last_error)},
        {"lsl_create_streaminfo", slot(api_.create_streaminfo)},
        {"lsl_destroy_streaminfo", slot(api_.destroy_streaminfo)},
        {"lsl_get_desc", slot(api_.get_desc)},
        {"lsl_append_child", slot(api_.append_child)},
        {"lsl_append_child_value", slot(api_.append_child_value)},
        {"lsl_get_name", slot(api_.get_name)},
        {"lsl_get_type", slot(api_.get_type)},
        {"lsl_get_source_id", slot(api_.get_source_id)},
        {"lsl_get_hostname", slot(api_.get_hostname)},
        {"lsl_get_uid", slot(api_.get_uid)},
        {"lsl_get_channel_count", slot(api_.get_channel_count)},
        {"lsl_get_nominal_srate", slot(api_.get_nominal_srate)},
        {"lsl_get_channel_format", slot(api_.get_channel_format)},
        {"lsl_create_outlet", slot(api_.create_outlet)},
        {"lsl_destroy_outlet", slot(api_.destroy_outlet)},
        {"lsl_have_consumers", slot(api_.have_consumers)},
        {"lsl_get_info", slot(api_.get_info)},
        {"lsl_push_chunk_ftnp", slot(api_.push_chunk_ftnp)},
        {"lsl_push_sample_strtp", slot(api_.push_sample_strtp)},
        {"lsl_resolve_all", slot(api_.resolve_all)},
        {"lsl_create_continuous_resolver_byprop", slot(api_.create_continuous_resolver_byprop)},
        {"lsl_resolver_results", slot(api_.resolver_results)},
        {"lsl_destroy_continuous_resolver", slot(api_.destroy_continuous_resolver)},
    };
    for (const auto& symbol : symbols) {
        *symbol.slot = dlsym(handle_, symbol.name);
        if (!*symbol.slot) {
            dlclose(handle_);
            handle_ = nullptr;
            throw LslUnavailable("the liblsl at " + path_ + " lacks " + symbol.name +
                                 ", so it is not a usable liblsl; " + kHowToGet);
        }
    }
    version_ = api_.library_version();
    if (version_ < kLslOldestVersion) {
        dlclose(handle_);
        handle_ = nullptr;
        throw LslUnavailable("the liblsl at " + path_ + " is version " + VersionText(version_) + ", older than the " +
                             VersionText(kLslOldestVersion) + " that mivoble lsl needs; " + kHowToGet);
    }
}

// liblsl keeps threads of its own running after its last object is gone, so it stays loaded
// for the life of the process.
LslLibrary::~LslLibrary() = default;

}  // namespace Mivo::Cli
