// The real factory: the process-wide scanner and new BleDevice objects.
#include "api/ble_factory.h"
#include "device/ble_device.h"
#include "discovery/ble_scanner.h"

namespace Mivo::BLE {
namespace {

class BleFactory final : public BLEFactory {
public:
    IAdapter& GetAdapter() override { return BleScanner::Instance(); }
    // Opening is constructing: the device connects and configures itself, or throws.
    std::shared_ptr<IDevice> CreateDevice(const std::string& name, std::shared_ptr<IProtocolHandler> handler) override {
        return std::make_shared<BleDevice>(name, std::move(handler));
    }
};

}  // namespace

std::shared_ptr<BLEFactory> CreateBleFactory() { return std::make_shared<BleFactory>(); }

}  // namespace Mivo::BLE
