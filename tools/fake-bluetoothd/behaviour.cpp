#include "behaviour.h"

#include <cstdlib>

#include "bluez_errors.h"

namespace Mivo::FakeBluez {

std::optional<BluezVersion> BluezVersion::Parse(const std::string& text) {
    auto dot = text.find('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == text.size()) return std::nullopt;
    for (size_t i = 0; i < text.size(); ++i)
        if (i != dot && (text[i] < '0' || text[i] > '9')) return std::nullopt;
    if (dot > 3 || text.size() - dot - 1 > 3) return std::nullopt;
    BluezVersion v;
    v.major = std::atoi(text.substr(0, dot).c_str());
    v.minor = std::atoi(text.substr(dot + 1).c_str());
    return v;
}

sdbus::Error Behaviour::ConnectInProgress() const {
    if (version.AtLeast(5, 81)) return Errors::InProgress();
    return Errors::Failed("Operation already in progress");
}

std::string Behaviour::ConnectAbortText() const {
    return version.AtLeast(5, 62) ? Errors::kConnectionAbortByLocal : "Software caused connection abort";
}

}  // namespace Mivo::FakeBluez
