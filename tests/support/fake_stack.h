#pragma once
// A scriptable in-memory Bluetooth LE stack for tests.
//
// Every asynchronous operation of the fakes is driven by an OpScript: queued steps say how
// the next calls end (complete now, complete on the event thread, complete after a delay,
// fail, get cancelled by the platform, or never complete), and a default applies once the
// steps run out. Events (advertisements, notifications, link status) are delivered on the
// stack's own event thread, never on the thread that injects them, as a real backend does.
// Handler removal keeps the seam's promise: it returns only when the handler is not running.
//
// Typical use:
//   auto stack = std::make_shared<Testing::FakeStack>();
//   Testing::ScopedStack installed(stack);        // Platform::GetStack() now returns it
//   auto device = stack->AddDevice(0xA1B2C3D4E5F6);
//   auto ch = device->AddService(serviceUuid)->AddCharacteristic(charUuid);
//   ch->read.Hang();                              // the next read never completes
//   ch->Notify({1, 2, 3});                        // one notification on the event thread
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/async_operation.h"
#include "platform/backend.h"
#include "platform/stack.h"
#include "platform/thread_pool.h"
#include "platform/uuid.h"

namespace Mivo::BLE::Testing {

using namespace std::chrono_literals;
using Platform::AsyncOp;
using Platform::AsyncStatus;
using Platform::Bytes;
using Platform::EventToken;
using Platform::PlatformError;

// How long the fakes' own waits (WaitFor...) allow before reporting failure. Generous: a
// passing test never waits for it.
inline constexpr std::chrono::milliseconds kFakeWaitLimit{10000};

// One thread that runs posted work in due-time order (ties in posting order). Owned by a
// FakeStack and shared by its objects; stops and joins when the last owner lets go.
class EventLoop {
public:
    EventLoop() : core_(std::make_shared<Core>()) {
        std::shared_ptr<Core> core = core_;
        thread_ = std::thread([core] { core->Loop(); });
        threadId_ = thread_.get_id();
    }
    ~EventLoop() {
        {
            std::lock_guard<std::mutex> lock(core_->mutex);
            core_->stopping = true;
        }
        core_->wake.notify_all();
        // Destroyed from one of its own items (the item held the last owner): the thread
        // holds the core and finishes on its own.
        if (std::this_thread::get_id() == threadId_) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    void Post(std::function<void()> work) { PostAfter(0ms, std::move(work)); }
    void PostAfter(std::chrono::milliseconds delay, std::function<void()> work) {
        {
            std::lock_guard<std::mutex> lock(core_->mutex);
            core_->items.push_back({std::chrono::steady_clock::now() + delay, core_->nextSeq++, std::move(work)});
        }
        core_->wake.notify_all();
    }
    // Returns once everything already due has run (work posted with a delay that has not
    // expired yet is not waited for). False when that took longer than `limit`.
    bool Flush(std::chrono::milliseconds limit = kFakeWaitLimit) {
        if (OnLoopThread()) return false;  // would wait on itself
        auto done = std::make_shared<std::promise<void>>();
        auto future = done->get_future();
        Post([done] { done->set_value(); });
        return future.wait_for(limit) == std::future_status::ready;
    }
    bool OnLoopThread() const { return std::this_thread::get_id() == threadId_; }
    std::thread::id ThreadId() const { return threadId_; }

private:
    struct Item {
        std::chrono::steady_clock::time_point due;
        uint64_t seq;
        std::function<void()> work;
    };
    struct Core {
        std::mutex mutex;
        std::condition_variable wake;
        std::vector<Item> items;
        uint64_t nextSeq = 0;
        bool stopping = false;

        void Loop() {
            std::unique_lock<std::mutex> lock(mutex);
            for (;;) {
                if (stopping) return;  // pending (delayed) items are dropped
                if (items.empty()) {
                    wake.wait(lock);
                    continue;
                }
                auto next = std::min_element(items.begin(), items.end(), [](const Item& a, const Item& b) {
                    return a.due != b.due ? a.due < b.due : a.seq < b.seq;
                });
                if (next->due > std::chrono::steady_clock::now()) {
                    wake.wait_until(lock, next->due);
                    continue;
                }
                std::function<void()> work = std::move(next->work);
                items.erase(next);
                lock.unlock();
                try {
                    work();
                } catch (...) {
                }
                work = nullptr;
                lock.lock();
            }
        }
    };
    std::shared_ptr<Core> core_;
    std::thread thread_;
    std::thread::id threadId_;
};

// A set of event handlers with the seam's removal promise: Remove returns only when the
// handler is not running (unless called from inside that handler) and it is never called
// again afterwards.
template <typename... Args>
class EventSource {
public:
    using Handler = std::function<void(Args...)>;

    EventToken Add(Handler handler) {
        std::lock_guard<std::mutex> lock(mutex_);
        EventToken token = ++next_;
        handlers_[token] = std::make_shared<Handler>(std::move(handler));
        return token;
    }
    void Remove(EventToken token) {
        std::unique_lock<std::mutex> lock(mutex_);
        handlers_.erase(token);
        const auto self = std::this_thread::get_id();
        idle_.wait(lock, [&] {
            auto range = running_.equal_range(token);
            return std::none_of(range.first, range.second, [&](const auto& e) { return e.second != self; });
        });
    }
    // Calls every handler present now, on the calling thread, skipping ones removed meanwhile.
    void Fire(Args... args) {
        std::vector<EventToken> tokens;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& [token, handler] : handlers_) tokens.push_back(token);
        }
        for (EventToken token : tokens) {
            std::shared_ptr<Handler> handler;
            std::multimap<EventToken, std::thread::id>::iterator mark;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                auto it = handlers_.find(token);
                if (it == handlers_.end()) continue;
                handler = it->second;
                mark = running_.emplace(token, std::this_thread::get_id());
            }
            try {
                (*handler)(args...);
            } catch (...) {
                // A throwing handler must not stop delivery to the others.
            }
            {
                std::lock_guard<std::mutex> lock(mutex_);
                running_.erase(mark);
            }
            idle_.notify_all();
        }
    }
    size_t Count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return handlers_.size();
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable idle_;
    std::map<EventToken, std::shared_ptr<Handler>> handlers_;
    std::multimap<EventToken, std::thread::id> running_;
    EventToken next_ = 0;
};

// How one call of a scripted operation ends.
template <typename T>
struct Step {
    enum class Kind { Complete, CompleteAsync, CompleteAfter, Fail, Cancelled, Hang };
    Kind kind = Kind::Complete;
    std::optional<T> value;  // Complete*: empty means "the fake's current default value"
    PlatformError error;
    std::chrono::milliseconds delay{0};

    static Step Completes(std::optional<T> v = std::nullopt) { return {Kind::Complete, std::move(v), {}, 0ms}; }
    static Step CompletesAsync(std::optional<T> v = std::nullopt) {
        return {Kind::CompleteAsync, std::move(v), {}, 0ms};
    }
    static Step CompletesAfter(std::chrono::milliseconds d, std::optional<T> v = std::nullopt) {
        return {Kind::CompleteAfter, std::move(v), {}, d};
    }
    static Step Fails(int32_t code, std::string message) {
        return {Kind::Fail, std::nullopt, PlatformError{code, std::move(message)}, 0ms};
    }
    static Step Cancelled() { return {Kind::Cancelled, std::nullopt, {}, 0ms}; }
    static Step Hangs() { return {Kind::Hang, std::nullopt, {}, 0ms}; }
};

// The script and the record of one asynchronous operation kind of one fake object.
template <typename T>
class OpScript {
public:
    OpScript(std::shared_ptr<EventLoop> loop, std::function<T()> defaultValue)
        : loop_(std::move(loop)), defaultValue_(std::move(defaultValue)) {}

    // Queue how the next call ends (steps are consumed one per call, in order).
    OpScript& Then(Step<T> step) {
        std::lock_guard<std::mutex> lock(mutex_);
        steps_.push_back(std::move(step));
        return *this;
    }
    OpScript& Complete(std::optional<T> v = std::nullopt) { return Then(Step<T>::Completes(std::move(v))); }
    OpScript& CompleteAsync(std::optional<T> v = std::nullopt) { return Then(Step<T>::CompletesAsync(std::move(v))); }
    OpScript& CompleteAfter(std::chrono::milliseconds d, std::optional<T> v = std::nullopt) {
        return Then(Step<T>::CompletesAfter(d, std::move(v)));
    }
    OpScript& Fail(int32_t code, std::string message) { return Then(Step<T>::Fails(code, std::move(message))); }
    OpScript& Cancel() { return Then(Step<T>::Cancelled()); }
    OpScript& Hang() { return Then(Step<T>::Hangs()); }
    // What every call does once the queued steps are used up (initially: complete now with
    // the default value).
    void Always(Step<T> step) {
        std::lock_guard<std::mutex> lock(mutex_);
        default_ = std::move(step);
    }

    // Produces the operation for one call (used by the fakes).
    AsyncOp<T> Next() {
        Step<T> step;
        auto op = Platform::MakeAsyncOperation<T>();
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!steps_.empty()) {
                step = std::move(steps_.front());
                steps_.pop_front();
            } else {
                step = default_;
            }
            ops_.push_back(op);
            ++calls_;
        }
        changed_.notify_all();
        std::weak_ptr<State> weak = state_;
        op->OnCancel([weak] {
            if (auto s = weak.lock()) s->RecordCancel();
        });
        auto value = [this, &step]() -> T { return step.value ? *step.value : defaultValue_(); };
        switch (step.kind) {
            case Step<T>::Kind::Complete: op->Complete(value()); break;
            case Step<T>::Kind::CompleteAsync:
            case Step<T>::Kind::CompleteAfter: {
                T v = value();
                loop_->PostAfter(step.delay, [op, v]() mutable { op->Complete(std::move(v)); });
                break;
            }
            case Step<T>::Kind::Fail: op->Fail(step.error); break;
            case Step<T>::Kind::Cancelled: op->MarkCanceled(); break;
            case Step<T>::Kind::Hang: break;
        }
        return op;
    }

    int Calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    // Every operation handed out, oldest first.
    std::vector<AsyncOp<T>> Operations() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return ops_;
    }
    AsyncOp<T> Last() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return ops_.empty() ? nullptr : ops_.back();
    }
    // Cancel requests that reached a still-running operation, and the threads they came on.
    int CancelRequests() const { return state_->Requests(); }
    std::set<std::thread::id> CancelThreads() const { return state_->Threads(); }
    bool WaitForCancelRequests(int n, std::chrono::milliseconds limit = kFakeWaitLimit) const {
        return state_->WaitFor(n, limit);
    }
    bool WaitForCalls(int n, std::chrono::milliseconds limit = kFakeWaitLimit) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return calls_ >= n; });
    }

private:
    // Cancel records live apart from the script: an operation may be cancelled after the fake
    // that made it is gone.
    struct State {
        mutable std::mutex mutex;
        std::condition_variable changed;
        int requests = 0;
        std::set<std::thread::id> threads;
        void RecordCancel() {
            {
                std::lock_guard<std::mutex> lock(mutex);
                ++requests;
                threads.insert(std::this_thread::get_id());
            }
            changed.notify_all();
        }
        int Requests() const {
            std::lock_guard<std::mutex> lock(mutex);
            return requests;
        }
        std::set<std::thread::id> Threads() const {
            std::lock_guard<std::mutex> lock(mutex);
            return threads;
        }
        bool WaitFor(int n, std::chrono::milliseconds limit) {
            std::unique_lock<std::mutex> lock(mutex);
            return changed.wait_for(lock, limit, [&] { return requests >= n; });
        }
    };

    std::shared_ptr<EventLoop> loop_;
    std::function<T()> defaultValue_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<Step<T>> steps_;
    Step<T> default_ = Step<T>::Completes();
    std::vector<AsyncOp<T>> ops_;
    int calls_ = 0;
    std::shared_ptr<State> state_ = std::make_shared<State>();
};

// Counts calls of a synchronous operation that may be told to throw, or to block until
// released (for Close() of a device that hangs).
class SyncScript {
public:
    // The next call throws `error`.
    void FailNext(int32_t code, std::string message) {
        std::lock_guard<std::mutex> lock(mutex_);
        failures_.push_back(PlatformError{code, std::move(message)});
    }
    // Calls block until Release().
    void Block() {
        std::lock_guard<std::mutex> lock(mutex_);
        blocked_ = true;
    }
    void Release() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            blocked_ = false;
        }
        changed_.notify_all();
    }
    int Calls() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return calls_;
    }
    // Calls that have returned or thrown.
    int Finished() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return finished_;
    }
    std::set<std::thread::id> Threads() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return threads_;
    }
    bool WaitForCalls(int n, std::chrono::milliseconds limit = kFakeWaitLimit) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return calls_ >= n; });
    }
    bool WaitForFinished(int n, std::chrono::milliseconds limit = kFakeWaitLimit) const {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return finished_ >= n; });
    }

    // Used by the fakes at each call.
    void Enter() {
        std::unique_lock<std::mutex> lock(mutex_);
        ++calls_;
        threads_.insert(std::this_thread::get_id());
        changed_.notify_all();
        changed_.wait(lock, [&] { return !blocked_; });
        std::optional<PlatformError> failure;
        if (!failures_.empty()) {
            failure = std::move(failures_.front());
            failures_.pop_front();
        }
        ++finished_;
        changed_.notify_all();
        if (failure) throw *failure;
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::deque<PlatformError> failures_;
    bool blocked_ = false;
    int calls_ = 0;
    int finished_ = 0;
    std::set<std::thread::id> threads_;
};

class FakeRadio final : public Platform::IRadio {
public:
    Platform::RadioState State() override { return state.load(); }
    std::atomic<Platform::RadioState> state{Platform::RadioState::On};
};

class FakeAdapter final : public Platform::IBluetoothAdapter {
public:
    explicit FakeAdapter(std::shared_ptr<EventLoop> loop)
        : getRadio(std::move(loop), [this] { return std::shared_ptr<Platform::IRadio>(radio); }) {}
    AsyncOp<std::shared_ptr<Platform::IRadio>> GetRadioAsync() override { return getRadio.Next(); }

    std::shared_ptr<FakeRadio> radio = std::make_shared<FakeRadio>();  // set to nullptr: no radio
    OpScript<std::shared_ptr<Platform::IRadio>> getRadio;
};

class FakeWatcher final : public Platform::IAdvertisementWatcher, public std::enable_shared_from_this<FakeWatcher> {
public:
    explicit FakeWatcher(std::shared_ptr<EventLoop> loop) : loop_(std::move(loop)) {}

    void SetScanningMode(Platform::ScanningMode mode) override { mode_ = mode; }
    EventToken AddReceived(std::function<void(const Platform::AdvertisementEvent&)> handler) override {
        return received_.Add(std::move(handler));
    }
    void RemoveReceived(EventToken token) override { received_.Remove(token); }
    void Start() override {
        start.Enter();
        status_ = Platform::WatcherStatus::Started;
    }
    void Stop() override {
        stop.Enter();
        status_ = Platform::WatcherStatus::Stopped;
    }
    Platform::WatcherStatus Status() override { return status_.load(); }
    std::chrono::milliseconds ReportInterval() override { return std::chrono::milliseconds(reportIntervalMs.load()); }

    // Test side.
    std::atomic<int64_t> reportIntervalMs{0};
    Platform::ScanningMode Mode() const { return mode_.load(); }
    void SetStatus(Platform::WatcherStatus status) { status_ = status; }
    size_t HandlerCount() const { return received_.Count(); }
    // Delivers one advertisement on the event thread, as a real radio would: only when the
    // watcher is started now and still started at delivery.
    void Advertise(Platform::AdvertisementEvent event) {
        if (status_ != Platform::WatcherStatus::Started) return;
        auto self = shared_from_this();
        loop_->Post([self, event] {
            if (self->status_ == Platform::WatcherStatus::Started) self->received_.Fire(event);
        });
    }
    void Advertise(const std::string& name, uint64_t address, bool connectable = true) {
        Advertise(Platform::AdvertisementEvent{name, address, connectable});
    }

    SyncScript start;
    SyncScript stop;

private:
    std::shared_ptr<EventLoop> loop_;
    std::atomic<Platform::ScanningMode> mode_{Platform::ScanningMode::Passive};
    std::atomic<Platform::WatcherStatus> status_{Platform::WatcherStatus::Created};
    EventSource<const Platform::AdvertisementEvent&> received_;
};

class FakeCharacteristic final : public Platform::IGattCharacteristic,
                                 public std::enable_shared_from_this<FakeCharacteristic> {
public:
    using ReadResult = Platform::IGattCharacteristic::ReadResult;

    FakeCharacteristic(std::shared_ptr<EventLoop> loop, Platform::Uuid uuid)
        : read(loop,
               [this] {
                   return ReadResult{Platform::GattStatus::Success, Value()};
               }),
          write(loop, [] { return Platform::GattStatus::Success; }),
          cccd(loop, [] { return Platform::GattStatus::Success; }),
          loop_(std::move(loop)),
          uuid_(uuid) {}

    Platform::Uuid GetUuid() override { return uuid_; }
    AsyncOp<ReadResult> ReadValueAsync() override { return read.Next(); }
    AsyncOp<Platform::GattStatus> WriteValueWithResultAsync(Bytes value, Platform::WriteOption option) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            writes_.push_back({std::move(value), option});
        }
        return write.Next();
    }
    AsyncOp<Platform::GattStatus> WriteClientCharacteristicConfigurationDescriptorAsync(
        Platform::CccdValue value) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            cccdWrites_.push_back(value);
        }
        return cccd.Next();
    }
    EventToken AddValueChanged(std::function<void(const Bytes&)> handler) override {
        return valueChanged_.Add(std::move(handler));
    }
    void RemoveValueChanged(EventToken token) override {
        removeValueChanged.Enter();
        valueChanged_.Remove(token);
    }
    uint16_t GetMtu() override { return mtu.load(); }
    std::atomic<uint16_t> mtu{247};

    // Test side.
    void SetValue(Bytes value) {
        std::lock_guard<std::mutex> lock(mutex_);
        value_ = std::move(value);
    }
    Bytes Value() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return value_;
    }
    std::vector<std::pair<Bytes, Platform::WriteOption>> Writes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return writes_;
    }
    std::vector<Platform::CccdValue> CccdWrites() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return cccdWrites_;
    }
    size_t HandlerCount() const { return valueChanged_.Count(); }
    // One notification, delivered on the event thread.
    void Notify(Bytes value) {
        auto self = shared_from_this();
        loop_->Post([self, value = std::move(value)] { self->valueChanged_.Fire(value); });
    }

    OpScript<ReadResult> read;
    OpScript<Platform::GattStatus> write;
    OpScript<Platform::GattStatus> cccd;
    SyncScript removeValueChanged;

private:
    std::shared_ptr<EventLoop> loop_;
    Platform::Uuid uuid_;
    mutable std::mutex mutex_;
    Bytes value_;
    std::vector<std::pair<Bytes, Platform::WriteOption>> writes_;
    std::vector<Platform::CccdValue> cccdWrites_;
    EventSource<const Bytes&> valueChanged_;
};

class FakeService final : public Platform::IGattService {
public:
    using CharacteristicsResult = Platform::IGattService::CharacteristicsResult;

    FakeService(std::shared_ptr<EventLoop> loop, Platform::Uuid uuid)
        : getCharacteristics(loop,
                             [this] {
                                 return CharacteristicsResult{Platform::GattStatus::Success, List()};
                             }),
          loop_(std::move(loop)),
          uuid_(uuid) {}

    Platform::Uuid GetUuid() override { return uuid_; }
    AsyncOp<CharacteristicsResult> GetCharacteristicsAsync() override { return getCharacteristics.Next(); }
    void Close() override { close.Enter(); }

    std::shared_ptr<FakeCharacteristic> AddCharacteristic(Platform::Uuid uuid) {
        auto c = std::make_shared<FakeCharacteristic>(loop_, uuid);
        std::lock_guard<std::mutex> lock(mutex_);
        characteristics_.push_back(c);
        return c;
    }
    std::vector<std::shared_ptr<Platform::IGattCharacteristic>> List() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return {characteristics_.begin(), characteristics_.end()};
    }

    OpScript<CharacteristicsResult> getCharacteristics;
    SyncScript close;

private:
    std::shared_ptr<EventLoop> loop_;
    Platform::Uuid uuid_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<FakeCharacteristic>> characteristics_;
};

class FakeDevice final : public Platform::IBluetoothLEDevice, public std::enable_shared_from_this<FakeDevice> {
public:
    using ServicesResult = Platform::IBluetoothLEDevice::ServicesResult;

    FakeDevice(std::shared_ptr<EventLoop> loop, uint64_t address)
        : getServices(loop,
                      [this] {
                          return ServicesResult{Platform::GattStatus::Success, List()};
                      }),
          loop_(std::move(loop)),
          address_(address) {}

    uint64_t BluetoothAddress() override { return address_; }
    Platform::ConnectionStatus GetConnectionStatus() override { return status_.load(); }
    EventToken AddConnectionStatusChanged(std::function<void()> handler) override {
        return statusChanged_.Add(std::move(handler));
    }
    void RemoveConnectionStatusChanged(EventToken token) override {
        removeConnectionStatusChanged.Enter();
        statusChanged_.Remove(token);
    }
    AsyncOp<ServicesResult> GetGattServicesAsync() override { return getServices.Next(); }
    void Close() override { close.Enter(); }

    // Test side.
    std::shared_ptr<FakeService> AddService(Platform::Uuid uuid) {
        auto s = std::make_shared<FakeService>(loop_, uuid);
        std::lock_guard<std::mutex> lock(mutex_);
        services_.push_back(s);
        return s;
    }
    std::vector<std::shared_ptr<Platform::IGattService>> List() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return {services_.begin(), services_.end()};
    }
    size_t HandlerCount() const { return statusChanged_.Count(); }
    // Changes the link status and raises the status-changed event on the event thread.
    void SetConnectionStatus(Platform::ConnectionStatus status) {
        status_ = status;
        auto self = shared_from_this();
        loop_->Post([self] { self->statusChanged_.Fire(); });
    }

    OpScript<ServicesResult> getServices;
    SyncScript close;
    SyncScript removeConnectionStatusChanged;

private:
    std::shared_ptr<EventLoop> loop_;
    uint64_t address_;
    std::atomic<Platform::ConnectionStatus> status_{Platform::ConnectionStatus::Connected};
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<FakeService>> services_;
    EventSource<> statusChanged_;
};

class FakeStack final : public Platform::IStack {
public:
    FakeStack()
        : loop_(std::make_shared<EventLoop>()),
          adapter(std::make_shared<FakeAdapter>(loop_)),
          watcher(std::make_shared<FakeWatcher>(loop_)),
          getDefaultAdapter(loop_, [this] { return std::shared_ptr<Platform::IBluetoothAdapter>(adapter); }),
          fromAddress(loop_, [this] { return LookUp(lastAddress_.load()); }) {}
    ~FakeStack() override {
        pool_.Shutdown();  // finishes background work before the fakes go
    }

    AsyncOp<std::shared_ptr<Platform::IBluetoothAdapter>> GetDefaultAdapterAsync() override {
        return getDefaultAdapter.Next();
    }
    std::shared_ptr<Platform::IAdvertisementWatcher> CreateAdvertisementWatcher() override {
        watchersCreated.fetch_add(1);
        return watcher;
    }
    AsyncOp<std::shared_ptr<Platform::IBluetoothLEDevice>> FromBluetoothAddressAsync(uint64_t address) override {
        std::lock_guard<std::mutex> serial(fromAddressMutex_);  // pairs the address with its call
        lastAddress_ = address;
        return fromAddress.Next();
    }
    bool RunOnThreadPool(std::function<void()> work) override {
        if (refuseThreadPool.load()) return false;
        if (!pool_.Submit(std::move(work))) return false;
        poolDispatches.fetch_add(1);
        return true;
    }

    // Test side.
    std::shared_ptr<FakeDevice> AddDevice(uint64_t address) {
        auto d = std::make_shared<FakeDevice>(loop_, address);
        std::lock_guard<std::mutex> lock(mutex_);
        devices_[address] = d;
        return d;
    }
    void RemoveDevice(uint64_t address) {
        std::lock_guard<std::mutex> lock(mutex_);
        devices_.erase(address);
    }
    std::shared_ptr<Platform::IBluetoothLEDevice> LookUp(uint64_t address) const {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = devices_.find(address);
        return it == devices_.end() ? nullptr : it->second;
    }
    // Runs everything already posted to the event thread (notifications, late completions
    // that are due).
    bool FlushEvents(std::chrono::milliseconds limit = kFakeWaitLimit) { return loop_->Flush(limit); }
    std::thread::id EventThread() const { return loop_->ThreadId(); }
    std::shared_ptr<EventLoop> Loop() const { return loop_; }

private:
    std::shared_ptr<EventLoop> loop_;

public:
    std::shared_ptr<FakeAdapter> adapter;  // set to nullptr: the stack has no adapter
    std::shared_ptr<FakeWatcher> watcher;
    OpScript<std::shared_ptr<Platform::IBluetoothAdapter>> getDefaultAdapter;
    OpScript<std::shared_ptr<Platform::IBluetoothLEDevice>> fromAddress;
    std::atomic<bool> refuseThreadPool{false};  // RunOnThreadPool answers false
    std::atomic<int> poolDispatches{0};
    std::atomic<int> watchersCreated{0};

private:
    mutable std::mutex mutex_;
    std::mutex fromAddressMutex_;
    std::atomic<uint64_t> lastAddress_{0};
    std::map<uint64_t, std::shared_ptr<FakeDevice>> devices_;
    Platform::ThreadPool pool_{2};
};

// Installs a stack as Platform::GetStack() for the scope; restores the configured one after.
class ScopedStack {
public:
    explicit ScopedStack(std::shared_ptr<Platform::IStack> stack) { Platform::SetStackForTesting(std::move(stack)); }
    ~ScopedStack() { Platform::SetStackForTesting(nullptr); }
    ScopedStack(const ScopedStack&) = delete;
    ScopedStack& operator=(const ScopedStack&) = delete;
};

}  // namespace Mivo::BLE::Testing
