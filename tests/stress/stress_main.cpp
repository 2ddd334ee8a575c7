// Stress run of the C interface on four simulated amplifiers, two of each generation
// (MV-5101.* legacy, MV-5102.* NUS: names of the serial-number pattern the scanner lists), that
// drop their links every few seconds, two of them with a slow service discovery. Threads open
// and close, register and unregister callbacks (data, connection state, discovery), send
// command frames, list images and read device information, while callbacks call back into the
// library. Beside them a steady pair (one of each generation), never faulted, opened once and
// streaming throughout, must stay unaffected: no loss, no filled-in row, no failed call, and
// every call on it back within steadyBound, however long the faulted amplifiers' radio work
// takes. Fails (exit 1) on any finding of the checks in stress_streams.h, on a handle an open
// returns after it was closed, on a result or text outside the interface's rules, on a
// discovery callback after its unregistration returned, and (exit 2, from the watchdog) on a
// call that does not return within its bound.
//
//   mivoble_stress [seconds]
//   MIVOBLE_STRESS_SECONDS     run time (overrides the argument; default 60)
//   MIVOBLE_STRESS_SEED        seed of the threads' random choices
//   MIVOBLE_STRESS_CALLBACK_CALLS=all   data callbacks also register callbacks, set frames
//                              per callback, read device information and send frames (the
//                              default); any other value: only MIVOBLE_GetLastErrorText
//   MIVOBLE_STRESS_SILENCE_MS  how long a connected stream with a callback may stay silent
//                              (default 1500; the links stay up 3 to 4.5 s)
//   MIVOBLE_STRESS_REPLACE_CALLBACKS=0  register a data callback only on a handle without one
//                              (isolates faults of replacing a callback while streaming)
//   MIVOBLE_STRESS_VERBOSE=1   print every failed call with its text
//   MIVOBLE_STRESS_EXIT_OPEN=0 close every handle and shut down before exit (default 1:
//                              return from main with handles open)
//   MIVOBLE_STRESS_STEADY_MS   bound of every call on the steady pair (default 1500)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "mivoble/mivoble.h"
#include "stress_findings.h"
#include "stress_streams.h"
#include "stress_watchdog.h"

using namespace Stress;
using std::chrono::milliseconds;

namespace {

// Bounds of the calls: a call waits on at most a few Bluetooth tasks, each of which the
// executor gives up on 5 s after its budget (15 s; 30 s for discovery and teardown); an open
// makes up to three connect attempts.
constexpr milliseconds kOpenBound{120000};
constexpr milliseconds kCloseBound{45000};
constexpr milliseconds kCallBound{25000};
constexpr milliseconds kQuickBound{2000};  // calls that touch no link
constexpr uint32_t kFrameTimeoutMs = 1000;
constexpr uint8_t kNusEcho = 0x01, kNusLayout = 0x20;

// Everything callbacks touch is never destroyed: they may still run during process exit.
const std::vector<AmplifierPlan>& Plans() {
    static const std::vector<AmplifierPlan>* plans = [] {
        auto* all = new std::vector<AmplifierPlan>(6);
        auto& p = *all;
        p[0] = {"MV-5101.00.01", true, 4 + 1 + 2, 4};
        p[1] = {"MV-5101.00.02", true, 8 + 1 + 2, 8};
        p[2] = {"MV-5102.00.01", false, 0, -1, 4, 5, 3, 0, 500};
        p[3] = {"MV-5102.00.02", false, 0, -1, 2, 2, 4, 1, 250};
        // The steady pair.
        p[4] = {"MV-5101.00.03", true, 4 + 1 + 2, 4};
        p[5] = {"MV-5102.00.03", false, 0, -1, 4, 5, 3, 0, 500};
        return all;
    }();
    return *plans;
}
constexpr size_t kFaulted = 4;  // Plans()[0, kFaulted): the amplifiers the threads open and close

// A slow service discovery takes 2.5 s at every connect of the .02 amplifiers: work that would
// hold up the steady pair's calls for seconds if their Bluetooth work waited on it.
const char* kSimulator =
    "MV-5101.00.01,gen=legacy,channels=4,frames=3,counter=1,rate=250,drop_every=3000,battery_every=500;"
    "MV-5101.00.02,gen=legacy,channels=8,frames=1,counter=1,rate=500,drop_every=4000,delay=GetGattServicesAsync:2500;"
    "MV-5102.00.01,gen=nus,drop_every=3500;"
    "MV-5102.00.02,gen=nus,drop_every=4500,battery_every=700,delay=GetGattServicesAsync:2500;"
    "MV-5101.00.03,gen=legacy,channels=4,frames=3,counter=1,rate=250;"
    "MV-5102.00.03,gen=nus,battery_every=600";

std::atomic<bool> running{true};  // trivially destructible
bool callbackCallsAll = false;
bool replaceCallbacks = true;

// ---- the handles the threads share ---------------------------------------------------

struct Published {
    MIVOBLE_HANDLE handle;
    size_t plan;
};
std::mutex& publishedMutex = *new std::mutex;
std::vector<Published>& published = *new std::vector<Published>;

bool PickPublished(std::mt19937& random, Published& out) {
    std::lock_guard lock(publishedMutex);
    if (published.empty()) return false;
    out = published[std::uniform_int_distribution<size_t>(0, published.size() - 1)(random)];
    return true;
}

const AmplifierPlan* PlanOf(MIVOBLE_HANDLE handle) {
    std::lock_guard lock(publishedMutex);
    for (const auto& p : published)
        if (p.handle == handle) return &Plans()[p.plan];
    return nullptr;
}

// ---- results ----------------------------------------------------------------------------

// Every failure returns a documented code and leaves a text.
void CheckResult(const char* call, int32_t result) {
    Findings::Instance().Called(call, result == MIVOBLE_OK);
    if (result == MIVOBLE_OK) return;
    const bool known = result == MIVOBLE_ERROR_GENERAL || result == MIVOBLE_ERROR_PAYLOAD ||
                       result == MIVOBLE_ERROR_INVALID_HANDLE || result == MIVOBLE_ERROR_ADAPTER ||
                       result == MIVOBLE_ERROR_DEVICE || result == MIVOBLE_ERROR_INVALID_ARGUMENT;
    const char* text = MIVOBLE_GetLastErrorText();
    if (!known) Findings::Instance().Fail("results", "%s returned %d", call, result);
    if (text == nullptr || text[0] == '\0')
        Findings::Instance().Fail("results", "%s returned %d with no text", call, result);
    if (std::getenv("MIVOBLE_STRESS_VERBOSE"))
        std::fprintf(stderr, "stress: %s returned %d: %s\n", call, result, text ? text : "");
}

// ---- callbacks --------------------------------------------------------------------------

void OnRow(MIVOBLE_HANDLE handle, const float* row, uint32_t width);
void OnRows(MIVOBLE_HANDLE handle, const float* rows, uint32_t count, uint32_t width);

void RegisterData(MIVOBLE_HANDLE handle, int kind, const char* from) {
    Streams::Instance().RegistrationBegins(handle);
    int32_t result;
    {
        CallGuard guard(from, kCallBound);
        result = kind == 0   ? MIVOBLE_RegisterDataAvailableCallback(handle, nullptr)
                 : kind == 1 ? MIVOBLE_RegisterDataAvailableCallback(handle, OnRow)
                             : MIVOBLE_RegisterDataAvailableBatchedCallback(handle, OnRows);
    }
    Streams::Instance().RegistrationEnded(handle, kind != 0, result);
    CheckResult(from, result);
}

int32_t SendLayout(MIVOBLE_HANDLE handle, const AmplifierPlan& p, const char* from) {
    const uint8_t layout[] = {
        p.nusChannels,     static_cast<uint8_t>(p.nusFrames >> 8), static_cast<uint8_t>(p.nusFrames), p.nusBytes,
        p.nusLittleEndian, static_cast<uint8_t>(p.nusRate >> 8),   static_cast<uint8_t>(p.nusRate)};
    uint8_t status = 0xEE;
    int32_t result;
    {
        CallGuard guard(from, milliseconds(kFrameTimeoutMs) + kCallBound);
        result =
            MIVOBLE_SendFrame(handle, kNusLayout, layout, sizeof layout, &status, nullptr, nullptr, kFrameTimeoutMs);
    }
    CheckResult(from, result);
    if (result == MIVOBLE_OK && status != 0)
        Findings::Instance().Fail("frames", "layout frame answered with status %u", status);
    if (result != MIVOBLE_OK) return result;
    {
        CallGuard guard("MIVOBLE_SetActiveLayout", kCallBound);
        result = MIVOBLE_SetActiveLayout(handle, p.nusChannels, p.nusFrames, p.nusBytes, p.nusLittleEndian, p.nusRate);
    }
    CheckResult("MIVOBLE_SetActiveLayout", result);
    return result;
}

// Calls a data callback makes. Only MIVOBLE_GetLastErrorText when all calls are switched off.
void CallFromDataCallback(MIVOBLE_HANDLE handle) {
    {
        CallGuard guard("MIVOBLE_GetLastErrorText (from a data callback)", kQuickBound);
        if (MIVOBLE_GetLastErrorText() == nullptr)
            Findings::Instance().Fail("results", "MIVOBLE_GetLastErrorText returned null");
    }
    if (!callbackCallsAll) return;
    thread_local std::mt19937 random(std::random_device{}());
    const unsigned pick = std::uniform_int_distribution<unsigned>(0, 999)(random);
    if (pick >= 12) return;
    switch (pick) {
        case 0:
        case 1: RegisterData(handle, 1, "MIVOBLE_RegisterDataAvailableCallback (from a data callback)"); break;
        case 2: RegisterData(handle, 2, "MIVOBLE_RegisterDataAvailableBatchedCallback (from a data callback)"); break;
        case 3: {
            CallGuard guard("MIVOBLE_SetFramesPerCallback (from a data callback)", kCallBound);
            CheckResult("MIVOBLE_SetFramesPerCallback", MIVOBLE_SetFramesPerCallback(handle, 1 + pick));
            break;
        }
        case 4: {
            MIVOBLE_DEVICE_INFORMATION info;
            CallGuard guard("MIVOBLE_GetDeviceInformation (from a data callback)", kCallBound);
            CheckResult("MIVOBLE_GetDeviceInformation", MIVOBLE_GetDeviceInformation(handle, &info));
            break;
        }
        case 5: {
            const AmplifierPlan* p = PlanOf(handle);
            if (p && !p->legacy) SendLayout(handle, *p, "MIVOBLE_SendFrame (from a data callback)");
            break;
        }
        case 6: {
            uint8_t status = 0;
            CallGuard guard("MIVOBLE_SendFrame echo (from a data callback)", milliseconds(200) + kCallBound);
            CheckResult("MIVOBLE_SendFrame",
                        MIVOBLE_SendFrame(handle, kNusEcho, nullptr, 0, &status, nullptr, nullptr, 200));
            break;
        }
        default: break;
    }
}

void OnRow(MIVOBLE_HANDLE handle, const float* row, uint32_t width) {
    Streams::Instance().Rows(handle, row, 1, width);
    CallFromDataCallback(handle);
}

void OnRows(MIVOBLE_HANDLE handle, const float* rows, uint32_t count, uint32_t width) {
    Streams::Instance().Rows(handle, rows, count, width);
    CallFromDataCallback(handle);
}

void OnState(MIVOBLE_HANDLE handle, uint32_t state) {
    Streams::Instance().StateReported(handle, state);
    CallGuard guard("MIVOBLE_GetLastErrorText (from a connection-state callback)", kQuickBound);
    if (MIVOBLE_GetLastErrorText() == nullptr)
        Findings::Instance().Fail("results", "MIVOBLE_GetLastErrorText returned null");
}

// ---- threads ----------------------------------------------------------------------------

void Pause(std::mt19937& random, int fromMs, int toMs) {
    // Pacing of the run, not synchronisation: each thread acts at random moments.
    std::this_thread::sleep_for(milliseconds(std::uniform_int_distribution<int>(fromMs, toMs)(random)));
}

void Open(std::mt19937& random) {
    const size_t index = std::uniform_int_distribution<size_t>(0, kFaulted - 1)(random);
    const AmplifierPlan& plan = Plans()[index];
    const uint64_t closesBefore = Streams::Instance().ClosesSeen();
    MIVOBLE_HANDLE handle = 0;
    int32_t result;
    {
        CallGuard guard("MIVOBLE_OpenDevice", kOpenBound);
        result = MIVOBLE_OpenDevice(plan.name.c_str(), &handle);
    }
    CheckResult("MIVOBLE_OpenDevice", result);
    if (result != MIVOBLE_OK) return;
    if (handle == 0) Findings::Instance().Fail("handles", "MIVOBLE_OpenDevice returned handle 0");
    if (Streams::Instance().ClosedBefore(handle, closesBefore)) {
        Findings::Instance().Fail("handles", "MIVOBLE_OpenDevice returned handle %llu, closed before the open began",
                                  static_cast<unsigned long long>(handle));
    }
    const bool newHandle = Streams::Instance().Opened(handle, plan);
    {
        CallGuard guard("MIVOBLE_RegisterConnectionStateCallback", kCallBound);
        CheckResult("MIVOBLE_RegisterConnectionStateCallback",
                    MIVOBLE_RegisterConnectionStateCallback(handle, OnState));
    }
    // The layout is set once per handle: a stream that stops after a reconnect must not be
    // revived by a later open of the same amplifier.
    if (newHandle && !plan.legacy && SendLayout(handle, plan, "MIVOBLE_SendFrame (layout)") == MIVOBLE_OK) {
        Streams::Instance().LayoutSet(handle);
    }
    std::lock_guard lock(publishedMutex);
    const bool known =
        std::any_of(published.begin(), published.end(), [&](const Published& p) { return p.handle == handle; });
    if (!known) published.push_back({handle, index});
}

void Close(std::mt19937& random) {
    Published victim;
    {
        std::lock_guard lock(publishedMutex);
        if (published.empty()) return;
        const size_t at = std::uniform_int_distribution<size_t>(0, published.size() - 1)(random);
        victim = published[at];
        published.erase(published.begin() + static_cast<std::ptrdiff_t>(at));
    }
    MIVOBLE_HANDLE handle = victim.handle;
    int32_t result;
    {
        CallGuard guard("MIVOBLE_CloseDevice", kCloseBound);
        result = MIVOBLE_CloseDevice(&handle);
    }
    CheckResult("MIVOBLE_CloseDevice", result);
    if (result == MIVOBLE_OK) {
        if (handle != 0)
            Findings::Instance().Fail("handles", "MIVOBLE_CloseDevice left the handle at %llu",
                                      static_cast<unsigned long long>(handle));
        Streams::Instance().Closed(victim.handle);
    }
}

void Opener(unsigned seed) {
    std::mt19937 random(seed);
    while (running) {
        const unsigned count = [] {
            std::lock_guard lock(publishedMutex);
            return static_cast<unsigned>(published.size());
        }();
        // Keep two to five handles open, closing one now and then.
        if (count < 2 || (count < 5 && random() % 3 != 0)) {
            Open(random);
        } else {
            Close(random);
        }
        Pause(random, 200, 1500);
    }
}

void CallbackRegistrar(unsigned seed) {
    std::mt19937 random(seed);
    while (running) {
        Published p;
        if (PickPublished(random, p)) {
            unsigned what = random() % 10;
            // Without replacements a handle that has a data callback keeps it.
            if (!replaceCallbacks && what < 7 && Streams::Instance().HasCallback(p.handle)) what = 8;
            if (what < 4) {
                RegisterData(p.handle, 1, "MIVOBLE_RegisterDataAvailableCallback");
            } else if (what < 7) {
                RegisterData(p.handle, 2, "MIVOBLE_RegisterDataAvailableBatchedCallback");
            } else if (what < 8) {
                RegisterData(p.handle, 0, "MIVOBLE_RegisterDataAvailableCallback (none)");
            } else if (what < 9) {
                CallGuard guard("MIVOBLE_SetFramesPerCallback", kCallBound);
                CheckResult("MIVOBLE_SetFramesPerCallback", MIVOBLE_SetFramesPerCallback(p.handle, 1 + random() % 64));
            } else {
                CallGuard guard("MIVOBLE_RegisterConnectionStateCallback", kCallBound);
                CheckResult("MIVOBLE_RegisterConnectionStateCallback",
                            MIVOBLE_RegisterConnectionStateCallback(p.handle, OnState));
            }
        }
        Pause(random, 50, 600);
    }
}

void SendEcho(std::mt19937& random, const Published& p) {
    uint8_t payload[16];
    const uint16_t length = static_cast<uint16_t>(random() % sizeof payload);
    for (uint16_t i = 0; i < length; ++i) payload[i] = static_cast<uint8_t>(random());
    uint8_t status = 0xEE, response[32];
    uint16_t responseLength = sizeof response;
    int32_t result;
    {
        CallGuard guard("MIVOBLE_SendFrame", milliseconds(kFrameTimeoutMs) + kCallBound);
        result =
            MIVOBLE_SendFrame(p.handle, kNusEcho, payload, length, &status, response, &responseLength, kFrameTimeoutMs);
    }
    CheckResult(Plans()[p.plan].legacy ? "MIVOBLE_SendFrame (legacy amplifier)" : "MIVOBLE_SendFrame", result);
    if (result != MIVOBLE_OK) return;
    if (Plans()[p.plan].legacy) Findings::Instance().Fail("frames", "a command frame succeeded on a legacy amplifier");
    if (status != 0 || responseLength != length || std::memcmp(response, payload, length) != 0) {
        Findings::Instance().Fail("frames", "echo of %u bytes on '%s' answered with status %u and %u bytes that differ",
                                  length, Plans()[p.plan].name.c_str(), status, responseLength);
    }
}

void DeviceUser(unsigned seed) {
    std::mt19937 random(seed);
    while (running) {
        Published p;
        if (PickPublished(random, p)) {
            const AmplifierPlan& plan = Plans()[p.plan];
            switch (random() % 4) {
                case 0: SendEcho(random, p); break;
                case 1: {
                    MIVOBLE_IMAGE_STATE images[4];
                    uint32_t count = 4;
                    int32_t result;
                    {
                        CallGuard guard("MIVOBLE_ListImages", kCallBound);
                        result = MIVOBLE_ListImages(p.handle, images, &count);
                    }
                    CheckResult("MIVOBLE_ListImages", result);
                    if (result == MIVOBLE_OK && count > 4)
                        Findings::Instance().Fail("results", "MIVOBLE_ListImages reported %u of 4", count);
                    break;
                }
                case 2: {
                    MIVOBLE_DEVICE_INFORMATION info;
                    int32_t result;
                    {
                        CallGuard guard("MIVOBLE_GetDeviceInformation", kCallBound);
                        result = MIVOBLE_GetDeviceInformation(p.handle, &info);
                    }
                    CheckResult("MIVOBLE_GetDeviceInformation", result);
                    if (result == MIVOBLE_OK) {
                        if (plan.name !=
                            std::string(info.serialNumber, strnlen(info.serialNumber, sizeof info.serialNumber))) {
                            Findings::Instance().Fail("device-information", "serial number '%.*s' for '%s'",
                                                      static_cast<int>(sizeof info.serialNumber), info.serialNumber,
                                                      plan.name.c_str());
                        }
                        if (plan.legacy && info.numberOfAcquiredChannels != plan.legacyWidth) {
                            Findings::Instance().Fail("device-information", "%u channels for '%s'",
                                                      info.numberOfAcquiredChannels, plan.name.c_str());
                        }
                    }
                    break;
                }
                default: {
                    MIVOBLE_CHANNEL_CONFIGURATION channels[64];
                    uint32_t count = 64;
                    int32_t result;
                    {
                        CallGuard guard("MIVOBLE_GetChannelConfiguration", kCallBound);
                        result = MIVOBLE_GetChannelConfiguration(p.handle, channels, &count);
                    }
                    CheckResult("MIVOBLE_GetChannelConfiguration", result);
                    break;
                }
            }
        }
        Pause(random, 20, 300);
    }
}

// Discovery callbacks: once unregistering has returned, the old callback must not run.
std::atomic<bool> discoveredRegistered{false}, listChangedRegistered{false};

void OnDiscovered(const char* names, uint32_t count) {
    Findings::Instance().Called("(device-discovered callback)", true);
    if (!discoveredRegistered)
        Findings::Instance().Fail("callbacks", "device-discovered callback after its unregistration returned");
    if (count > 64) Findings::Instance().Fail("callbacks", "device-discovered callback with %u names", count);
    for (uint32_t i = 0; i < count && i < 64; ++i) {
        if (std::memchr(names + size_t{i} * MIVOBLE_DEVICENAME_LENGTH_MAX, 0, MIVOBLE_DEVICENAME_LENGTH_MAX) ==
            nullptr) {
            Findings::Instance().Fail("callbacks", "device-discovered name slot %u is not terminated", i);
        }
    }
}

void OnListChanged(uint32_t) {
    Findings::Instance().Called("(list-changed callback)", true);
    if (!listChangedRegistered)
        Findings::Instance().Fail("callbacks", "list-changed callback after its unregistration returned");
}

void DiscoveryUser(unsigned seed) {
    std::mt19937 random(seed);
    while (running) {
        const bool discovered = random() % 2 == 0;
        std::atomic<bool>& registered = discovered ? discoveredRegistered : listChangedRegistered;
        const char* call =
            discovered ? "MIVOBLE_RegisterDeviceDiscoveredCallback" : "MIVOBLE_RegisterDeviceListChangedCallback";
        const bool set = !registered;
        if (set) registered = true;  // before the call: the callback may run as soon as it is set
        int32_t result;
        {
            CallGuard guard(call, kCallBound);
            result = discovered ? MIVOBLE_RegisterDeviceDiscoveredCallback(set ? OnDiscovered : nullptr)
                                : MIVOBLE_RegisterDeviceListChangedCallback(set ? OnListChanged : nullptr);
        }
        CheckResult(call, result);
        if (!set && result == MIVOBLE_OK) registered = false;  // after the call returned
        Pause(random, 100, 800);
    }
    // Leave both unregistered before the run ends.
    CallGuard guard("MIVOBLE_RegisterDeviceDiscoveredCallback (at the end)", kCallBound);
    CheckResult("MIVOBLE_RegisterDeviceDiscoveredCallback", MIVOBLE_RegisterDeviceDiscoveredCallback(nullptr));
    discoveredRegistered = false;
    CheckResult("MIVOBLE_RegisterDeviceListChangedCallback", MIVOBLE_RegisterDeviceListChangedCallback(nullptr));
    listChangedRegistered = false;
}

// ---- the steady pair ----------------------------------------------------------------------

// Opened before the threads start and touched by no other thread than SteadyUser.
struct Steady {
    MIVOBLE_HANDLE handle = 0;
    size_t plan = 0;
};
std::vector<Steady>& steady = *new std::vector<Steady>;
// Each amplifier's radio work runs apart from the others', so a call on the steady pair waits
// on a faulted amplifier for at most 100 ms; the rest of the bound is what a loaded machine
// and a sanitizer add, below the 2.5 s a faulted amplifier's service discovery takes.
milliseconds steadyBound{100 + 1400};

// Calls on the steady pair: count and longest time, by call.
std::mutex& steadyMutex = *new std::mutex;
std::map<std::string, std::pair<unsigned, milliseconds>>& steadyCalls =
    *new std::map<std::string, std::pair<unsigned, milliseconds>>;

// One call on the steady pair: it must succeed, and once the run is under way (`timed`)
// within steadyBound.
template <class Call>
int32_t SteadyCall(const char* call, const Steady& s, Call&& make, bool timed = true) {
    const auto start = std::chrono::steady_clock::now();
    int32_t result;
    {
        CallGuard guard(call, kCallBound);
        result = make();
    }
    const auto took = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start);
    const char* name = Plans()[s.plan].name.c_str();
    Findings::Instance().Called(call, result == MIVOBLE_OK);
    if (result != MIVOBLE_OK)
        Findings::Instance().Fail("steady", "%s on '%s' returned %d: %s", call, name, result,
                                  MIVOBLE_GetLastErrorText());
    if (timed && took > steadyBound) {
        Findings::Instance().Fail("steady-latency", "%s on '%s' took %lld ms (bound %lld ms)", call, name,
                                  static_cast<long long>(took.count()), static_cast<long long>(steadyBound.count()));
    }
    std::lock_guard lock(steadyMutex);
    auto& [count, longest] = steadyCalls[call];
    ++count;
    longest = std::max(longest, took);
    return result;
}

void OnSteadyRow(MIVOBLE_HANDLE handle, const float* row, uint32_t width) {
    Streams::Instance().Rows(handle, row, 1, width);
}
void OnSteadyRows(MIVOBLE_HANDLE handle, const float* rows, uint32_t count, uint32_t width) {
    Streams::Instance().Rows(handle, rows, count, width);
}

// Opens the steady pair and starts their streams: the legacy one batched, the NUS one per row.
void OpenSteady() {
    for (size_t index = kFaulted; index < Plans().size(); ++index) {
        const AmplifierPlan& plan = Plans()[index];
        Steady s{0, index};
        // Before the run: opening and setting up is not timed.
        if (SteadyCall(
                "MIVOBLE_OpenDevice (steady)", s, [&] { return MIVOBLE_OpenDevice(plan.name.c_str(), &s.handle); },
                false) != MIVOBLE_OK) {
            continue;
        }
        Streams::Instance().Opened(s.handle, plan);
        SteadyCall(
            "MIVOBLE_RegisterConnectionStateCallback (steady)", s,
            [&] { return MIVOBLE_RegisterConnectionStateCallback(s.handle, OnState); }, false);
        if (!plan.legacy) {
            if (SendLayout(s.handle, plan, "MIVOBLE_SendFrame (steady layout)") == MIVOBLE_OK) {
                Streams::Instance().LayoutSet(s.handle);
            } else {
                Findings::Instance().Fail("steady", "the layout of '%s' was not set", plan.name.c_str());
            }
        }
        SteadyCall(
            "MIVOBLE_SetFramesPerCallback (steady)", s, [&] { return MIVOBLE_SetFramesPerCallback(s.handle, 16); },
            false);
        Streams::Instance().RegistrationBegins(s.handle);
        const char* call = plan.legacy ? "MIVOBLE_RegisterDataAvailableBatchedCallback (steady)"
                                       : "MIVOBLE_RegisterDataAvailableCallback (steady)";
        const int32_t result = SteadyCall(
            call, s,
            [&] {
                return plan.legacy ? MIVOBLE_RegisterDataAvailableBatchedCallback(s.handle, OnSteadyRows)
                                   : MIVOBLE_RegisterDataAvailableCallback(s.handle, OnSteadyRow);
            },
            false);
        Streams::Instance().RegistrationEnded(s.handle, true, result);
        steady.push_back(s);
    }
}

// Calls on the steady pair at a brisk pace, while the faulted amplifiers reconnect.
void SteadyUser(unsigned seed) {
    std::mt19937 random(seed);
    while (running && !steady.empty()) {
        const Steady& s = steady[random() % steady.size()];
        const AmplifierPlan& plan = Plans()[s.plan];
        switch (random() % (plan.legacy ? 2 : 4)) {
            case 0: {
                MIVOBLE_DEVICE_INFORMATION info;
                if (SteadyCall("MIVOBLE_GetDeviceInformation (steady)", s,
                               [&] { return MIVOBLE_GetDeviceInformation(s.handle, &info); }) == MIVOBLE_OK &&
                    plan.name != std::string(info.serialNumber, strnlen(info.serialNumber, sizeof info.serialNumber))) {
                    Findings::Instance().Fail("steady", "serial number '%.*s' for '%s'",
                                              static_cast<int>(sizeof info.serialNumber), info.serialNumber,
                                              plan.name.c_str());
                }
                break;
            }
            case 1: {
                MIVOBLE_CHANNEL_CONFIGURATION channels[64];
                uint32_t count = 64;
                SteadyCall("MIVOBLE_GetChannelConfiguration (steady)", s,
                           [&] { return MIVOBLE_GetChannelConfiguration(s.handle, channels, &count); });
                break;
            }
            case 2: {
                const uint8_t payload[] = {0x5A, static_cast<uint8_t>(random())};
                uint8_t status = 0xEE, response[8];
                uint16_t length = sizeof response;
                if (SteadyCall("MIVOBLE_SendFrame (steady)", s,
                               [&] {
                                   return MIVOBLE_SendFrame(s.handle, kNusEcho, payload, sizeof payload, &status,
                                                            response, &length, kFrameTimeoutMs);
                               }) == MIVOBLE_OK &&
                    (status != 0 || length != sizeof payload || std::memcmp(response, payload, sizeof payload) != 0)) {
                    Findings::Instance().Fail("steady", "echo on '%s' answered with status %u and %u bytes that differ",
                                              plan.name.c_str(), status, length);
                }
                break;
            }
            default: {
                MIVOBLE_IMAGE_STATE images[4];
                uint32_t count = 4;
                SteadyCall("MIVOBLE_ListImages (steady)", s,
                           [&] { return MIVOBLE_ListImages(s.handle, images, &count); });
                break;
            }
        }
        Pause(random, 10, 60);
    }
}

void Monitor() {
    while (running) {
        Streams::Instance().CheckSilence();
        std::this_thread::sleep_for(milliseconds(250));  // a poll interval, not synchronisation
    }
}

unsigned EnvNumber(const char* name, unsigned fallback) {
    const char* text = std::getenv(name);
    return text && *text ? static_cast<unsigned>(std::strtoul(text, nullptr, 10)) : fallback;
}

bool EnvIs(const char* name, const char* value, bool fallback) {
    const char* text = std::getenv(name);
    return text && *text ? std::strcmp(text, value) == 0 : fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const unsigned seconds =
        EnvNumber("MIVOBLE_STRESS_SECONDS", argc > 1 ? static_cast<unsigned>(std::atoi(argv[1])) : 60);
    const unsigned seed = EnvNumber("MIVOBLE_STRESS_SEED", static_cast<unsigned>(std::random_device{}()));
    callbackCallsAll = EnvIs("MIVOBLE_STRESS_CALLBACK_CALLS", "all", true);
    replaceCallbacks = EnvIs("MIVOBLE_STRESS_REPLACE_CALLBACKS", "1", true);
    Streams::Instance().SetSilenceLimit(milliseconds(EnvNumber("MIVOBLE_STRESS_SILENCE_MS", 1500)));
    const bool exitOpen = EnvIs("MIVOBLE_STRESS_EXIT_OPEN", "1", true);
    setenv("MIVOBLE_BACKEND", "sim", 1);
    setenv("MIVOBLE_SIM", kSimulator, 1);
    std::fprintf(stderr, "stress: %u s, seed %u, calls from data callbacks: %s, exit with handles open: %s\n", seconds,
                 seed, callbackCallsAll ? "all" : "MIVOBLE_GetLastErrorText only", exitOpen ? "yes" : "no");

    steadyBound = milliseconds(EnvNumber("MIVOBLE_STRESS_STEADY_MS", static_cast<unsigned>(steadyBound.count())));

    Watchdog::Instance().Start();
    OpenSteady();
    std::vector<std::thread> threads;
    threads.emplace_back(SteadyUser, seed + 7);
    threads.emplace_back(Opener, seed + 1);
    threads.emplace_back(Opener, seed + 2);
    threads.emplace_back(CallbackRegistrar, seed + 3);
    threads.emplace_back(DeviceUser, seed + 4);
    threads.emplace_back(DeviceUser, seed + 5);
    threads.emplace_back(DiscoveryUser, seed + 6);
    threads.emplace_back(Monitor);
    std::this_thread::sleep_for(std::chrono::seconds(seconds));  // the run time
    running = false;
    for (auto& t : threads) t.join();

    bool passed = true;
    uint64_t losses = 0;
    for (const auto& plan : Plans()) {
        const auto totals = Streams::Instance().TotalsByAmplifier()[plan.name];
        std::fprintf(stderr, "stress: %s: %llu rows (%llu filled in), %llu losses, %llu reconnects reported\n",
                     plan.name.c_str(), static_cast<unsigned long long>(totals.rows),
                     static_cast<unsigned long long>(totals.filledRows), static_cast<unsigned long long>(totals.losses),
                     static_cast<unsigned long long>(totals.reconnects));
        // A run in which an amplifier streamed nothing, or no link ever dropped, tested little.
        if (seconds >= 30 && totals.rows == 0) {
            Findings::Instance().Fail("coverage", "'%s' delivered no rows", plan.name.c_str());
        }
        if (&plan - Plans().data() < static_cast<std::ptrdiff_t>(kFaulted)) {
            losses += totals.losses;
        } else if (totals.losses != 0 || totals.filledRows != 0) {
            // The steady pair keeps its link and every sample.
            Findings::Instance().Fail("steady", "'%s' lost its link %llu times and had %llu rows filled in",
                                      plan.name.c_str(), static_cast<unsigned long long>(totals.losses),
                                      static_cast<unsigned long long>(totals.filledRows));
        }
    }
    if (seconds >= 30 && losses == 0) Findings::Instance().Fail("coverage", "no link loss was reported");
    for (const auto& [call, counts] : steadyCalls) {
        std::fprintf(stderr, "stress: %-45s %6u calls, longest %lld ms\n", call.c_str(), counts.first,
                     static_cast<long long>(counts.second.count()));
    }

    if (!exitOpen) {
        std::vector<Published> remaining;
        {
            std::lock_guard lock(publishedMutex);
            remaining.swap(published);
        }
        for (const Steady& s : steady) remaining.push_back({s.handle, s.plan});
        for (auto& p : remaining) {
            MIVOBLE_HANDLE handle = p.handle;
            CallGuard guard("MIVOBLE_CloseDevice (at the end)", kCloseBound);
            CheckResult("MIVOBLE_CloseDevice", MIVOBLE_CloseDevice(&handle));
            Streams::Instance().Closed(p.handle);
        }
        CallGuard guard("MIVOBLE_Shutdown", kCloseBound);
        CheckResult("MIVOBLE_Shutdown", MIVOBLE_Shutdown());
    }
    passed = Findings::Instance().Report();
    Watchdog::Instance().Stop();
    std::fprintf(stderr, "stress: %s\n", passed ? "passed" : "FAILED");
    // With handles still open the library's exit handling runs from here on.
    return passed ? 0 : 1;
}
