#pragma once
// Per-handle bookkeeping of the stress run and the checks on what the library delivers:
// rows only for open handles, row width, valid flag, and on a legacy stream's counter column
// what the library promises: every row counts on by one from the row before (modulo 2^24;
// filled-in rows too), so no row is repeated, comes back, or goes missing without a trace,
// whatever the callback registrations in between. The column starts over only with a new
// stream: at 1 on the first rows of a handle and of every new link (after a reported loss,
// never before it), and anywhere after a NULL registration (the rows in between reach no
// callback). Also finds streams that fall silent while connected with a data callback.
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "mivoble/mivoble.h"

namespace Stress {

struct AmplifierPlan {
    std::string name;
    bool legacy = true;
    uint32_t legacyWidth = 0;    // legacy: signal + counter + battery + valid columns
    int32_t counterColumn = -1;  // legacy: column of the counter channel
    uint8_t nusChannels = 0;     // NUS: the layout the run sets
    uint16_t nusFrames = 0;
    uint8_t nusBytes = 3;
    uint8_t nusLittleEndian = 0;
    uint16_t nusRate = 0;
};

class Streams {
public:
    using Clock = std::chrono::steady_clock;

    // Never destroyed: callbacks may still arrive during process exit.
    static Streams& Instance() {
        static Streams* streams = new Streams;
        return *streams;
    }

    void SetSilenceLimit(std::chrono::milliseconds limit) { silenceLimit_ = limit; }

    // An open returned `handle` for `plan`; true when no open had returned it before.
    bool Opened(MIVOBLE_HANDLE handle, const AmplifierPlan& plan);
    // Whether `handle` had been closed when `closesSeen` closes had returned (a reused handle).
    bool ClosedBefore(MIVOBLE_HANDLE handle, uint64_t closesSeen) const;
    uint64_t ClosesSeen() const;
    void Closed(MIVOBLE_HANDLE handle);
    void LayoutSet(MIVOBLE_HANDLE handle);

    // Around every data-callback registration of the run (from any thread).
    void RegistrationBegins(MIVOBLE_HANDLE handle);
    void RegistrationEnded(MIVOBLE_HANDLE handle, bool callbackSet, int32_t result);

    bool HasCallback(MIVOBLE_HANDLE handle) const;
    void StateReported(MIVOBLE_HANDLE handle, uint32_t state);
    void Rows(MIVOBLE_HANDLE handle, const float* rows, uint32_t count, uint32_t width);

    // Reports streams silent for longer than the limit; call a few times a second.
    void CheckSilence();

    struct Totals {
        uint64_t rows = 0, filledRows = 0, losses = 0, reconnects = 0;
    };
    std::map<std::string, Totals> TotalsByAmplifier() const;

private:
    struct State {
        AmplifierPlan plan;
        bool closed = false;
        uint64_t closeOrder = 0;  // position among all closes, 0 while open
        // Counter continuity (legacy).
        bool haveLast = false;
        float last = 0.0f;
        bool newLink = true;        // the next row is the first of a new link (or of the handle): 1
        bool reconnecting = false;  // between a reported loss and the reconnect: an attempt that
                                    // failed after its stream began leaves another start at 1
        bool afterStop = false;     // a NULL registration returned since the last row: any counter
        int registering = 0;
        Clock::time_point lastRegistration{};  // when a registration last returned
        // Liveness.
        std::optional<Clock::time_point> callbackSince, connectedSince, layoutSince;
        Clock::time_point lastRow{};
        bool silenceReported = false;
        unsigned reconnects = 0;
    };

    void CheckRowLocked(MIVOBLE_HANDLE handle, State& s, const float* row, uint32_t width);

    mutable std::mutex mutex_;
    std::map<MIVOBLE_HANDLE, State> states_;
    std::map<std::string, Totals> totals_;
    uint64_t closes_ = 0;
    std::chrono::milliseconds silenceLimit_{3000};
};

}  // namespace Stress
