#include "platform/bluez/bluez_notify_reader.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "log/log.h"

namespace Mivo::BLE::Platform::Bluez {

NotifyReader::NotifyReader() {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epoll_ < 0 || wake_ < 0) {
        LogMessage(kLogError, "bluez: no reader for acquired notifications (errno %d)", errno);
        return;
    }
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = 0;  // the wake-up
    epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event);
    thread_ = std::thread([this] { Loop(); });
}

NotifyReader::~NotifyReader() {
    Stop();
    if (epoll_ >= 0) close(epoll_);
    if (wake_ >= 0) close(wake_);
}

void NotifyReader::Stop() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        while (!entries_.empty()) Close(entries_.begin()->first);
    }
    if (wake_ >= 0) {
        uint64_t one = 1;
        (void)!write(wake_, &one, sizeof one);
    }
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) thread_.detach();
        else thread_.join();
    }
}

uint64_t NotifyReader::Add(int fd, Deliver deliver, std::function<void()> ended) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || !thread_.joinable()) {
        close(fd);
        return 0;
    }
    uint64_t id = ++next_;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.u64 = id;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) {
        close(fd);
        return 0;
    }
    entries_[id] = Entry{fd, std::make_shared<const Deliver>(std::move(deliver)), std::move(ended)};
    return id;
}

void NotifyReader::Remove(uint64_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    Close(id);
}

void NotifyReader::Close(uint64_t id) {
    auto it = entries_.find(id);
    if (it == entries_.end()) return;
    epoll_ctl(epoll_, EPOLL_CTL_DEL, it->second.fd, nullptr);
    close(it->second.fd);
    entries_.erase(it);
}

void NotifyReader::Loop() {
    // Reused for every packet: no allocation per notification.
    std::vector<uint8_t> value;
    value.reserve(1024);
    epoll_event events[16];
    for (;;) {
        int n = epoll_wait(epoll_, events, 16, -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            LogMessage(kLogError, "bluez: notification reader stopped (errno %d)", errno);
            return;
        }
        // One packet per wake-up: a second read would mostly find nothing, and a socket with
        // more waiting stays readable for the next epoll_wait.
        for (int i = 0; i < n; ++i) {
            const uint64_t id = events[i].data.u64;
            std::shared_ptr<const Deliver> deliver;
            std::function<void()> ended;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (stopping_) return;
                auto it = entries_.find(id);
                if (it == entries_.end()) continue;  // removed meanwhile
                value.resize(value.capacity());
                ssize_t got = recv(it->second.fd, value.data(), value.size(), MSG_DONTWAIT);
                if (got > 0) {
                    value.resize(static_cast<size_t>(got));
                    deliver = it->second.deliver;
                } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
                    ended = std::move(it->second.ended);
                    Close(id);
                }
            }
            try {
                if (deliver) (*deliver)(value);
                if (ended) ended();
            } catch (...) {
            }
        }
    }
}

}  // namespace Mivo::BLE::Platform::Bluez
