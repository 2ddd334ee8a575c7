#pragma once
// Test support: the amplifiers a test runs against, on the simulated radio in-process or,
// when MIVOBLE_TEST_BACKEND=bluez, served by mivoble-fake-bluetoothd on a private bus and
// reached through the bluez backend. Call before the library's first Bluetooth use.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace Mivo::BLE::Testing {

// Test binaries built for BlueZ say so at compile time (MIVOBLE_TEST_THROUGH_BLUEZ, with
// the fake's path); any other binary follows MIVOBLE_TEST_BACKEND and MIVOBLE_FAKE_BLUETOOTHD.
inline bool ThroughBluez() {
#ifdef MIVOBLE_TEST_THROUGH_BLUEZ
    return true;
#else
    const char* backend = std::getenv("MIVOBLE_TEST_BACKEND");
    return backend && std::string(backend) == "bluez";
#endif
}

// A child process that prints an address line; stopped (SIGTERM, then SIGKILL) when destroyed.
class ChildWithAddress {
public:
    // `environment` entries (NAME=value) are set in the child.
    ChildWithAddress(const std::string& executable, std::vector<std::string> args, const std::string& prefix,
                     const std::optional<std::string>& simConfig, const std::vector<std::string>& environment = {}) {
        int out[2];
        if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        std::vector<char*> argv;
        args.insert(args.begin(), executable);
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            setpgid(0, 0);
            dup2(out[1], STDOUT_FILENO);
            if (simConfig) setenv("MIVOBLE_SIM", simConfig->c_str(), 1);
            else unsetenv("MIVOBLE_SIM");
            for (const auto& entry : environment) putenv(const_cast<char*>(entry.c_str()));
            execv(executable.c_str(), argv.data());
            _exit(127);
        }
        close(out[1]);
        out_ = out[0];
        address_ = ReadAddress(prefix, std::chrono::seconds(20));
    }
    ~ChildWithAddress() { Stop(); }
    ChildWithAddress(const ChildWithAddress&) = delete;
    ChildWithAddress& operator=(const ChildWithAddress&) = delete;

    const std::string& Address() const { return address_; }

    // SIGKILL: the process dies as in a crash, without a word on the bus.
    void Kill() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
            pid_ = -1;
        }
    }

    void Stop() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            for (int i = 0; i < 100; ++i) {  // at most 10 s, then it is killed
                if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
                    pid_ = -1;
                    break;
                }
                poll(nullptr, 0, 100);
            }
            if (pid_ > 0) {
                kill(-pid_, SIGKILL);
                waitpid(pid_, nullptr, 0);
                pid_ = -1;
            }
        }
        if (out_ >= 0) close(out_);
        out_ = -1;
    }

private:
    std::string ReadAddress(const std::string& prefix, std::chrono::milliseconds timeout) {
        std::string text;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        while (true) {
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) break;
            pollfd p{out_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
            char buffer[512];
            ssize_t n = read(out_, buffer, sizeof buffer);
            if (n <= 0) break;
            text.append(buffer, static_cast<size_t>(n));
            size_t at = text.find(prefix);
            size_t end = at == std::string::npos ? at : text.find('\n', at);
            if (end != std::string::npos) return text.substr(at + prefix.size(), end - at - prefix.size());
        }
        Stop();
        throw std::runtime_error("no address line from " + prefix);
    }

    pid_t pid_ = -1;
    int out_ = -1;
    std::string address_;
};

inline std::string FakeBluetoothdExecutable() {
    if (const char* executable = std::getenv("MIVOBLE_FAKE_BLUETOOTHD")) return executable;
#ifdef MIVOBLE_FAKE_BLUETOOTHD_PATH
    return MIVOBLE_FAKE_BLUETOOTHD_PATH;
#else
    throw std::runtime_error("MIVOBLE_FAKE_BLUETOOTHD names no fake bluetoothd");
#endif
}

// The fake bluetoothd with a private bus of its own; `options` are more command-line options
// of the fake (--bluez-version 5.55, --adapters hci0,hci1, ...).
class FakeBluetoothd : public ChildWithAddress {
public:
    explicit FakeBluetoothd(const std::optional<std::string>& simConfig, std::vector<std::string> options = {})
        : ChildWithAddress(FakeBluetoothdExecutable(), WithPrivateBus(std::move(options)),
                           "DBUS_SYSTEM_BUS_ADDRESS=", simConfig) {}
    // Serving on an existing bus.
    FakeBluetoothd(const std::string& busAddress, const std::optional<std::string>& simConfig)
        : ChildWithAddress(FakeBluetoothdExecutable(), {"--bus", busAddress}, "DBUS_SYSTEM_BUS_ADDRESS=", simConfig) {}

private:
    static std::vector<std::string> WithPrivateBus(std::vector<std::string> options) {
        options.insert(options.begin(), "--private-bus");
        return options;
    }
};

// A private dbus-daemon with the fake's permissive configuration (beside its executable).
class PrivateBus : public ChildWithAddress {
public:
    PrivateBus()
        : ChildWithAddress(
              "/usr/bin/dbus-daemon",
              {"--nofork", "--print-address=1",
               "--config-file=" + FakeBluetoothdExecutable().substr(0, FakeBluetoothdExecutable().rfind('/')) +
                   "/bus-config.xml"},
              "unix:", std::nullopt) {}
    std::string BusAddress() const { return "unix:" + Address(); }
};

// Sets the amplifiers of this process: MIVOBLE_SIM for the simulated radio, or a fake
// bluetoothd serving them (kept until process exit) and the bluez backend pointed at it.
inline void UseAmplifiers(const std::optional<std::string>& simConfig) {
    if (!ThroughBluez()) {
        if (simConfig) setenv("MIVOBLE_SIM", simConfig->c_str(), 1);
        else unsetenv("MIVOBLE_SIM");
        setenv("MIVOBLE_BACKEND", "sim", 1);
        return;
    }
    static FakeBluetoothd* fake = nullptr;  // lives until the process ends, after the library
    if (!fake) {
        fake = new FakeBluetoothd(simConfig);
        std::atexit([] { fake->Stop(); });
    }
    setenv("DBUS_SYSTEM_BUS_ADDRESS", fake->Address().c_str(), 1);
    setenv("MIVOBLE_BACKEND", "bluez", 1);
}

}  // namespace Mivo::BLE::Testing
