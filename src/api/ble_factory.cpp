// The real factory: the process-wide scanner and new BleDevice objects.
#include "api/ble_factory.h"
#include "api/handle_registry.h"
#include "device/ble_device.h"
#include "discovery/ble_scanner.h"

namespace Mivo::BLE {
namespace {

class BleFactory final : public BLEFactory {
public:
    IAdapter& GetAdapter() override { return BleScanner::Instance(); }
    // Opening is constructing: the device connects and configures itself, or throws. It
    // reports its rows and link states with the handle the process-wide registry gives it.
    std::shared_ptr<IDevice> CreateDevice(const std::string& name, std::shared_ptr<IProtocolHandler> handler) override {
        return std::make_shared<BleDevice>(name, std::move(handler), DeviceTiming{}, nullptr,
                                           HandleRegistry::Instance().Finder());
    }
};

}  // namespace

std::shared_ptr<BLEFactory> CreateBleFactory() { return std::make_shared<BleFactory>(); }

}  // namespace Mivo::BLE
