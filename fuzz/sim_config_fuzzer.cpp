// Feeds arbitrary MIVOBLE_SIM text to the simulator's parser and checks the amplifiers it put
// on air: every knob within its documented range, names and addresses unique, at most one
// amplifier per item. Rejected items only log.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>
#include <string>

#include "log/log.h"
#include "platform/sim/sim_stack_core.h"

#include "fuzz_check.h"

using namespace Mivo::BLE;
using namespace Mivo::BLE::Sim;

namespace {

Detail::StackCore& Stack() {
    // One stack for the whole run (its threads are costly to start); never destroyed.
    static auto* stack = [] {
        SetLogFilePath("/dev/null");
        return new std::shared_ptr<Detail::StackCore>(std::make_shared<Detail::StackCore>());
    }();
    return **stack;
}

void CheckAmplifier(const AmplifierConfig& c) {
    Check(!c.name.empty() && c.name.find_first_of("=;,") == std::string::npos);
    Check(c.name.front() != ' ' && c.name.back() != ' ');
    Check(c.channels >= 1 && c.channels <= 61);
    Check(c.frames >= 1 && c.frames <= 64);
    Check(c.rate >= 1 && c.rate <= 65535);
    Check(c.battery <= 100);
    Check(c.mtu >= 23 && c.mtu <= 517);
    Check(c.smpSplit >= 1 && c.smpSplit <= 1024);
    Check(c.filters <= 255);
    Check(c.slotSize >= 64);
    Check(c.adv.count() >= 1);
    for (const std::string* text : {&c.model, &c.fw, &c.hw, &c.maker, &c.hang, &c.delay, &c.nus}) {
        Check(text->find_first_of(";,") == std::string::npos);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Detail::StackCore& stack = Stack();
    stack.Apply(text);

    const auto amplifiers = stack.Amplifiers();
    size_t items = 1;
    for (char c : text) items += c == ';';
    Check(amplifiers.size() <= items);
    std::set<std::string> names;
    std::set<uint64_t> addresses;
    for (const auto& amplifier : amplifiers) {
        const AmplifierConfig config = amplifier->Config();
        CheckAmplifier(config);
        Check(names.insert(config.name).second);
        Check(addresses.insert(amplifier->Address()).second);
    }

    stack.RemoveAll();
    stack.SetAdapterPresent(true);
    stack.SetRadioOn(true);
    return 0;
}
