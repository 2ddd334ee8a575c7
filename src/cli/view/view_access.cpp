#include "cli/view/view_access.h"

#include <sys/random.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace Mivo::Cli::View {

std::string NewToken() {
    std::array<unsigned char, 16> bytes{};
    size_t filled = 0;
    while (filled < bytes.size()) {
        ssize_t n = getrandom(bytes.data() + filled, bytes.size() - filled, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            throw std::runtime_error(std::string("no random bytes for the view token: ") + std::strerror(errno));
        filled += static_cast<size_t>(n);
    }
    static const char digits[] = "0123456789abcdef";
    std::string token;
    for (unsigned char b : bytes) {
        token.push_back(digits[b >> 4]);
        token.push_back(digits[b & 15]);
    }
    return token;
}

namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::optional<std::string> PercentDecoded(std::string_view text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '+') {
            out.push_back(' ');
        } else if (text[i] == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            int high = HexValue(text[i + 1]), low = HexValue(text[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            out.push_back(static_cast<char>(high * 16 + low));
            i += 2;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}

// Compares without an early exit, so the time taken does not tell how much of a guess was right
// (the length is no secret: every token has 32 digits).
bool SameSecret(std::string_view given, std::string_view secret) {
    if (secret.empty() || given.size() != secret.size()) return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < given.size(); ++i) difference |= static_cast<unsigned char>(given[i] ^ secret[i]);
    return difference == 0;
}

// "127.0.0.1:PORT" or "localhost:PORT" (the port may be left out only when it is 80).
bool LoopbackAuthority(std::string_view authority, uint16_t port) {
    const std::string suffix = ":" + std::to_string(port);
    std::string_view host = authority;
    if (host.size() > suffix.size() && host.substr(host.size() - suffix.size()) == suffix)
        host.remove_suffix(suffix.size());
    else if (port != 80) return false;
    return host == "127.0.0.1" || EqualNoCase(host, "localhost");
}

}  // namespace

QueryItem TakeQueryItem(std::string_view& text) {
    size_t amp = text.find('&');
    std::string_view pair = text.substr(0, amp);
    text = amp == std::string_view::npos ? std::string_view{} : text.substr(amp + 1);
    size_t equals = pair.find('=');
    if (equals == std::string_view::npos) return {pair, {}, false};
    return {pair.substr(0, equals), pair.substr(equals + 1), true};
}

std::string_view TargetPath(std::string_view target) { return target.substr(0, target.find('?')); }

std::optional<std::string> QueryParameter(std::string_view target, std::string_view name) {
    size_t question = target.find('?');
    if (question == std::string_view::npos) return std::nullopt;
    std::string_view query = target.substr(question + 1);
    query = query.substr(0, query.find('#'));
    std::optional<std::string> found;
    while (!query.empty()) {
        QueryItem item = TakeQueryItem(query);
        auto key = PercentDecoded(item.key);
        if (!key || *key != name) continue;
        if (found) return std::nullopt;  // twice: ambiguous
        auto value = PercentDecoded(item.value);
        if (!value) return std::nullopt;
        found = std::move(*value);
    }
    return found;
}

std::string RefusalReason(const AccessRules& rules, const Request& request) {
    if (!LoopbackAuthority(request.host, rules.port)) return "foreign Host";
    auto token = QueryParameter(request.target, "token");
    if (!token) return "no token";
    if (!SameSecret(*token, rules.token)) return "wrong token";
    if (request.upgrade && request.origin) {
        std::string_view origin = *request.origin;
        constexpr std::string_view scheme = "http://";
        if (origin.substr(0, scheme.size()) != scheme || !LoopbackAuthority(origin.substr(scheme.size()), rules.port))
            return "foreign Origin";
    }
    return {};
}

}  // namespace Mivo::Cli::View
