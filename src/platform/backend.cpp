#include "platform/backend.h"

#include <cstdlib>
#include <mutex>
#include <string>

#include "log/log.h"

namespace Mivo::BLE::Platform {
namespace {

std::mutex g_mutex;
std::shared_ptr<IStack> g_stack;
std::shared_ptr<IStack> g_testStack;

std::shared_ptr<IStack> CreateConfiguredStack() {
    const char* env = std::getenv("MIVOBLE_BACKEND");
    std::string name = env ? env : "bluez";
    if (name.empty() || name == "bluez") return CreateBluezStack();
    if (name == "sim") return CreateSimStack();
    LogMessage(kLogError, "platform: unknown MIVOBLE_BACKEND '%s'; no Bluetooth adapter available", name.c_str());
    return CreateNoAdapterStack();
}

}  // namespace

std::shared_ptr<IStack> GetStack() {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_testStack) return g_testStack;
    if (!g_stack) g_stack = CreateConfiguredStack();
    return g_stack;
}

void SetStackForTesting(std::shared_ptr<IStack> stack) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_testStack = std::move(stack);
}

}  // namespace Mivo::BLE::Platform
