#include "platform/backend.h"

#include <cstdlib>
#include <mutex>
#include <string>

#include "log/log.h"

namespace Mivo::BLE::Platform {
namespace {

struct Backend {
    std::mutex mutex;
    std::shared_ptr<IStack> stack;
    std::shared_ptr<IStack> testStack;
};

// Never destroyed: library threads (the Bluetooth worker, a device's reconnect thread, a
// background close) may ask for the stack while static destruction runs at process exit.
// The stack's own threads are stopped by an exit handler instead.
Backend& State() {
    static Backend* const backend = new Backend();
    return *backend;
}

void StopStackAtExit() {
    std::shared_ptr<IStack> stack;
    {
        std::lock_guard<std::mutex> lock(State().mutex);
        stack = State().stack;
    }
    if (stack) stack->StopAtExit();
}

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
    Backend& backend = State();
    std::lock_guard<std::mutex> lock(backend.mutex);
    if (backend.testStack) return backend.testStack;
    if (!backend.stack) {
        backend.stack = CreateConfiguredStack();
        std::atexit(StopStackAtExit);
    }
    return backend.stack;
}

void SetStackForTesting(std::shared_ptr<IStack> stack) {
    Backend& backend = State();
    std::lock_guard<std::mutex> lock(backend.mutex);
    backend.testStack = std::move(stack);
}

}  // namespace Mivo::BLE::Platform
