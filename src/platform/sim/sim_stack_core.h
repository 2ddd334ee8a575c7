#pragma once
// The inside of a SimStack: adapter and radio state, the amplifiers on air, the
// advertising scheduler, the watchers, and the pools that complete operations and run
// the host's background work.
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/sim/sim_amplifier.h"
#include "platform/sim/sim_control.h"
#include "platform/sim/sim_threads.h"
#include "platform/stack.h"
#include "platform/thread_pool.h"

namespace Mivo::BLE::Sim::Detail {

class SimWatcher;

class StackCore : public std::enable_shared_from_this<StackCore> {
public:
    StackCore();
    ~StackCore();
    void Shutdown();

    bool AdapterPresent() const { return adapter_.load(); }
    bool RadioOn() const { return radio_.load(); }
    void SetAdapterPresent(bool present);
    void SetRadioOn(bool on);

    // Completes an operation on a completion thread (false once shut down).
    bool SubmitCompletion(std::function<void()> work) { return completions_.Submit(std::move(work)); }
    bool SubmitBackground(std::function<void()> work) { return background_.Submit(std::move(work)); }

    std::shared_ptr<Amplifier> Add(AmplifierConfig config);
    void Remove(const std::string& name);
    void RemoveAll();
    std::shared_ptr<Amplifier> Find(const std::string& name);
    std::shared_ptr<Amplifier> FindByAddress(uint64_t address);
    std::vector<std::shared_ptr<Amplifier>> Amplifiers();

    std::shared_ptr<Platform::IAdvertisementWatcher> CreateWatcher();
    Platform::AsyncOp<std::shared_ptr<Platform::IBluetoothLEDevice>> FromAddress(uint64_t address);
    Platform::AsyncOp<std::shared_ptr<Platform::IBluetoothAdapter>> DefaultAdapter();

    // Applies MIVOBLE_SIM text: adapter/radio items and amplifiers (bad items logged).
    void Apply(const std::string& config);

private:
    void ScheduleAdvertising(const std::shared_ptr<AmplifierCore>& amplifier, Clock::time_point at);
    void Advertise(const std::weak_ptr<AmplifierCore>& amplifier);

    std::atomic<bool> adapter_{true}, radio_{true};
    std::mutex mutex_;
    std::vector<std::shared_ptr<Amplifier>> amplifiers_;
    std::vector<std::weak_ptr<SimWatcher>> watchers_;
    bool shutdown_ = false;
    Platform::ThreadPool completions_{2};
    Platform::ThreadPool background_{2};
    TimerThread air_{"sim-air"};
};

}  // namespace Mivo::BLE::Sim::Detail
