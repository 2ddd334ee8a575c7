// Every row once and in order through the C interface, while the application changes its data
// callback during streaming and right after a reconnect: the counter column of a legacy
// amplifier must count on by one from row to row, and start again at 1 only where a new stream
// begins (a new link, or a registration after a NULL one). The amplifier is paused at chosen
// points (every payload it sent handed over), which tells exactly which row must be the last
// one before a link loss is reported or a NULL registration returns.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <iterator>
#include <mutex>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

#include "mivoble/mivoble.h"
#include "platform/sim/sim_control.h"
#include "support/log_file.h"

namespace Mivo::BLE::Testing {
namespace {

using namespace std::chrono_literals;

constexpr const char* kAmplifier = "MV-2401.00.41";
// Three frames per payload at 1000 Hz, so that neither payloads nor batches line up with the
// points where the callback changes.
constexpr const char* kSim = "MV-2401.00.41,gen=legacy,channels=2,frames=3,rate=1000";
constexpr uint32_t kFramesPerPayload = 3;
constexpr uint32_t kCounterColumn = 2;
constexpr uint32_t kFramesPerCallback = 7;
constexpr int kChanges = 24;

// What the application saw, in order: counters of rows, and the events between them.
enum class Seen { Row, Lost, Connected, Stopped };
struct Entry {
    Seen what;
    float counter = 0.0f;
};

struct Log {
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Entry> entries;
    uint64_t rows = 0;

    void Add(Entry e) {
        std::lock_guard<std::mutex> guard(lock);
        if (e.what == Seen::Row) ++rows;
        entries.push_back(e);
        changed.notify_all();
    }
    bool WaitFor(const std::function<bool()>& condition) {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, 10s, condition);
    }
    uint64_t Rows() {
        std::lock_guard<std::mutex> guard(lock);
        return rows;
    }
    float LastCounter() {
        std::lock_guard<std::mutex> guard(lock);
        for (auto it = entries.rbegin(); it != entries.rend(); ++it)
            if (it->what == Seen::Row) return it->counter;
        return 0.0f;
    }
};
Log g_log;

void OnRow(MIVOBLE_HANDLE, const float* row, uint32_t width) {
    if (width > kCounterColumn) g_log.Add({Seen::Row, row[kCounterColumn]});
}
void OnRows(MIVOBLE_HANDLE, const float* rows, uint32_t count, uint32_t width) {
    for (uint32_t r = 0; r < count && width > kCounterColumn; ++r)
        g_log.Add({Seen::Row, rows[r * width + kCounterColumn]});
}
void OnState(MIVOBLE_HANDLE, uint32_t state) {
    g_log.Add({state == MIVOBLE_CONNECTION_LOST ? Seen::Lost : Seen::Connected});
}

// Repeats, steps back and silent steps forward in what the application saw. A new stream (the
// first row, the first after a loss or after a NULL registration) starts at 1.
struct Faults {
    int repeats = 0, back = 0, forward = 0, badStart = 0;
    std::string first;
    int Total() const { return repeats + back + forward + badStart; }
};

Faults Check(const std::vector<Entry>& entries) {
    Faults f;
    bool newStream = true;
    float last = 0.0f;
    auto note = [&f](const std::string& text) {
        if (f.first.empty()) f.first = text;
    };
    for (const Entry& e : entries) {
        if (e.what == Seen::Lost || e.what == Seen::Stopped) newStream = true;
        if (e.what != Seen::Row) continue;
        std::ostringstream text;
        text << "row " << e.counter << " after " << last;
        if (newStream) {
            if (e.counter != 1.0f) {
                ++f.badStart;
                note(text.str() + " (a new stream starts at 1)");
            }
        } else if (e.counter == last) {
            ++f.repeats;
            note(text.str() + " (repeated)");
        } else if (e.counter < last) {
            ++f.back;
            note(text.str() + " (stepped back)");
        } else if (e.counter != last + 1.0f) {
            ++f.forward;
            note(text.str() + " (stepped forward without filled-in rows)");
        }
        newStream = false;
        last = e.counter;
    }
    return f;
}

int32_t RegisterRows(MIVOBLE_HANDLE h) { return MIVOBLE_RegisterDataAvailableCallback(h, OnRow); }
int32_t RegisterBatches(MIVOBLE_HANDLE h) { return MIVOBLE_RegisterDataAvailableBatchedCallback(h, OnRows); }

class RowOrder;

// One change of the data callback, made `step` times in a row while rows flow.
struct Change {
    const char* name;
    std::function<void(RowOrder&, MIVOBLE_HANDLE, int step)> make;
};
enum class When { WhileStreaming, AfterReconnect };

void PrintTo(const Change& change, std::ostream* os) { *os << change.name; }
void PrintTo(When when, std::ostream* os) {
    *os << (when == When::WhileStreaming ? "while streaming" : "after a reconnect");
}

class RowOrder : public ::testing::TestWithParam<std::tuple<Change, When>> {
protected:
    void SetUp() override {
        setenv("MIVOBLE_SIM", kSim, 1);
        // Each case checks its own rows, also when the cases run in one process.
        std::lock_guard<std::mutex> guard(g_log.lock);
        g_log.entries.clear();
        g_log.rows = 0;
    }

    std::shared_ptr<Sim::Amplifier> Amplifier() { return Sim::ActiveSimStack()->Find(kAmplifier); }

    void WaitForMoreRows(uint64_t more) {
        const uint64_t target = g_log.Rows() + more;
        ASSERT_TRUE(g_log.WaitFor([&] { return g_log.rows >= target; })) << "the stream stopped";
    }

    // Pauses the amplifier; every row of the payloads it sent is then decoded, and the row
    // with the last payload's last frame number is the last one the library has.
    float Pause() { return static_cast<float>(Amplifier()->HoldSamples() * kFramesPerPayload); }

public:
    // NULL registration after a pause: the rows waiting in the batch arrive before it returns.
    void StopAndStartAgain(MIVOBLE_HANDLE h) {
        const float last = Pause();
        ASSERT_EQ(MIVOBLE_RegisterDataAvailableBatchedCallback(h, nullptr), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
        EXPECT_EQ(g_log.LastCounter(), last) << "rows waiting in the batch when NULL was registered";
        g_log.Add({Seen::Stopped});
        ASSERT_EQ(RegisterBatches(h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
        Amplifier()->ReleaseSamples();
    }
    LogFile log_;
};

std::vector<Change> Changes() {
    return {
        {"ReRegisterTheSameBatchedCallback",
         [](RowOrder&, MIVOBLE_HANDLE h, int) {
             ASSERT_EQ(RegisterBatches(h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
         }},
        {"SwitchPerRowAndBatched",
         [](RowOrder&, MIVOBLE_HANDLE h, int step) {
             ASSERT_EQ(step % 2 ? RegisterBatches(h) : RegisterRows(h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
         }},
        {"ChangeFramesPerCallbackAndReRegister",
         [](RowOrder&, MIVOBLE_HANDLE h, int step) {
             static const uint32_t frames[] = {1, 64, 5, 13, 2, 40};
             ASSERT_EQ(MIVOBLE_SetFramesPerCallback(h, frames[step % 6]), MIVOBLE_OK);
             if (step % 2 == 0) {
                 ASSERT_EQ(RegisterBatches(h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
             }
         }},
        {"RegisterNullAndAgain", [](RowOrder& test, MIVOBLE_HANDLE h, int) { test.StopAndStartAgain(h); }},
    };
}

TEST_P(RowOrder, EveryRowOnceAndInOrder) {
    const auto& [change, when] = GetParam();
    MIVOBLE_HANDLE h = 0;
    ASSERT_EQ(MIVOBLE_OpenDevice(kAmplifier, &h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    ASSERT_EQ(MIVOBLE_RegisterConnectionStateCallback(h, OnState), MIVOBLE_OK);
    ASSERT_EQ(MIVOBLE_SetFramesPerCallback(h, kFramesPerCallback), MIVOBLE_OK);
    ASSERT_EQ(RegisterBatches(h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();
    WaitForMoreRows(50);

    if (when == When::AfterReconnect) {
        // Every row of the lost link arrives before the loss is reported.
        const float last = Pause();
        Amplifier()->DropLink();
        ASSERT_TRUE(
            g_log.WaitFor([] { return !g_log.entries.empty() && g_log.entries.back().what == Seen::Connected; }));
        {
            std::lock_guard<std::mutex> guard(g_log.lock);
            const auto lost = std::find_if(g_log.entries.begin(), g_log.entries.end(),
                                           [](const Entry& e) { return e.what == Seen::Lost; });
            ASSERT_NE(lost, g_log.entries.begin());
            EXPECT_EQ(std::prev(lost)->counter, last) << "the last row before the loss was reported";
        }
        Amplifier()->ReleaseSamples();
    }
    // Each change a few rows after the one before, at ever other places within a batch.
    for (int step = 0; step < kChanges; ++step) {
        WaitForMoreRows(2 + static_cast<uint64_t>(step % 5));
        change.make(*this, h, step);
        if (HasFatalFailure()) return;
    }
    WaitForMoreRows(20);
    StopAndStartAgain(h);
    ASSERT_EQ(MIVOBLE_CloseDevice(&h), MIVOBLE_OK) << MIVOBLE_GetLastErrorText();

    std::lock_guard<std::mutex> guard(g_log.lock);
    const Faults f = Check(g_log.entries);
    EXPECT_EQ(f.Total(), 0) << f.repeats << " repeated, " << f.back << " stepped back, " << f.forward
                            << " stepped forward silently, " << f.badStart << " new streams not starting at 1, in "
                            << g_log.rows << " rows; first: " << f.first;
}

INSTANTIATE_TEST_SUITE_P(Changes, RowOrder,
                         ::testing::Combine(::testing::ValuesIn(Changes()),
                                            ::testing::Values(When::WhileStreaming, When::AfterReconnect)),
                         [](const auto& info) {
                             return std::string(std::get<0>(info.param).name) +
                                    (std::get<1>(info.param) == When::WhileStreaming ? "WhileStreaming"
                                                                                     : "AfterReconnect");
                         });

}  // namespace
}  // namespace Mivo::BLE::Testing
