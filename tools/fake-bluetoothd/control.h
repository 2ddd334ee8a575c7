#pragma once
// io.mivoble.Sim1 on "/": faults and knobs of the virtual amplifiers for tests in other
// processes. Amplifiers are named by their advertised name or their address
// ("AA:BB:CC:DD:EE:FF"). Knobs act on the simulated stack at once; power goes through the
// adapter so Powered and the links change as a radio switched off would change them.
#include <functional>
#include <memory>
#include <vector>

#include "adapter.h"
#include "context.h"

namespace Mivo::FakeBluez {

class Control {
public:
    // `adapters` (none with adapter=none) are switched on the strand.
    Control(Context& context, std::vector<std::shared_ptr<Adapter>> adapters);
    void Register(sdbus::IObject& root);

private:
    std::shared_ptr<Sim::Amplifier> Find(const std::string& amplifier);
    void SetKnob(const std::string& amplifier, const std::string& key, const std::string& value);

    void SetPowered(const std::string& adapter, bool on);  // "" = every adapter

    Context& context_;
    std::vector<std::weak_ptr<Adapter>> adapters_;
};

}  // namespace Mivo::FakeBluez
