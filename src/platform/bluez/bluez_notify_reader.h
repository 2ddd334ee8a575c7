#pragma once
// Reads the sockets of acquired notify sessions (AcquireNotify): one thread waiting in
// epoll on every socket and an eventfd that wakes it to stop. One notification per packet.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace Mivo::BLE::Platform::Bluez {

class NotifyReader {
public:
    using Deliver = std::function<void(const std::vector<uint8_t>&)>;
    NotifyReader();
    ~NotifyReader();
    NotifyReader(const NotifyReader&) = delete;
    NotifyReader& operator=(const NotifyReader&) = delete;

    // Takes the socket. `deliver` runs on the reader thread for each packet; `ended` once
    // when the peer hangs up (the socket is then closed). 0 when it cannot be watched.
    uint64_t Add(int fd, Deliver deliver, std::function<void()> ended);
    // Stops watching and closes the socket (BlueZ then ends the session).
    void Remove(uint64_t id);
    void Stop();

private:
    struct Entry {
        int fd = -1;
        std::shared_ptr<const Deliver> deliver;
        std::function<void()> ended;
    };
    void Loop();
    void Close(uint64_t id);  // with mutex_ held

    int epoll_ = -1;
    int wake_ = -1;
    std::mutex mutex_;
    std::map<uint64_t, Entry> entries_;
    uint64_t next_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace Mivo::BLE::Platform::Bluez
