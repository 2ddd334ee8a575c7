#pragma once
// A dbus-daemon of our own: started with a configuration file, stopped (and reaped) by
// Stop() or the destructor. It also dies with this process (parent-death signal).
#include <sys/types.h>

#include <string>

namespace Mivo::FakeBluez {

class PrivateBus {
public:
    PrivateBus() = default;
    ~PrivateBus() { Stop(); }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // Starts the daemon and returns its address; throws std::runtime_error on failure.
    std::string Start(const std::string& configFile);
    void Stop();

private:
    pid_t pid_ = -1;
};

}  // namespace Mivo::FakeBluez
