// Who may use the view server: requests that name the loopback address (or localhost) with
// the server's port as their Host, carry the server's token in their query, and, for a
// WebSocket upgrade from a browser, come from a page of the same server.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace Mivo::Cli::View {

// 128 random bits from the kernel, as 32 hex digits.
std::string NewToken();

// The value of one query parameter of a request target ("/ws?token=ab&x=1"), percent-decoded;
// nothing when the parameter is missing or appears twice.
std::optional<std::string> QueryParameter(std::string_view target, std::string_view name);

// One "key=value" item of an "&"-separated list (a query, a page's settings), as written.
struct QueryItem {
    std::string_view key, value;
    bool hasValue = false;  // false for an item without "="
};
// Takes the first item off `text`.
QueryItem TakeQueryItem(std::string_view& text);

// The path of a request target, without its query.
std::string_view TargetPath(std::string_view target);

struct AccessRules {
    std::string token;
    uint16_t port = 0;
};

struct Request {
    std::string_view target;
    std::string_view host;
    std::optional<std::string_view> origin;  // only looked at for upgrades
    bool upgrade = false;
};

// Empty when the request may be served, otherwise why it is refused (403).
std::string RefusalReason(const AccessRules& rules, const Request& request);

}  // namespace Mivo::Cli::View
