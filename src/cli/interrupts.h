// Ctrl-C and SIGTERM as requests to stop: a watcher thread receives them (they are blocked in
// every other thread) so that a command can end its work cleanly. A second request quits at
// once, after removing the unfinished file registered with SetUnfinishedFile.
#pragma once

#include <pthread.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace Mivo::Cli {

class Interrupts {
public:
    // Must run before the library starts any thread, so that they inherit the blocked signals.
    Interrupts();
    ~Interrupts();
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;

    bool Requested() const { return requested_.load(); }
    // Called on the watcher thread when a stop is requested (empty: nothing).
    void OnRequest(std::function<void()> wake);
    void SetUnfinishedFile(const std::string& path);

private:
    void Watch();

    std::atomic<bool> requested_{false};
    std::mutex mutex_;
    std::function<void()> wake_;
    std::string unfinished_;
    pthread_t watcherHandle_{};
    std::thread watcher_;
};

}  // namespace Mivo::Cli
