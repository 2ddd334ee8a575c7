#pragma once
// org.bluez.Adapter1 at /org/bluez/hci0: power, discovery sessions per D-Bus sender (as
// bluetoothd keeps them), and the Device1 objects of the amplifiers discovery has seen.
// The radio behind it is the simulated stack's; advertisements come from one watcher that
// runs while any session discovers.
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
    static constexpr const char* kPath = "/org/bluez/hci0";

    Adapter(Context& context, bool powered);
    ~Adapter();
    void Register();  // strand
    void Shutdown();  // strand: stops the watcher, removes every device

    // strand
    void SetPowered(bool powered);
    void SenderLeft(const std::string& sender);
    std::shared_ptr<Device> FindDevice(uint64_t address);

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
    void OnAdvertisement(const Platform::AdvertisementEvent& event);
    void SetProperty(const std::string& name, sdbus::Variant value);
    static Filter ParseFilter(const PropertyMap& options);  // throws InvalidArguments

    Context& context_;
    std::unique_ptr<sdbus::IObject> object_;

    // Read by getters (under context_.props).
    bool powered_ = true, discovering_ = false;

    // Strand only.
    std::map<std::string, Session> sessions_;
    std::map<uint64_t, std::shared_ptr<Device>> devices_;
    std::shared_ptr<Platform::IAdvertisementWatcher> watcher_;
    Platform::EventToken advertToken_ = 0;
    uint64_t advertisements_ = 0;
};

}  // namespace Mivo::FakeBluez
