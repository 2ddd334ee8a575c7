#include "protocol/stream_diagnostics.h"

#include <cstdlib>
#include <cstring>

namespace Mivo::BLE {

StreamDiagnostics& StreamDiagnostics::Instance() {
    static StreamDiagnostics instance(SwitchValueEnables(std::getenv("MIVOBLE_DEBUG_STREAM")), stderr);
    return instance;
}

bool StreamDiagnostics::SwitchValueEnables(const char* value) {
    return value != nullptr && std::strcmp(value, "1") == 0;
}

void StreamDiagnostics::FirstNotification(size_t length) {
    if (!Claim(firstNotification_)) return;
    std::fprintf(out_, "[mivoble] OnEEGAvailable: first EEG notification (%zu bytes)\n", length);
    std::fflush(out_);
}

void StreamDiagnostics::ParseError(const char* text) {
    if (!Claim(parseError_)) return;
    std::fprintf(out_, "[mivoble] OnEEGAvailable parse error (payload dropped): %s\n", text);
    std::fflush(out_);
}

void StreamDiagnostics::UnknownError() {
    if (!Claim(unknownError_)) return;
    std::fprintf(out_, "[mivoble] OnEEGAvailable: unknown error (payload dropped)\n");
    std::fflush(out_);
}

}  // namespace Mivo::BLE
