#include "stress_streams.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "stress_findings.h"

namespace Stress {

bool Streams::Opened(MIVOBLE_HANDLE handle, const AmplifierPlan& plan) {
    std::lock_guard lock(mutex_);
    auto [it, added] = states_.try_emplace(handle);
    State& s = it->second;
    if (added) {
        s.plan = plan;
        s.lastRow = Clock::now();
    } else if (s.plan.name != plan.name) {
        Findings::Instance().Fail("handles", "handle %llu returned for '%s' while it is open for '%s'",
                                  static_cast<unsigned long long>(handle), plan.name.c_str(), s.plan.name.c_str());
    }
    // An open that returns a handle already open says nothing of its link: while the link is
    // rebuilt (a loss reported, the reconnect not yet) it is not connected.
    if (!s.connectedSince && !s.reconnecting) s.connectedSince = Clock::now();
    if (plan.legacy && !s.layoutSince) s.layoutSince = Clock::now();
    return added;
}

bool Streams::ClosedBefore(MIVOBLE_HANDLE handle, uint64_t closesSeen) const {
    std::lock_guard lock(mutex_);
    auto it = states_.find(handle);
    return it != states_.end() && it->second.closed && it->second.closeOrder <= closesSeen;
}

uint64_t Streams::ClosesSeen() const {
    std::lock_guard lock(mutex_);
    return closes_;
}

void Streams::Closed(MIVOBLE_HANDLE handle) {
    std::lock_guard lock(mutex_);
    auto it = states_.find(handle);
    if (it == states_.end() || it->second.closed) return;
    it->second.closed = true;
    it->second.closeOrder = ++closes_;
}

void Streams::LayoutSet(MIVOBLE_HANDLE handle) {
    std::lock_guard lock(mutex_);
    auto it = states_.find(handle);
    if (it != states_.end()) it->second.layoutSince = Clock::now();
}

void Streams::RegistrationBegins(MIVOBLE_HANDLE handle) {
    std::lock_guard lock(mutex_);
    auto it = states_.find(handle);
    if (it != states_.end()) ++it->second.registering;
}

void Streams::RegistrationEnded(MIVOBLE_HANDLE handle, bool callbackSet, int32_t result) {
    std::lock_guard lock(mutex_);
    auto it = states_.find(handle);
    if (it == states_.end()) return;
    State& s = it->second;
    --s.registering;
    s.lastRegistration = Clock::now();
    // Even a NULL registration that failed may have cleared the callback before the stop failed.
    if (!callbackSet) s.afterStop = true;
    if (result == MIVOBLE_OK) {
        if (callbackSet) {
            s.callbackSince = Clock::now();
        } else {
            s.callbackSince.reset();
        }
        s.silenceReported = false;
    }
}

bool Streams::HasCallback(MIVOBLE_HANDLE handle) const {
    std::lock_guard lock(mutex_);
    auto it = states_.find(handle);
    return it != states_.end() && it->second.callbackSince.has_value();
}

void Streams::StateReported(MIVOBLE_HANDLE handle, uint32_t state) {
    std::lock_guard lock(mutex_);
    auto it = states_.find(handle);
    if (it == states_.end()) {
        Findings::Instance().Fail("callbacks", "connection state %u for handle %llu, which no open returned", state,
                                  static_cast<unsigned long long>(handle));
        return;
    }
    State& s = it->second;
    Totals& totals = totals_[s.plan.name];
    if (std::getenv("MIVOBLE_STRESS_VERBOSE")) {
        std::fprintf(stderr, "stress: '%s' handle %llu reported %s after %llu rows of this amplifier\n",
                     s.plan.name.c_str(), static_cast<unsigned long long>(handle),
                     state == MIVOBLE_CONNECTION_LOST ? "LOST" : "CONNECTED",
                     static_cast<unsigned long long>(totals.rows));
    }
    if (state == MIVOBLE_CONNECTION_LOST) {
        s.connectedSince.reset();
        s.newLink = true;
        s.reconnecting = true;
        ++totals.losses;
    } else if (state == MIVOBLE_CONNECTION_CONNECTED) {
        s.reconnecting = false;
        s.connectedSince = Clock::now();
        s.silenceReported = false;
        ++s.reconnects;
        ++totals.reconnects;
    } else {
        Findings::Instance().Fail("callbacks", "connection state %u is neither CONNECTED nor LOST", state);
    }
}

void Streams::Rows(MIVOBLE_HANDLE handle, const float* rows, uint32_t count, uint32_t width) {
    std::lock_guard lock(mutex_);
    auto it = states_.find(handle);
    if (it == states_.end()) {
        Findings::Instance().Fail("callbacks", "rows for handle %llu, which no open returned",
                                  static_cast<unsigned long long>(handle));
        return;
    }
    State& s = it->second;
    if (s.closed) {
        Findings::Instance().Fail("rows-after-close", "rows for handle %llu of '%s' after its close returned",
                                  static_cast<unsigned long long>(handle), s.plan.name.c_str());
    }
    if (count == 0 || count > 64) Findings::Instance().Fail("rows", "a batch of %u rows", count);
    for (uint32_t k = 0; k < count; ++k) CheckRowLocked(handle, s, rows + size_t{k} * width, width);
    s.lastRow = Clock::now();
}

void Streams::CheckRowLocked(MIVOBLE_HANDLE handle, State& s, const float* row, uint32_t width) {
    Totals& totals = totals_[s.plan.name];
    ++totals.rows;
    const AmplifierPlan& p = s.plan;
    const bool widthOk = p.legacy ? width == p.legacyWidth : (width == 3 || width == p.nusChannels + 2u);
    if (!widthOk) {
        Findings::Instance().Fail("rows", "row of %u values from '%s'", width, p.name.c_str());
        return;
    }
    const float valid = row[width - 1];
    if (valid != 0.0f && valid != 1.0f)
        Findings::Instance().Fail("rows", "valid flag %g from '%s'", valid, p.name.c_str());
    if (valid == 0.0f) ++totals.filledRows;
    if (!p.legacy) return;

    // Counter column: one on from the row before (a filled-in row counts on as well), modulo
    // the frame numbers' wrap; 1 on the first row of a new link.
    const float c = row[p.counterColumn];
    const float expected =
        s.haveLast ? std::fmod(s.last + 1.0f, static_cast<float>(MIVOBLE_FRAME_COUNTER_MODULUS)) : 1.0f;
    const char* what = nullptr;
    if (s.afterStop) {
        // A new subscription, or the old one going on: either way the rows between reached no callback.
    } else if (s.newLink) {
        if (c != 1.0f)
            what = s.haveLast && c == expected ? "continues the lost link after its loss was reported"
                                               : "does not start the new link at 1";
    } else if (c != expected && !(s.reconnecting && c == 1.0f)) {
        what = c == s.last  ? "duplicated"
               : c < s.last ? "went back: duplicated or reordered"
                            : "skipped without filled-in rows";
    }
    if (what) {
        char when[96];
        if (s.registering > 0) {
            std::snprintf(when, sizeof when, ", while a data callback was being registered");
        } else {
            const auto since = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - s.lastRegistration);
            std::snprintf(when, sizeof when, ", %lld ms after a data-callback registration returned",
                          static_cast<long long>(since.count()));
        }
        Findings::Instance().Fail("counter", "'%s' handle %llu: row with counter %.0f after %.0f (%s%s)",
                                  p.name.c_str(), static_cast<unsigned long long>(handle), c, s.last, what, when);
    }
    s.last = c;
    s.haveLast = true;
    s.newLink = false;
    s.afterStop = false;
}

void Streams::CheckSilence() {
    std::lock_guard lock(mutex_);
    const auto now = Clock::now();
    for (auto& [handle, s] : states_) {
        if (s.closed || s.silenceReported || s.registering > 0) continue;
        if (!s.callbackSince || !s.connectedSince || !s.layoutSince) continue;
        const auto since = std::max({*s.callbackSince, *s.connectedSince, *s.layoutSince, s.lastRow});
        const auto silent = std::chrono::duration_cast<std::chrono::milliseconds>(now - since);
        if (silent > silenceLimit_) {
            s.silenceReported = true;
            auto ago = [&](Clock::time_point t) {
                return static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(now - t).count());
            };
            Findings::Instance().Fail(
                "stream-silent",
                "'%s' handle %llu delivered no row for %lld ms while connected with a data callback "
                "(connected %lld ms ago after %u reconnects, callback %lld ms ago, layout %lld ms ago)",
                s.plan.name.c_str(), static_cast<unsigned long long>(handle), static_cast<long long>(silent.count()),
                ago(*s.connectedSince), s.reconnects, ago(*s.callbackSince), ago(*s.layoutSince));
        }
    }
}

std::map<std::string, Streams::Totals> Streams::TotalsByAmplifier() const {
    std::lock_guard lock(mutex_);
    return totals_;
}

}  // namespace Stress
