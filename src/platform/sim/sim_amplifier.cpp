// A virtual amplifier's life: construction, start, shutdown, scripted operation faults, counters.
#include "platform/sim/sim_amplifier.h"

#include <algorithm>
#include <cstdlib>
#include <future>
#include <limits>

#include "log/log.h"
#include "platform/sim/sim_stack_core.h"

namespace Mivo::BLE::Sim::Detail {

using namespace Platform;

// ---- construction ----

AmplifierCore::AmplifierCore(AmplifierConfig config, std::weak_ptr<StackCore> stack)
    : stack_(std::move(stack)),
      config_(config),
      name_(config.name),
      address_(config.addr ? *config.addr : AddressFromName(config.name)),
      advertising_(config.advertising),
      connectable_(config.connectable),
      interval_(config.interval),
      dropEvery_(config.dropEvery),
      battery_(config.battery),
      firmware_(config.fw),
      refuseRemaining_(config.refuseConnects),
      dropNotifyEvery_(config.dropNotifyEvery),
      corruptNext_(config.corrupt),
      shortenNext_(config.shorten),
      smp_(SmpServer::Options{config.slotSize, config.smpRcZero, config.smpParams, config.smpBufCount,
                              config.smpBufSize}),
      smpSplit_(std::max<size_t>(1, config.smpSplit)),
      link_("sim-link"),
      events_("sim-events") {
    if (!config.hang.empty()) {
        auto colon = config.hang.find(':');
        if (colon == std::string::npos) Hang(config.hang, "");
        else Hang(config.hang.substr(0, colon), config.hang.substr(colon + 1));
    }
    if (!config.delay.empty()) {  // "Op:ms" or "Op:UUID:ms", checked by the configuration reader
        auto first = config.delay.find(':'), last = config.delay.rfind(':');
        long ms = std::strtol(config.delay.c_str() + last + 1, nullptr, 10);
        Delay(config.delay.substr(0, first), Milliseconds(ms),
              first == last ? "" : config.delay.substr(first + 1, last - first - 1));
    }
    if (!config.nus.empty()) {
        NusResponseScript every;
        every.requests = std::numeric_limits<int>::max();
        if (config.nus.rfind("late:", 0) == 0)
            every.delay = Milliseconds(std::strtol(config.nus.c_str() + 5, nullptr, 10));
        else if (config.nus == "never") every.never = true;
        else if (config.nus == "badcrc") every.badCrc = true;
        else if (config.nus == "trailing") every.trailing = {0x00};
        else if (config.nus == "unsolicited")
            every.unsolicited = Wire::BuildResponseFrame(0x7E, 0x00, {});  // an event frame of its own
        ScriptNusResponse(every);
    }
    if (config.gen == Generation::Legacy) {
        const size_t payload = static_cast<size_t>(config.channels + (config.counter ? 1 : 0)) * config.frames * 3;
        if (payload > PacketPayloadLocked())
            LogMessage(kLogWarn,
                       "sim: '%s' sample payloads of %zu bytes exceed one packet (MTU %zu - 3); they go out cut",
                       config.name.c_str(), payload, config.mtu);
    }
}

AmplifierCore::~AmplifierCore() { Shutdown(); }

void AmplifierCore::Start() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (config_.batteryEvery.count() > 0) {
        std::weak_ptr<AmplifierCore> weak = weak_from_this();
        link_.PostAfter(config_.batteryEvery, [weak] {
            if (auto self = weak.lock()) self->BatteryTick();
        });
    }
}

void AmplifierCore::Shutdown() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shutdown_) return;
        shutdown_ = true;
    }
    Disconnect();
    link_.Stop();
    // Deliver what is queued (the link-status event of the drop) before the thread stops.
    if (!events_.OnThisThread()) {
        auto delivered = std::make_shared<std::promise<void>>();
        auto future = delivered->get_future();
        if (events_.Post([delivered] { delivered->set_value(); })) future.wait_for(std::chrono::seconds(2));
    }
    events_.Stop();
}

bool AmplifierCore::IsShutDown() {
    std::lock_guard<std::mutex> lock(mutex_);
    return shutdown_;
}

bool AmplifierCore::StackAvailable() {
    auto stack = stack_.lock();
    return stack && stack->AdapterPresent() && stack->RadioOn();
}

void AmplifierCore::CompleteLater(const std::function<void()>& completion) {
    auto stack = stack_.lock();
    if (stack && stack->SubmitCompletion(completion)) return;
    completion();  // the stack is gone: complete here, on the simulator thread
}
// ---- faults ----

AmplifierCore::OpFault AmplifierCore::FaultFor(const std::string& operation, std::optional<Attr> attr) {
    std::lock_guard<std::mutex> lock(mutex_);
    OpFault out;
    for (auto& f : faults_) {
        if (f.operation != operation) continue;
        if (f.uuid && (!attr || UuidOf(*attr) != *f.uuid)) continue;
        if (f.hang) out.hang = true;
        out.delay += f.delay;
    }
    return out;
}

namespace {
bool KnownOperation(const std::string& op) {
    return op == kOpRead || op == kOpServices || op == kOpCharacteristics || op == kOpWrite || op == kOpCccd ||
           op == kOpFromAddress;
}
}  // namespace

void AmplifierCore::Hang(const std::string& operation, const std::string& characteristic) {
    Fault f;
    f.operation = operation;
    f.hang = true;
    if (!KnownOperation(operation))
        LogMessage(kLogWarn, "sim: hang of unknown operation '%s' has no effect", operation.c_str());
    if (!characteristic.empty()) {
        Uuid u;
        if (!ParseUuidText(characteristic, u)) {
            LogMessage(kLogError, "sim: bad characteristic UUID '%s' for hang", characteristic.c_str());
            return;
        }
        f.uuid = u;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(f);
}

void AmplifierCore::Delay(const std::string& operation, Milliseconds delay, const std::string& characteristic) {
    Fault f;
    f.operation = operation;
    f.delay = delay;
    if (!KnownOperation(operation))
        LogMessage(kLogWarn, "sim: delay of unknown operation '%s' has no effect", operation.c_str());
    if (!characteristic.empty()) {
        Uuid u;
        if (!ParseUuidText(characteristic, u)) {
            LogMessage(kLogError, "sim: bad characteristic UUID '%s' for delay", characteristic.c_str());
            return;
        }
        f.uuid = u;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.push_back(f);
}

void AmplifierCore::ClearFaults() {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_.clear();
    refuseRemaining_ = 0;
    dropNotifyEvery_ = corruptNext_ = shortenNext_ = 0;
    dropEvery_ = Milliseconds(0);
    if (dropTask_) link_.Cancel(dropTask_);
    dropTask_ = 0;
    nusScripts_.clear();
    recordScripts_.clear();
}
// ---- counters ----

AmplifierCore::Counters AmplifierCore::GetCounters() {
    std::lock_guard<std::mutex> lock(mutex_);
    Counters c;
    c.connects = connects_;
    c.refused = refused_;
    c.resets = resets_;
    c.connected = connected_;
    c.streaming = streaming_;
    c.notificationsSent = sent_;
    c.notificationsDropped = dropped_;
    c.notificationsCut = cutNotifications_;
    c.advertisements = advertisements_;
    c.nusRequests = nusRequests_;
    c.smpRequests = smpRequests_;
    c.pending = pending_.load();
    return c;
}

std::vector<ImageSlot> AmplifierCore::Images() {
    std::lock_guard<std::mutex> lock(mutex_);
    return smp_.Slots();
}
}  // namespace Mivo::BLE::Sim::Detail
