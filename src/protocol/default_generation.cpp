#include "protocol/default_generation.h"

#include <atomic>

namespace Mivo::BLE {
namespace {
std::atomic<uint32_t> g_defaultGeneration{0};
}

uint32_t GetDefaultGeneration() { return g_defaultGeneration.load(std::memory_order_relaxed); }
void SetDefaultGeneration(uint32_t generation) { g_defaultGeneration.store(generation, std::memory_order_relaxed); }

}  // namespace Mivo::BLE
