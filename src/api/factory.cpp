// The process-wide factory: the real one, created on first use, or a test double.
#include <mutex>

#include "api/ble_factory.h"
#include "api/process_exit.h"

namespace Mivo::BLE {

namespace {

struct FactoryHolder {
    std::mutex lock;
    std::shared_ptr<BLEFactory> real;
    std::shared_ptr<BLEFactory> override;
};

// Never destroyed: the scanner behind the real factory must outlive every exit-time caller.
FactoryHolder& Holder() {
    static FactoryHolder* const holder = new FactoryHolder();
    return *holder;
}

}  // namespace

std::shared_ptr<BLEFactory> AcquireFactory() {
    FactoryHolder& holder = Holder();
    std::lock_guard<std::mutex> guard(holder.lock);
    if (holder.override) return holder.override;
    if (!holder.real) {
        holder.real = CreateBleFactory();  // a failure propagates; retried next time
        InstallExitHandler();
    }
    return holder.real;
}

BLEFactory& GetFactory() { return *AcquireFactory(); }

void SetFactoryForTesting(std::shared_ptr<BLEFactory> factory) {
    FactoryHolder& holder = Holder();
    std::lock_guard<std::mutex> guard(holder.lock);
    holder.override = std::move(factory);
}

}  // namespace Mivo::BLE
