#include "control.h"

#include <cstdlib>

#include "platform/sim/sim_amplifier.h"

namespace Mivo::FakeBluez {

namespace {

sdbus::Error NoAmplifier(const std::string& name) {
    return {"io.mivoble.Sim1.Error.NoAmplifier", "No amplifier '" + name + "'"};
}
sdbus::Error BadValue(const std::string& text) { return {"io.mivoble.Sim1.Error.InvalidArguments", text}; }

long Number(const std::string& key, const std::string& value) {
    char* end = nullptr;
    long n = std::strtol(value.c_str(), &end, 10);
    if (value.empty() || *end != '\0' || n < 0) throw BadValue("Bad value '" + value + "' for " + key);
    return n;
}

}  // namespace

Control::Control(Context& context, std::vector<std::shared_ptr<Adapter>> adapters)
    : context_(context), adapters_(adapters.begin(), adapters.end()) {}

void Control::SetPowered(const std::string& adapter, bool on) {
    if (adapters_.empty()) throw sdbus::Error("io.mivoble.Sim1.Error.NoAdapter", "No Bluetooth adapter");
    bool found = adapter.empty();
    for (auto& weak : adapters_) {
        auto a = weak.lock();
        if (!a || (!adapter.empty() && a->Name() != adapter)) continue;
        found = true;
        PostTo(context_, weak, [on](Adapter& target) { target.SetPowered(on); });
    }
    if (!found) throw sdbus::Error("io.mivoble.Sim1.Error.NoAdapter", "No adapter '" + adapter + "'");
}

std::shared_ptr<Sim::Amplifier> Control::Find(const std::string& amplifier) {
    uint64_t address;
    auto found = Sim::ParseAddress(amplifier, address) ? context_.stack->FindByAddress(address)
                                                       : context_.stack->Find(amplifier);
    if (!found) throw NoAmplifier(amplifier);
    return found;
}

void Control::SetKnob(const std::string& amplifier, const std::string& key, const std::string& value) {
    auto a = Find(amplifier);
    using Ms = Sim::Milliseconds;
    if (key == "drop_every") a->SetDropEvery(Ms(Number(key, value)));
    else if (key == "refuse_connects") a->RefuseConnects(static_cast<int>(Number(key, value)));
    else if (key == "interval") a->SetInterval(Ms(Number(key, value)));
    else if (key == "drop_notify_every") a->DropNotifyEvery(static_cast<int>(Number(key, value)));
    else if (key == "corrupt") a->CorruptNextPayloads(static_cast<int>(Number(key, value)));
    else if (key == "shorten") a->ShortenNextPayloads(static_cast<int>(Number(key, value)));
    else if (key == "battery") a->SetBattery(static_cast<uint8_t>(std::min(100L, Number(key, value))));
    else if (key == "smp_split") a->SetSmpSplit(static_cast<size_t>(std::max(1L, Number(key, value))));
    else if (key == "advertise") a->SetAdvertising(Number(key, value) != 0);
    else if (key == "connectable") a->SetConnectable(Number(key, value) != 0);
    else if (key == "name") a->SetAdvertisedName(value);
    else if (key == "addr") {
        uint64_t address;
        if (!Sim::ParseAddress(value, address)) throw BadValue("Bad address '" + value + "'");
        a->SetAddress(address);
    } else {
        throw BadValue("Unknown knob '" + key + "'");
    }
}

void Control::Register(sdbus::IObject& root) {
    auto* I = kControlInterface;
    root.registerMethod("DropLink")
        .onInterface(I)
        .withInputParamNames("amplifier")
        .implementedAs([this](const std::string& name) { Find(name)->DropLink(); });
    root.registerMethod("RefuseConnects")
        .onInterface(I)
        .withInputParamNames("amplifier", "count")
        .implementedAs([this](const std::string& name, int32_t count) { Find(name)->RefuseConnects(count); });
    root.registerMethod("Hang")
        .onInterface(I)
        .withInputParamNames("amplifier", "operation", "characteristic")
        .implementedAs([this](const std::string& name, const std::string& operation, const std::string& uuid) {
            Find(name)->Hang(operation, uuid);
        });
    root.registerMethod("Delay")
        .onInterface(I)
        .withInputParamNames("amplifier", "operation", "milliseconds", "characteristic")
        .implementedAs([this](const std::string& name, const std::string& operation, uint32_t ms,
                              const std::string& uuid) { Find(name)->Delay(operation, Sim::Milliseconds(ms), uuid); });
    root.registerMethod("ClearFaults")
        .onInterface(I)
        .withInputParamNames("amplifier")
        .implementedAs([this](const std::string& name) { Find(name)->ClearFaults(); });
    root.registerMethod("SetAdvertising")
        .onInterface(I)
        .withInputParamNames("amplifier", "on")
        .implementedAs([this](const std::string& name, bool on) { Find(name)->SetAdvertising(on); });
    root.registerMethod("SetKnob")
        .onInterface(I)
        .withInputParamNames("amplifier", "key", "value")
        .implementedAs([this](const std::string& name, const std::string& key, const std::string& value) {
            SetKnob(name, key, value);
        });
    root.registerMethod("SendNusUnsolicited")
        .onInterface(I)
        .withInputParamNames("amplifier", "value")
        .implementedAs([this](const std::string& name, const std::vector<uint8_t>& value) {
            Find(name)->SendNusUnsolicited(value);
        });
    root.registerMethod("SetPowered").onInterface(I).withInputParamNames("on").implementedAs([this](bool on) {
        SetPowered("", on);
    });
    root.registerMethod("SetAdapterPowered")
        .onInterface(I)
        .withInputParamNames("adapter", "on")
        .implementedAs([this](const std::string& adapter, bool on) { SetPowered(adapter, on); });
    root.registerMethod("AnswerAttError")
        .onInterface(I)
        .withInputParamNames("amplifier", "operation", "characteristic", "code")
        .implementedAs(
            [this](const std::string& name, const std::string& operation, const std::string& uuidText, uint8_t code) {
                Platform::Uuid uuid;
                if (operation != Sim::kOpRead && operation != Sim::kOpWrite)
                    throw BadValue("Operation must be ReadValueAsync or WriteValueAsync");
                if (!Sim::Detail::ParseUuidText(uuidText, uuid)) throw BadValue("Bad UUID '" + uuidText + "'");
                auto address = Find(name)->Address();
                std::lock_guard<std::mutex> lock(context_.faults);
                context_.attErrors.push_back({address, operation, uuid, code});
            });
    root.registerMethod("Amplifiers").onInterface(I).withOutputParamNames("amplifiers").implementedAs([this] {
        std::vector<sdbus::Struct<std::string, std::string>> out;
        for (auto& a : context_.stack->Amplifiers()) out.emplace_back(a->Name(), Sim::FormatAddress(a->Address()));
        return out;
    });
    root.registerMethod("Counters")
        .onInterface(I)
        .withInputParamNames("amplifier")
        .withOutputParamNames("counters")
        .implementedAs([this](const std::string& name) {
            auto a = Find(name);
            PropertyMap c;
            c["Connects"] = sdbus::Variant(static_cast<int32_t>(a->ConnectCount()));
            c["RefusedConnects"] = sdbus::Variant(static_cast<int32_t>(a->RefusedConnectCount()));
            c["Connected"] = sdbus::Variant(a->IsConnected());
            c["Streaming"] = sdbus::Variant(a->IsStreaming());
            c["NotificationsSent"] = sdbus::Variant(static_cast<uint64_t>(a->NotificationsSent()));
            c["NotificationsDropped"] = sdbus::Variant(static_cast<uint64_t>(a->NotificationsDropped()));
            c["Advertisements"] = sdbus::Variant(static_cast<uint64_t>(a->AdvertisementsSent()));
            c["NusRequests"] = sdbus::Variant(static_cast<uint64_t>(a->NusRequestsReceived()));
            c["SmpRequests"] = sdbus::Variant(static_cast<uint64_t>(a->SmpRequestsReceived()));
            c["PendingOperations"] = sdbus::Variant(static_cast<uint64_t>(a->PendingOperations()));
            Context::WriteCounts writes;
            {
                std::lock_guard<std::mutex> lock(context_.faults);
                auto it = context_.writes.find(a->Address());
                if (it != context_.writes.end()) writes = it->second;
            }
            c["WriteCommands"] = sdbus::Variant(writes.commands);
            c["WriteRequests"] = sdbus::Variant(writes.requests);
            return c;
        });
}

}  // namespace Mivo::FakeBluez
