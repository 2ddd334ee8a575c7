// The simulated stack: adapter, radio, advertising, watchers, devices by address, and
// the public control objects (SimStack, Amplifier).
#include <algorithm>

#include "log/log.h"
#include "platform/backend.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_gatt.h"
#include "platform/sim/sim_stack_core.h"

namespace Mivo::BLE::Sim {

using namespace Platform;

namespace Detail {

class SimRadio final : public IRadio {
public:
    explicit SimRadio(std::weak_ptr<StackCore> stack) : stack_(std::move(stack)) {}
    RadioState State() override {
        auto s = stack_.lock();
        if (!s || !s->AdapterPresent()) return RadioState::Unknown;
        return s->RadioOn() ? RadioState::On : RadioState::Off;
    }

private:
    std::weak_ptr<StackCore> stack_;
};

class SimAdapter final : public IBluetoothAdapter {
public:
    explicit SimAdapter(std::weak_ptr<StackCore> stack) : stack_(std::move(stack)) {}
    AsyncOp<std::shared_ptr<IRadio>> GetRadioAsync() override {
        auto op = MakeAsyncOperation<std::shared_ptr<IRadio>>();
        auto s = stack_.lock();
        std::shared_ptr<IRadio> radio = std::make_shared<SimRadio>(stack_);
        if (!s || !s->SubmitCompletion([op, radio] { op->Complete(radio); }))
            op->Fail(PlatformError{-1, "The Bluetooth stack is shut down."});
        return op;
    }

private:
    std::weak_ptr<StackCore> stack_;
};

class SimWatcher final : public IAdvertisementWatcher {
public:
    explicit SimWatcher(std::weak_ptr<StackCore> stack) : stack_(std::move(stack)) {}
    void SetScanningMode(ScanningMode mode) override {
        std::lock_guard<std::mutex> lock(mutex_);
        mode_ = mode;
    }
    EventToken AddReceived(std::function<void(const AdvertisementEvent&)> handler) override {
        return received_.Add(std::move(handler));
    }
    void RemoveReceived(EventToken token) override { received_.Remove(token); }
    void Start() override {
        auto s = stack_.lock();
        if (!s || !s->AdapterPresent()) throw PlatformError{-1, "No Bluetooth adapter found."};
        std::lock_guard<std::mutex> lock(mutex_);
        status_ = s->RadioOn() ? WatcherStatus::Started : WatcherStatus::Aborted;
    }
    void Stop() override {
        std::lock_guard<std::mutex> lock(mutex_);
        if (status_ == WatcherStatus::Started) status_ = WatcherStatus::Stopped;
    }
    WatcherStatus Status() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return status_;
    }
    void RadioLost() {
        std::lock_guard<std::mutex> lock(mutex_);
        if (status_ == WatcherStatus::Started) status_ = WatcherStatus::Aborted;
    }
    // Air thread. Names travel in the scan response, so a passive scan sees none.
    void Deliver(AdvertisementEvent event) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (status_ != WatcherStatus::Started) return;
            if (mode_ == ScanningMode::Passive) event.localName.clear();
        }
        received_.Fire(event);
    }

private:
    std::weak_ptr<StackCore> stack_;
    std::mutex mutex_;
    ScanningMode mode_ = ScanningMode::Passive;
    WatcherStatus status_ = WatcherStatus::Created;
    EventSource<const AdvertisementEvent&> received_;
};

StackCore::StackCore() = default;

StackCore::~StackCore() { Shutdown(); }

void StackCore::Shutdown() {
    std::vector<std::shared_ptr<Amplifier>> amplifiers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shutdown_) return;
        shutdown_ = true;
        amplifiers.swap(amplifiers_);
    }
    air_.Stop();
    for (auto& a : amplifiers) a->Core()->Shutdown();
    completions_.Shutdown();
    background_.Shutdown();
}

void StackCore::SetAdapterPresent(bool present) {
    adapter_ = present;
    if (!present) SetRadioOn(radio_.load());  // drops links, aborts watchers
}

void StackCore::SetRadioOn(bool on) {
    radio_ = on;
    if (on && adapter_) return;
    std::vector<std::shared_ptr<SimWatcher>> watchers;
    for (auto& a : Amplifiers()) a->Core()->DropLink();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (auto& w : watchers_)
            if (auto s = w.lock()) watchers.push_back(s);
    }
    for (auto& w : watchers) w->RadioLost();
}

std::shared_ptr<Amplifier> StackCore::Add(AmplifierConfig config) {
    uint64_t address = config.addr ? *config.addr : AddressFromName(config.name);
    auto core = std::make_shared<AmplifierCore>(config, weak_from_this());
    auto amplifier = std::make_shared<Amplifier>(core);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (shutdown_) return nullptr;
        for (auto& a : amplifiers_) {
            if (a->Name() == config.name || a->Address() == address) {
                LogMessage(kLogError, "sim: ignoring amplifier '%s': name or address %s already on air",
                           config.name.c_str(), FormatAddress(address).c_str());
                return nullptr;
            }
        }
        amplifiers_.push_back(amplifier);
    }
    core->Start();
    // Spread the amplifiers' first advertisements over one interval.
    auto offset = std::chrono::milliseconds(
        config.adv.count() > 0 ? static_cast<long>(address % static_cast<uint64_t>(config.adv.count())) : 0);
    ScheduleAdvertising(core, Clock::now() + offset);
    return amplifier;
}

void StackCore::Remove(const std::string& name) {
    std::shared_ptr<Amplifier> removed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = std::find_if(amplifiers_.begin(), amplifiers_.end(), [&](auto& a) { return a->Name() == name; });
        if (it == amplifiers_.end()) return;
        removed = *it;
        amplifiers_.erase(it);
    }
    removed->Core()->Shutdown();
}

void StackCore::RemoveAll() {
    std::vector<std::shared_ptr<Amplifier>> removed;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        removed.swap(amplifiers_);
    }
    for (auto& a : removed) a->Core()->Shutdown();
}

std::shared_ptr<Amplifier> StackCore::Find(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& a : amplifiers_)
        if (a->Name() == name) return a;
    return nullptr;
}

std::shared_ptr<Amplifier> StackCore::FindByAddress(uint64_t address) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto& a : amplifiers_)
        if (a->Address() == address) return a;
    return nullptr;
}

std::vector<std::shared_ptr<Amplifier>> StackCore::Amplifiers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return amplifiers_;
}

void StackCore::ScheduleAdvertising(const std::shared_ptr<AmplifierCore>& amplifier, Clock::time_point at) {
    std::weak_ptr<StackCore> weakStack = weak_from_this();
    std::weak_ptr<AmplifierCore> weakAmp = amplifier;
    air_.PostAt(at, [weakStack, weakAmp, at] {
        auto stack = weakStack.lock();
        auto amp = weakAmp.lock();
        if (!stack || !amp) return;
        {
            std::lock_guard<std::mutex> lock(stack->mutex_);
            bool present = std::any_of(stack->amplifiers_.begin(), stack->amplifiers_.end(),
                                       [&](auto& a) { return a->Core() == amp; });
            if (!present) return;  // removed
        }
        stack->Advertise(weakAmp);
        auto interval = std::max(Milliseconds(1), amp->CurrentAdvert().interval);
        auto next = at + interval;
        if (next < Clock::now()) next = Clock::now() + interval;  // fell behind: do not burst
        stack->ScheduleAdvertising(amp, next);
    });
}

void StackCore::Advertise(const std::weak_ptr<AmplifierCore>& weakAmp) {
    auto amp = weakAmp.lock();
    if (!amp || !AdapterPresent() || !RadioOn()) return;
    auto advert = amp->CurrentAdvert();
    if (!advert.on) return;
    amp->CountAdvertisement();
    std::vector<std::shared_ptr<SimWatcher>> watchers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        watchers_.erase(std::remove_if(watchers_.begin(), watchers_.end(), [](auto& w) { return w.expired(); }),
                        watchers_.end());
        for (auto& w : watchers_)
            if (auto s = w.lock()) watchers.push_back(s);
    }
    AdvertisementEvent event;
    event.localName = advert.name;
    event.address = advert.address;
    event.connectable = advert.connectable;
    for (auto& w : watchers) w->Deliver(event);
}

std::shared_ptr<IAdvertisementWatcher> StackCore::CreateWatcher() {
    auto watcher = std::make_shared<SimWatcher>(weak_from_this());
    std::lock_guard<std::mutex> lock(mutex_);
    watchers_.push_back(watcher);
    return watcher;
}

AsyncOp<std::shared_ptr<IBluetoothLEDevice>> StackCore::FromAddress(uint64_t address) {
    auto op = MakeAsyncOperation<std::shared_ptr<IBluetoothLEDevice>>();
    auto amplifier = AdapterPresent() ? FindByAddress(address) : nullptr;
    if (!amplifier) {
        if (!SubmitCompletion([op] { op->Complete(nullptr); }))
            op->Fail(PlatformError{-1, "The Bluetooth stack is shut down."});
        return op;
    }
    auto core = amplifier->Core();
    auto fault = core->FaultFor(kOpFromAddress, std::nullopt);
    if (fault.hang) {
        op->OnCancel([] {});  // nothing to undo: the request simply never completes
        return op;
    }
    std::weak_ptr<StackCore> weak = weak_from_this();
    auto complete = [weak, op, core, address] {
        auto self = weak.lock();
        std::shared_ptr<IBluetoothLEDevice> device = std::make_shared<SimDevice>(core, address);
        if (!self || !self->SubmitCompletion([op, device] { op->Complete(device); })) op->Complete(device);
    };
    if (!air_.PostAfter(fault.delay, complete)) op->Fail(PlatformError{-1, "The Bluetooth stack is shut down."});
    return op;
}

AsyncOp<std::shared_ptr<IBluetoothAdapter>> StackCore::DefaultAdapter() {
    auto op = MakeAsyncOperation<std::shared_ptr<IBluetoothAdapter>>();
    std::shared_ptr<IBluetoothAdapter> adapter;
    if (AdapterPresent()) adapter = std::make_shared<SimAdapter>(weak_from_this());
    if (!SubmitCompletion([op, adapter] { op->Complete(adapter); }))
        op->Fail(PlatformError{-1, "The Bluetooth stack is shut down."});
    return op;
}

}  // namespace Detail

// ---- Amplifier ----

Amplifier::Amplifier(std::shared_ptr<Detail::AmplifierCore> core) : core_(std::move(core)) {}
Amplifier::~Amplifier() = default;

std::string Amplifier::Name() const { return core_->Name(); }
uint64_t Amplifier::Address() const { return core_->Address(); }
AmplifierConfig Amplifier::Config() const { return core_->Config(); }
void Amplifier::DropLink() { core_->DropLink(); }
void Amplifier::SetDropEvery(Milliseconds period) { core_->SetDropEvery(period); }
void Amplifier::RefuseConnects(int n) { core_->RefuseConnects(n); }
void Amplifier::SetInterval(Microseconds interval) { core_->SetInterval(interval); }
void Amplifier::Hang(const std::string& operation, const std::string& characteristicUuid) {
    core_->Hang(operation, characteristicUuid);
}
void Amplifier::Delay(const std::string& operation, Milliseconds delay, const std::string& characteristicUuid) {
    core_->Delay(operation, delay, characteristicUuid);
}
void Amplifier::ClearFaults() { core_->ClearFaults(); }
void Amplifier::DropNotifyEvery(int n) { core_->DropNotifyEvery(n); }
uint32_t Amplifier::HoldSamples() { return core_->HoldSamples(); }
void Amplifier::ReleaseSamples() { core_->ReleaseSamples(); }
void Amplifier::CorruptNextPayloads(int n) { core_->CorruptNextPayloads(n); }
void Amplifier::ShortenNextPayloads(int n) { core_->ShortenNextPayloads(n); }
void Amplifier::SetAdvertising(bool on) { core_->SetAdvertising(on); }
void Amplifier::SetConnectable(bool on) { core_->SetConnectable(on); }
void Amplifier::SetAdvertisedName(std::string name) { core_->SetAdvertisedName(std::move(name)); }
void Amplifier::SetAddress(uint64_t address) { core_->SetAddress(address); }
void Amplifier::SetBattery(uint8_t percent) { core_->SetBattery(percent); }
void Amplifier::SetConfigRecordScript(RecordKind kind, std::vector<ScriptedRecord> records) {
    core_->SetConfigRecordScript(kind, std::move(records));
}
void Amplifier::ClearConfigRecordScripts() { core_->ClearConfigRecordScripts(); }
Bytes Amplifier::NaturalRecord(RecordKind kind, size_t index) const { return core_->NaturalRecord(kind, index); }
Bytes Amplifier::AmplifierConfigurationRecord() const { return core_->AmplifierConfigurationRecord(); }
void Amplifier::ScriptNusResponse(NusResponseScript script) { core_->ScriptNusResponse(std::move(script)); }
void Amplifier::SendNusUnsolicited(Bytes value) { core_->SendNusUnsolicited(std::move(value)); }
void Amplifier::SetSmpSplit(size_t parts) { core_->SetSmpSplit(parts); }
int32_t Amplifier::SignalValue(int channel, uint64_t frame, int bytesPerSample) const {
    return core_->SignalValue(channel, frame, bytesPerSample);
}
SampleLayout Amplifier::Layout() const { return core_->Layout(); }
int Amplifier::ConnectCount() const { return core_->GetCounters().connects; }
int Amplifier::RefusedConnectCount() const { return core_->GetCounters().refused; }
bool Amplifier::IsConnected() const { return core_->GetCounters().connected; }
bool Amplifier::IsStreaming() const { return core_->GetCounters().streaming; }
size_t Amplifier::NotificationsSent() const { return core_->GetCounters().notificationsSent; }
size_t Amplifier::NotificationsDropped() const { return core_->GetCounters().notificationsDropped; }
size_t Amplifier::NotificationsCut() const { return core_->GetCounters().notificationsCut; }
size_t Amplifier::AdvertisementsSent() const { return core_->GetCounters().advertisements; }
size_t Amplifier::NusRequestsReceived() const { return core_->GetCounters().nusRequests; }
size_t Amplifier::SmpRequestsReceived() const { return core_->GetCounters().smpRequests; }
size_t Amplifier::PendingOperations() const { return core_->GetCounters().pending; }
std::vector<ImageSlot> Amplifier::Images() const { return core_->Images(); }
int Amplifier::ResetCount() const { return core_->GetCounters().resets; }

// ---- SimStack ----

SimStack::SimStack() : core_(std::make_shared<Detail::StackCore>()) {}
SimStack::~SimStack() { core_->Shutdown(); }

AsyncOp<std::shared_ptr<IBluetoothAdapter>> SimStack::GetDefaultAdapterAsync() { return core_->DefaultAdapter(); }
std::shared_ptr<IAdvertisementWatcher> SimStack::CreateAdvertisementWatcher() { return core_->CreateWatcher(); }
AsyncOp<std::shared_ptr<IBluetoothLEDevice>> SimStack::FromBluetoothAddressAsync(uint64_t address) {
    return core_->FromAddress(address);
}
bool SimStack::RunOnThreadPool(std::function<void()> work) { return core_->SubmitBackground(std::move(work)); }
void SimStack::StopAtExit() { core_->Shutdown(); }

std::shared_ptr<Amplifier> SimStack::Find(const std::string& name) const { return core_->Find(name); }
std::shared_ptr<Amplifier> SimStack::FindByAddress(uint64_t address) const { return core_->FindByAddress(address); }
std::vector<std::shared_ptr<Amplifier>> SimStack::Amplifiers() const { return core_->Amplifiers(); }
std::shared_ptr<Amplifier> SimStack::Add(AmplifierConfig config) { return core_->Add(std::move(config)); }
void SimStack::Remove(const std::string& name) { core_->Remove(name); }
void SimStack::Reconfigure(const std::string& config) {
    core_->RemoveAll();
    core_->SetAdapterPresent(true);
    core_->SetRadioOn(true);
    core_->Apply(config);
}
void SimStack::SetAdapterPresent(bool present) { core_->SetAdapterPresent(present); }
void SimStack::SetRadioOn(bool on) { core_->SetRadioOn(on); }
bool SimStack::AdapterPresent() const { return core_->AdapterPresent(); }
bool SimStack::RadioOn() const { return core_->RadioOn(); }

std::shared_ptr<SimStack> MakeSimStack(const std::string& config) {
    auto stack = std::make_shared<SimStack>();
    stack->Core()->Apply(config);
    return stack;
}

std::shared_ptr<SimStack> ActiveSimStack() { return std::dynamic_pointer_cast<SimStack>(Platform::GetStack()); }

}  // namespace Mivo::BLE::Sim
