// The real factory: the process-wide scanner and new BleDevice objects.
#include "api/api_exception.h"
#include "api/ble_factory.h"
#include "discovery/ble_scanner.h"

namespace Mivo::BLE {
namespace {

class BleFactory final : public BLEFactory {
public:
    IAdapter& GetAdapter() override { return BleScanner::Instance(); }
    std::shared_ptr<IDevice> CreateDevice(const std::string&, std::shared_ptr<IProtocolHandler>) override {
        throw ApiException("Could not find device with the specified serial number.", 3);
    }
};

}  // namespace

std::shared_ptr<BLEFactory> CreateBleFactory() { return std::make_shared<BleFactory>(); }

}  // namespace Mivo::BLE
