#include "socket_watch.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace Mivo::FakeBluez {

SocketWatch::SocketWatch() {
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    wake_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (epoll_ < 0 || wake_ < 0) return;
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = wake_;
    epoll_ctl(epoll_, EPOLL_CTL_ADD, wake_, &event);
    thread_ = std::thread([this] { Loop(); });
}

SocketWatch::~SocketWatch() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        for (auto& [fd, entry] : entries_) epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
        entries_.clear();
    }
    if (wake_ >= 0) {
        uint64_t one = 1;
        (void)!write(wake_, &one, sizeof one);
    }
    if (thread_.joinable()) thread_.join();
    if (epoll_ >= 0) close(epoll_);
    if (wake_ >= 0) close(wake_);
}

bool SocketWatch::Add(int fd, Packet packet, std::function<void()> hangup) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (stopping_ || !thread_.joinable()) return false;
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP;
    event.data.fd = fd;
    if (epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event) != 0) return false;
    entries_[fd] = Entry{std::move(packet), std::move(hangup)};
    return true;
}

void SocketWatch::Remove(int fd) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (entries_.erase(fd)) epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
}

void SocketWatch::Loop() {
    std::vector<uint8_t> buffer(1024);
    epoll_event events[8];
    for (;;) {
        int n = epoll_wait(epoll_, events, 8, -1);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return;
        // Callbacks run under the lock, so Remove() never returns while one runs; they
        // only hand work to the strand.
        std::lock_guard<std::mutex> lock(mutex_);
        if (stopping_) return;
        for (int i = 0; i < n; ++i) {
            int fd = events[i].data.fd;
            auto it = entries_.find(fd);
            if (it == entries_.end()) continue;
            bool gone = (events[i].events & (EPOLLHUP | EPOLLRDHUP | EPOLLERR)) != 0;
            for (;;) {
                ssize_t got = recv(fd, buffer.data(), buffer.size(), MSG_DONTWAIT);
                if (got > 0) {
                    if (it->second.packet)
                        it->second.packet(std::vector<uint8_t>(buffer.begin(), buffer.begin() + got));
                    continue;
                }
                if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) gone = true;
                break;
            }
            if (!gone) continue;
            auto hangup = std::move(it->second.hangup);
            epoll_ctl(epoll_, EPOLL_CTL_DEL, fd, nullptr);
            entries_.erase(it);
            if (hangup) hangup();
        }
    }
}

}  // namespace Mivo::FakeBluez
