#pragma once
// Hands out the process-wide scanner and new device objects.
#include <memory>
#include <string>

#include "core/i_device.h"
#include "discovery/i_adapter.h"

namespace Mivo::BLE {

class IProtocolHandler;

class BLEFactory {
public:
    virtual ~BLEFactory() = default;
    // The process-wide scanner, created on first call; a failed creation is retried next time.
    virtual IAdapter& GetAdapter() = 0;
    // Connects to and configures the amplifier advertising `name`; throws ApiException on failure.
    // A null handler makes the device apply the default generation.
    virtual std::shared_ptr<IDevice> CreateDevice(const std::string& name,
                                                  std::shared_ptr<IProtocolHandler> handler) = 0;
};

// The real factory (scanner and BleDevice), made once by GetFactory().
std::shared_ptr<BLEFactory> CreateBleFactory();

// The factory the exports use. Tests may install their own (nullptr restores the real one).
BLEFactory& GetFactory();
// The same factory, kept alive for as long as the caller holds it.
std::shared_ptr<BLEFactory> AcquireFactory();
void SetFactoryForTesting(std::shared_ptr<BLEFactory> factory);

}  // namespace Mivo::BLE
