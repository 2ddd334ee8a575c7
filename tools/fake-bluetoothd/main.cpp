// mivoble-fake-bluetoothd: the simulated stack's virtual amplifiers served as org.bluez on
// a D-Bus bus, so BlueZ clients (the library's bluez backend, bleak, bluetoothctl) can be
// run against them without a radio. See docs/fake-bluetoothd.md.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <future>
#include <iostream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "adapter.h"
#include "context.h"
#include "control.h"
#include "log/log.h"
#include "mivoble/mivoble.h"
#include "private_bus.h"

using namespace Mivo;
using namespace Mivo::FakeBluez;

namespace {

const char* kUsage =
    "Usage: mivoble-fake-bluetoothd (--private-bus | --bus ADDRESS) [OPTION]...\n"
    "  or:  mivoble-fake-bluetoothd --help | --version\n"
    "\n"
    "Serves the simulated amplifiers as org.bluez (BlueZ's D-Bus API, as bluetoothd 5.66 with a real controller).\n"
    "\n"
    "Options:\n"
    "  --private-bus        start a private dbus-daemon and serve on it\n"
    "  --bus ADDRESS        serve on an existing bus (e.g. unix:path=/tmp/bus)\n"
    "  --sim TEXT           amplifiers in MIVOBLE_SIM syntax (default: $MIVOBLE_SIM, else two amplifiers)\n"
    "  --address-file FILE  write the bus address to FILE once serving\n"
    "  --bus-config FILE    dbus-daemon configuration for --private-bus\n"
    "  --log FILE           simulator log (default: standard error)\n"
    "  --bluez-version X.Y  the BlueZ version served (default 5.66): no MTU property before 5.62, ...\n"
    "  --report-cycle-ms N  one advertising report per device and N ms discovery cycle (default 10240; 0: every one)\n"
    "  --connect-while-discovering fail|ok  a connect during discovery fails (default) or works\n"
    "  --adapters LIST      adapter names in path order, comma-separated (default hci0)\n"
    "  --unpowered LIST     adapters that start switched off, comma-separated\n"
    "  --gap-name NAME      the name amplifiers report once connected (default: the advertised one)\n"
    "  -h, --help           print this help and exit\n"
    "  --version            print the version and exit\n"
    "\n"
    "Prints DBUS_SYSTEM_BUS_ADDRESS=... once serving; exits on SIGTERM or SIGINT.\n"
    "\n"
    "Exit status: 0 after SIGTERM or SIGINT, 1 when it cannot serve, 2 for bad options (this help on stderr).\n";

struct Options {
    bool help = false, version = false;  // --help or --version: print and exit, nothing else
    bool privateBus = false;
    std::string bus, sim, addressFile, busConfig, log = "/dev/stderr";
    bool simSet = false;
    Behaviour behaviour;
};

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> items;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos) comma = text.size();
        if (comma > start) items.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    return items;
}

bool ValidAdapterName(const std::string& name) {
    if (name.size() < 4 || name.size() > 6 || name.compare(0, 3, "hci") != 0) return false;
    for (size_t i = 3; i < name.size(); ++i)
        if (name[i] < '0' || name[i] > '9') return false;
    return true;
}

bool Parse(int argc, char** argv, Options& o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= argc) return false;
            out = argv[++i];
            return true;
        };
        if (a == "--help" || a == "-h") {
            o.help = true;
            return true;
        } else if (a == "--version") {
            o.version = true;
            return true;
        } else if (a == "--private-bus") o.privateBus = true;
        else if (a == "--bus") {
            if (!value(o.bus)) return false;
        } else if (a == "--sim") {
            if (!value(o.sim)) return false;
            o.simSet = true;
        } else if (a == "--address-file") {
            if (!value(o.addressFile)) return false;
        } else if (a == "--log") {
            if (!value(o.log)) return false;
        } else if (a == "--bus-config") {
            if (!value(o.busConfig)) return false;
        } else if (a == "--bluez-version") {
            std::string text;
            if (!value(text)) return false;
            auto version = BluezVersion::Parse(text);
            if (!version) return false;
            o.behaviour.version = *version;
        } else if (a == "--report-cycle-ms") {
            std::string text;
            if (!value(text) || text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
                text.size() > 7)
                return false;
            o.behaviour.reportCycle = std::chrono::milliseconds(std::stol(text));
        } else if (a == "--connect-while-discovering") {
            std::string text;
            if (!value(text) || (text != "fail" && text != "ok")) return false;
            o.behaviour.connectFailsWhileDiscovering = text == "fail";
        } else if (a == "--adapters") {
            std::string text;
            if (!value(text)) return false;
            o.behaviour.adapters = SplitList(text);
            std::set<std::string> unique(o.behaviour.adapters.begin(), o.behaviour.adapters.end());
            if (o.behaviour.adapters.empty() || unique.size() != o.behaviour.adapters.size()) return false;
            for (auto& name : o.behaviour.adapters)
                if (!ValidAdapterName(name)) return false;
        } else if (a == "--unpowered") {
            std::string text;
            if (!value(text)) return false;
            for (auto& name : SplitList(text)) o.behaviour.unpowered.insert(name);
        } else if (a == "--gap-name") {
            if (!value(o.behaviour.gapName)) return false;
        } else {
            return false;
        }
    }
    for (auto& name : o.behaviour.unpowered)
        if (std::find(o.behaviour.adapters.begin(), o.behaviour.adapters.end(), name) == o.behaviour.adapters.end())
            return false;
    return o.privateBus != !o.bus.empty();
}

std::string DefaultBusConfig() {
    char exe[4096];
    ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {
        exe[n] = '\0';
        std::string dir(exe);
        dir = dir.substr(0, dir.rfind('/'));
        for (auto candidate : {dir + "/bus-config.xml", dir + "/../share/mivoble/fake-bluetoothd-bus.xml"})
            if (::access(candidate.c_str(), R_OK) == 0) return candidate;
    }
    return MIVOBLE_FAKE_BLUETOOTHD_BUS_CONFIG;
}

// Runs `work` on the strand and waits for it.
void OnStrand(Context& context, std::function<void()> work) {
    std::promise<void> done;
    auto future = done.get_future();
    if (!context.strand.Post([&] {
            work();
            done.set_value();
        }))
        return;
    future.get();
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("mivoble-fake-bluetoothd %d.%d.%d\n", MIVOBLE_VERSION_MAJOR, MIVOBLE_VERSION_MINOR,
                    MIVOBLE_VERSION_PATCH);
        return 0;
    }
    BLE::SetLogFilePath(options.log);  // never the library's default file in $HOME
    if (!options.simSet) {
        const char* env = std::getenv("MIVOBLE_SIM");
        options.sim = env ? env : Sim::DefaultSimConfig();
    }

    // Every thread started from here on inherits the blocked signals; main waits for them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    PrivateBus daemon;
    std::string address = options.bus;
    try {
        if (options.privateBus)
            address = daemon.Start(options.busConfig.empty() ? DefaultBusConfig() : options.busConfig);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "mivoble-fake-bluetoothd: %s\n", e.what());
        return 1;
    }
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", address.c_str(), 1);

    std::unique_ptr<sdbus::IConnection> bus;
    try {
        bus = sdbus::createSystemBusConnection();
    } catch (const sdbus::Error& e) {
        std::fprintf(stderr, "mivoble-fake-bluetoothd: cannot connect to %s: %s\n", address.c_str(),
                     e.getMessage().c_str());
        return 1;
    }

    auto context = std::make_unique<Context>(*bus, Sim::MakeSimStack(options.sim), options.behaviour);
    std::unique_ptr<sdbus::IObject> root, bluez;
    std::vector<std::shared_ptr<Adapter>> adapters;
    std::unique_ptr<Control> control;
    try {
        OnStrand(*context, [&] {
            root = sdbus::createObject(*bus, "/");
            root->addObjectManager();
            // bluetoothctl registers an agent when it starts interactively.
            bluez = sdbus::createObject(*bus, "/org/bluez");
            bluez->registerMethod("RegisterAgent")
                .onInterface("org.bluez.AgentManager1")
                .withInputParamNames("agent", "capability")
                .implementedAs([](sdbus::ObjectPath, std::string) {});
            bluez->registerMethod("UnregisterAgent")
                .onInterface("org.bluez.AgentManager1")
                .withInputParamNames("agent")
                .implementedAs([](sdbus::ObjectPath) {});
            bluez->registerMethod("RequestDefaultAgent")
                .onInterface("org.bluez.AgentManager1")
                .withInputParamNames("agent")
                .implementedAs([](sdbus::ObjectPath) {});
            bluez->finishRegistration();
            if (context->stack->AdapterPresent()) {
                // The simulated radio is on while any adapter is powered.
                Context* ctx = context.get();
                auto* all = &adapters;
                auto radio = [ctx, all] {
                    bool any = false;
                    for (auto& a : *all) any = any || a->Powered();
                    ctx->stack->SetRadioOn(any);
                };
                const bool radioOn = context->stack->RadioOn();
                int index = 0;
                for (auto& name : options.behaviour.adapters) {
                    bool powered = radioOn && !options.behaviour.unpowered.count(name);
                    adapters.push_back(std::make_shared<Adapter>(*context, name, index++, powered, radio));
                }
                radio();
                for (auto& a : adapters) a->Register();
            }
            control = std::make_unique<Control>(*context, adapters);
            control->Register(*root);
            root->finishRegistration();
        });
        // A client that leaves the bus loses its discovery and notify sessions.
        std::vector<std::weak_ptr<Adapter>> weakAdapters(adapters.begin(), adapters.end());
        bus->addMatch(
            "type='signal',sender='org.freedesktop.DBus',interface='org.freedesktop.DBus',member='NameOwnerChanged'",
            [ctx = context.get(), weakAdapters](sdbus::Message& message) {
                std::string name, oldOwner, newOwner;
                message >> name >> oldOwner >> newOwner;
                if (name.empty() || name[0] != ':' || !newOwner.empty()) return;
                for (auto& weak : weakAdapters) PostTo(*ctx, weak, [name](Adapter& a) { a.SenderLeft(name); });
            },
            sdbus::floating_slot);
        bus->requestName("org.bluez");
    } catch (const sdbus::Error& e) {
        std::fprintf(stderr, "mivoble-fake-bluetoothd: %s: %s\n", e.getName().c_str(), e.getMessage().c_str());
        return 1;
    }

    std::thread loop([&bus] {
        try {
            bus->enterEventLoop();
        } catch (const sdbus::Error& e) {
            std::fprintf(stderr, "mivoble-fake-bluetoothd: bus lost: %s\n", e.getMessage().c_str());
            ::kill(::getpid(), SIGTERM);
        }
    });

    if (!options.addressFile.empty()) {
        std::string tmp = options.addressFile + ".tmp";
        std::ofstream(tmp) << address << "\n";
        std::rename(tmp.c_str(), options.addressFile.c_str());  // readers never see half a line
    }
    std::printf("DBUS_SYSTEM_BUS_ADDRESS=%s\n", address.c_str());
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stopSignals, &sig);

    bus->leaveEventLoop();
    loop.join();
    OnStrand(*context, [&] {
        for (auto& a : adapters) a->Shutdown();
    });
    context->strand.Stop();
    control.reset();
    adapters.clear();
    bluez.reset();
    root.reset();
    context->stack.reset();  // joins the simulator's threads
    context.reset();
    bus.reset();
    daemon.Stop();
    if (!options.addressFile.empty()) std::remove(options.addressFile.c_str());
    return 0;
}
