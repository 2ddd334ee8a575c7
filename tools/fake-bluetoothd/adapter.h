#pragma once
// org.bluez.Adapter1 at /org/bluez/hciN: power, discovery sessions per D-Bus sender (as
// bluetoothd keeps them), and the Device1 objects of the amplifiers discovery has seen.
// The radio behind it is the simulated stack's; advertisements come from one watcher that
// runs while any session discovers, thinned as a controller's duplicate filter thins them:
// one report per device and discovery cycle, none from a connected device (a connected
// peripheral stops advertising).
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "context.h"
#include "device.h"

namespace Mivo::FakeBluez {

class Adapter : public std::enable_shared_from_this<Adapter> {
public:
    // `index` numbers the adapter's address; `powerChanged` runs (strand) after each change of power.
    Adapter(Context& context, std::string name, int index, bool powered, std::function<void()> powerChanged);
    ~Adapter();
    void Register();  // strand
    void Shutdown();  // strand: stops the watcher, removes every device

    // strand
    void SetPowered(bool powered);
    bool Powered();
    void SenderLeft(const std::string& sender);
    std::shared_ptr<Device> FindDevice(uint64_t address);
    const std::string& Name() const { return name_; }
    const std::string& Path() const { return path_; }

private:
    struct Filter {
        std::vector<std::string> uuids;
        std::optional<int16_t> rssi;
        bool duplicateData = true;
    };
    struct Session {
        std::optional<Filter> filter;
        bool discovering = false;
    };

    void SetDiscoveryFilter(Reply<> reply, const std::string& sender, std::optional<Filter> filter);
    void StartDiscovery(Reply<> reply, const std::string& sender);
    void StopDiscovery(Reply<> reply, const std::string& sender);
    void RemoveDevice(Reply<> reply, const std::string& path);
    void UpdateDiscovering();
    // The filter the sessions merge to, as text: a change restarts the scan (a new cycle).
    std::string MergedFilter() const;
    void RestartCycleIfChanged(const std::string& mergedBefore);
    void OnAdvertisement(const Platform::AdvertisementEvent& event);
    void SetProperty(const std::string& name, sdbus::Variant value);
    static Filter ParseFilter(const PropertyMap& options);  // throws InvalidArguments

    Context& context_;
    const std::string name_, path_, address_;
    std::function<void()> powerChanged_;
    std::unique_ptr<sdbus::IObject> object_;

    // Read by getters (under context_.props).
    bool powered_ = true, discovering_ = false;

    // Strand only.
    std::map<std::string, Session> sessions_;
    std::map<uint64_t, std::shared_ptr<Device>> devices_;
    std::shared_ptr<Platform::IAdvertisementWatcher> watcher_;
    Platform::EventToken advertToken_ = 0;
    uint64_t advertisements_ = 0;
    // Discovery cycles: when the current scan started, and the devices it reported.
    std::chrono::steady_clock::time_point cycleStart_{};
    uint64_t cycle_ = 0;
    std::map<uint64_t, uint64_t> reportedInCycle_;  // address -> cycle + 1
};

}  // namespace Mivo::FakeBluez
