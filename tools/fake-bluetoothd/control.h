#pragma once
// io.mivoble.Sim1 on "/": faults and knobs of the virtual amplifiers for tests in other
// processes. Amplifiers are named by their advertised name or their address
// ("AA:BB:CC:DD:EE:FF"). Knobs act on the simulated stack at once; power goes through the
// adapter so Powered and the links change as a radio switched off would change them.
#include <functional>
#include <memory>

#include "context.h"

namespace Mivo::FakeBluez {

class Control {
public:
    // `setPowered` switches the adapter (on the strand); null when there is no adapter.
    Control(Context& context, std::function<void(bool)> setPowered);
    void Register(sdbus::IObject& root);

private:
    std::shared_ptr<Sim::Amplifier> Find(const std::string& amplifier);
    void SetKnob(const std::string& amplifier, const std::string& key, const std::string& value);

    Context& context_;
    std::function<void(bool)> setPowered_;
};

}  // namespace Mivo::FakeBluez
