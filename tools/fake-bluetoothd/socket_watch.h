#pragma once
// The served ends of acquired sockets (AcquireNotify, AcquireWrite), watched as bluetoothd
// watches them: packets a client writes are read at once, and a client closing its end is
// noticed at once. One thread waits in epoll on every socket.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace Mivo::FakeBluez {

class SocketWatch {
public:
    using Packet = std::function<void(std::vector<uint8_t>)>;
    SocketWatch();
    ~SocketWatch();
    SocketWatch(const SocketWatch&) = delete;
    SocketWatch& operator=(const SocketWatch&) = delete;

    // Watches `fd` (the caller keeps owning it). `packet` (may be null) gets each packet the
    // peer writes, `hangup` runs once when the peer closes its end; both run on the watch
    // thread and must not block. False when it cannot be watched.
    bool Add(int fd, Packet packet, std::function<void()> hangup);
    // Stops watching; returns when no callback of `fd` runs any more.
    void Remove(int fd);

private:
    struct Entry {
        Packet packet;
        std::function<void()> hangup;
    };
    void Loop();

    int epoll_ = -1, wake_ = -1;
    std::mutex mutex_;
    std::map<int, Entry> entries_;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace Mivo::FakeBluez
