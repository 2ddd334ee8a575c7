// Entry point of the simulated backend: a SimStack configured from MIVOBLE_SIM.
#include <cstdlib>

#include "platform/backend.h"
#include "platform/sim/sim_control.h"

namespace Mivo::BLE::Platform {

std::shared_ptr<IStack> CreateSimStack() {
    const char* env = std::getenv("MIVOBLE_SIM");
    return Sim::MakeSimStack(env ? std::string(env) : Sim::DefaultSimConfig());
}

}  // namespace Mivo::BLE::Platform
