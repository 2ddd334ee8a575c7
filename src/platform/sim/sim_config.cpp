// MIVOBLE_SIM: items separated by ';'. An item is "adapter=none", "radio=off", or an
// amplifier: its advertised name followed by ",key=value" pairs. A bad item is logged at
// ERROR with the reason and ignored.
#include <cctype>
#include <charconv>
#include <cstdio>
#include <limits>

#include "log/log.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_stack_core.h"

namespace Mivo::BLE::Sim {

namespace {

std::string Trim(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && std::isspace(static_cast<unsigned char>(s[a]))) ++a;
    while (b > a && std::isspace(static_cast<unsigned char>(s[b - 1]))) --b;
    return s.substr(a, b - a);
}

std::vector<std::string> Split(const std::string& s, char sep) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t pos = s.find(sep, start);
        out.push_back(s.substr(start, pos == std::string::npos ? std::string::npos : pos - start));
        if (pos == std::string::npos) return out;
        start = pos + 1;
    }
}

bool ParseInt(const std::string& text, long long min, long long max, long long& out) {
    if (text.empty()) return false;
    long long v = 0;
    auto [p, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || p != text.data() + text.size() || v < min || v > max) return false;
    out = v;
    return true;
}

bool KnownOperation(const std::string& op) {
    return op == kOpRead || op == kOpServices || op == kOpCharacteristics || op == kOpWrite || op == kOpCccd ||
           op == kOpFromAddress;
}

// Sets one key of `config`; returns an empty string or the reason it was refused.
std::string SetKey(AmplifierConfig& config, const std::string& key, const std::string& value) {
    long long n = 0;
    auto range = [&](long long min, long long max) -> std::string {
        if (ParseInt(value, min, max, n)) return {};
        return "value '" + value + "' of '" + key + "' is not a whole number from " + std::to_string(min) + " to " +
               std::to_string(max);
    };
    auto flag = [&](bool& target) -> std::string {
        if (value == "0" || value == "1") {
            target = value == "1";
            return {};
        }
        return "value '" + value + "' of '" + key + "' must be 0 or 1";
    };
    auto ms = [&](Milliseconds& target, long long min) -> std::string {
        auto e = range(min, 24LL * 3600 * 1000);
        if (e.empty()) target = Milliseconds(n);
        return e;
    };
    std::string e;
    if (key == "gen") {
        if (value == "legacy") config.gen = Generation::Legacy;
        else if (value == "nus") config.gen = Generation::Nus;
        else if (value == "both") config.gen = Generation::Both;
        else if (value == "neither") config.gen = Generation::Neither;
        else return "unknown generation '" + value + "' (legacy, nus, both, neither)";
        return {};
    }
    if (key == "channels") {
        if ((e = range(1, 61)).empty()) config.channels = static_cast<int>(n);
        return e;
    }
    if (key == "counter") return flag(config.counter);
    if (key == "frames") {
        if ((e = range(1, 64)).empty()) config.frames = static_cast<int>(n);
        return e;
    }
    if (key == "rate") {
        if ((e = range(1, 65535)).empty()) config.rate = static_cast<int>(n);
        return e;
    }
    if (key == "addr") {
        uint64_t a;
        if (!ParseAddress(value, a)) return "address '" + value + "' is not of the form AA:BB:CC:DD:EE:FF";
        config.addr = a;
        return {};
    }
    if (key == "connectable") return flag(config.connectable);
    if (key == "advertise") return flag(config.advertising);
    if (key == "adv") return ms(config.adv, 1);
    if (key == "battery") {
        if ((e = range(0, 100)).empty()) config.battery = static_cast<uint8_t>(n);
        return e;
    }
    if (key == "model") return config.model = value, std::string();
    if (key == "fw") return config.fw = value, std::string();
    if (key == "hw") return config.hw = value, std::string();
    if (key == "maker") return config.maker = value, std::string();
    if (key == "drop_every") return ms(config.dropEvery, 0);
    if (key == "refuse_connects") {
        if ((e = range(0, 1000000)).empty()) config.refuseConnects = static_cast<int>(n);
        return e;
    }
    if (key == "hang") {
        std::string op = value.substr(0, value.find(':'));
        if (!KnownOperation(op)) return "unknown operation '" + op + "' for hang";
        if (op.size() != value.size()) {
            Platform::Uuid u;
            if (!Detail::ParseUuidText(value.substr(op.size() + 1), u))
                return "bad characteristic UUID in hang '" + value + "'";
        }
        config.hang = value;
        return {};
    }
    if (key == "drop_notify_every") {
        if ((e = range(0, 1000000000)).empty()) config.dropNotifyEvery = static_cast<int>(n);
        return e;
    }
    if (key == "seed") {
        uint64_t v = 0;
        auto [p, ec] = std::from_chars(value.data(), value.data() + value.size(), v);
        if (value.empty() || ec != std::errc() || p != value.data() + value.size())
            return "seed '" + value + "' is not a whole number";
        config.seed = v;
        return {};
    }
    if (key == "interval") {
        // Milliseconds with up to three decimals (7.5 is a common connection interval).
        long long whole = 0, micros = 0;
        const auto dot = value.find('.');
        const std::string fraction = dot == std::string::npos ? std::string() : value.substr(dot + 1);
        if (!ParseInt(value.substr(0, dot), 0, 24LL * 3600 * 1000, whole) || fraction.size() > 3 ||
            (dot != std::string::npos && !ParseInt(fraction, 0, 999, micros))) {
            return "value '" + value + "' of 'interval' is not a number of milliseconds (up to 3 decimals)";
        }
        for (size_t k = fraction.size(); k < 3; ++k) micros *= 10;
        config.interval = Microseconds(whole * 1000 + micros);
        return {};
    }
    if (key == "smp_split") {
        if ((e = range(1, 1024)).empty()) config.smpSplit = static_cast<size_t>(n);
        return e;
    }
    if (key == "filters") {
        if ((e = range(0, 255)).empty()) config.filters = static_cast<size_t>(n);
        return e;
    }
    if (key == "battery_every") return ms(config.batteryEvery, 0);
    if (key == "mtu") {
        if ((e = range(23, 517)).empty()) config.mtu = static_cast<size_t>(n);
        return e;
    }
    if (key == "connect_fail_ms") return ms(config.connectFail, 0);
    if (key == "reset_ms") return ms(config.resetDelay, 0);
    if (key == "boot_ms") return ms(config.bootTime, 0);
    if (key == "erase_ms") return ms(config.eraseTime, 0);
    if (key == "slot_size") {
        if ((e = range(64, 16LL * 1024 * 1024)).empty()) config.slotSize = static_cast<size_t>(n);
        return e;
    }
    if (key == "smp_rc0") return flag(config.smpRcZero);
    if (key == "smp_params") return flag(config.smpParams);
    if (key == "smp_buf_count") {
        if ((e = range(1, 64)).empty()) config.smpBufCount = static_cast<uint32_t>(n);
        return e;
    }
    if (key == "smp_buf_size") {
        if ((e = range(64, 65535)).empty()) config.smpBufSize = static_cast<uint32_t>(n);
        return e;
    }
    if (key == "flash_kbps") {
        if ((e = range(1, 1000000)).empty()) config.flashKbps = static_cast<uint32_t>(n);
        return e;
    }
    if (key == "link_kbps") {
        if ((e = range(1, 100000)).empty()) config.linkKbps = static_cast<uint32_t>(n);
        return e;
    }
    if (key == "delay") {
        auto first = value.find(':'), last = value.rfind(':');
        if (first == std::string::npos) return "delay '" + value + "' is not Operation:ms or Operation:UUID:ms";
        std::string op = value.substr(0, first);
        if (!KnownOperation(op)) return "unknown operation '" + op + "' for delay";
        if (first != last) {
            Platform::Uuid u;
            if (!Detail::ParseUuidText(value.substr(first + 1, last - first - 1), u))
                return "bad characteristic UUID in delay '" + value + "'";
        }
        if (!ParseInt(value.substr(last + 1), 0, 3'600'000, n))
            return "delay '" + value + "' does not end in milliseconds";
        config.delay = value;
        return {};
    }
    if (key == "drop_once") return ms(config.dropOnce, 0);
    if (key == "corrupt") {
        if ((e = range(0, 1000000000)).empty()) config.corrupt = static_cast<int>(n);
        return e;
    }
    if (key == "shorten") {
        if ((e = range(0, 1000000000)).empty()) config.shorten = static_cast<int>(n);
        return e;
    }
    if (key == "nus") {
        long long late = 0;
        bool ok = value == "never" || value == "badcrc" || value == "trailing" || value == "unsolicited" ||
                  (value.rfind("late:", 0) == 0 && ParseInt(value.substr(5), 0, 3'600'000, late));
        if (!ok) return "nus fault '" + value + "' is not late:ms, never, badcrc, trailing or unsolicited";
        config.nus = value;
        return {};
    }
    return "unknown key '" + key + "'";
}

void Reject(const std::string& item, const std::string& reason) {
    LogMessage(kLogError, "sim: MIVOBLE_SIM item '%s' ignored: %s", item.c_str(), reason.c_str());
}

}  // namespace

std::string DefaultSimConfig() {
    return "MV-2401.00.01,gen=legacy,channels=8,counter=1,rate=250;MV-2401.00.02,gen=nus";
}

bool ParseAddress(const std::string& text, uint64_t& address) {
    if (text.size() != 17) return false;
    uint64_t a = 0;
    for (size_t i = 0; i < 17; ++i) {
        char c = text[i];
        if (i % 3 == 2) {
            if (c != ':') return false;
            continue;
        }
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else return false;
        a = (a << 4) | static_cast<uint64_t>(d);
    }
    address = a;
    return true;
}

std::string FormatAddress(uint64_t address) {
    char buf[18];
    std::snprintf(buf, sizeof buf, "%02X:%02X:%02X:%02X:%02X:%02X", static_cast<unsigned>((address >> 40) & 0xFF),
                  static_cast<unsigned>((address >> 32) & 0xFF), static_cast<unsigned>((address >> 24) & 0xFF),
                  static_cast<unsigned>((address >> 16) & 0xFF), static_cast<unsigned>((address >> 8) & 0xFF),
                  static_cast<unsigned>(address & 0xFF));
    return buf;
}

uint64_t AddressFromName(const std::string& name) {
    uint64_t h = 0xcbf29ce484222325ull;  // FNV-1a
    for (unsigned char c : name) {
        h ^= c;
        h *= 0x100000001b3ull;
    }
    // A static random address: 48 bits, the two top bits set.
    return (h & 0xFFFFFFFFFFFFull) | 0xC00000000000ull;
}

namespace Detail {

void StackCore::Apply(const std::string& config) {
    for (const std::string& raw : Split(config, ';')) {
        std::string item = Trim(raw);
        if (item.empty()) continue;
        if (item.rfind("adapter=", 0) == 0) {
            std::string v = item.substr(8);
            if (v == "none") SetAdapterPresent(false);
            else if (v == "present") SetAdapterPresent(true);
            else Reject(item, "adapter must be 'none' or 'present'");
            continue;
        }
        if (item.rfind("radio=", 0) == 0) {
            std::string v = item.substr(6);
            if (v == "off") SetRadioOn(false);
            else if (v == "on") SetRadioOn(true);
            else Reject(item, "radio must be 'off' or 'on'");
            continue;
        }
        auto parts = Split(item, ',');
        AmplifierConfig amp;
        amp.name = Trim(parts[0]);
        if (amp.name.empty()) {
            Reject(item, "the amplifier has no name");
            continue;
        }
        if (amp.name.find('=') != std::string::npos) {
            Reject(item, "an amplifier item starts with its name; '" + amp.name + "' is not a name");
            continue;
        }
        std::string reason;
        for (size_t i = 1; i < parts.size() && reason.empty(); ++i) {
            std::string pair = Trim(parts[i]);
            auto eq = pair.find('=');
            if (eq == std::string::npos) {
                reason = "'" + pair + "' is not key=value";
                break;
            }
            reason = SetKey(amp, Trim(pair.substr(0, eq)), Trim(pair.substr(eq + 1)));
        }
        if (!reason.empty()) {
            Reject(item, reason);
            continue;
        }
        Add(amp);  // logs duplicates itself
    }
}

}  // namespace Detail

}  // namespace Mivo::BLE::Sim
