// Ctrl-C, SIGTERM and SIGHUP as requests to stop: a watcher thread receives them (they are
// blocked in every other thread) so that a command can end its work cleanly. A second request
// stops all waiting: the registered save hook keeps what was recorded, then the tool quits.
#pragma once

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
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
    // Called on the watcher thread when a stop is requested (empty: nothing). Returns the one
    // it replaces.
    std::function<void()> OnRequest(std::function<void()> wake);
    // Called on the watcher thread at a second request, just before the tool quits (empty:
    // nothing). Replacing it while it runs blocks until the process is gone, so that whatever
    // the hook uses stays alive. Returns the one it replaces.
    std::function<void()> OnQuit(std::function<void()> save);

private:
    void Watch();

    std::atomic<bool> requested_{false};
    std::mutex mutex_;
    std::condition_variable never_;
    std::function<void()> wake_;
    std::function<void()> save_;
    bool quitting_ = false;
    pthread_t watcherHandle_{};
    std::thread watcher_;
};

// Installs a wake and a save hook for the life of a scope, then puts back those it replaced.
class InterruptHooks {
public:
    InterruptHooks(Interrupts* interrupts, std::function<void()> wake, std::function<void()> save = {});
    ~InterruptHooks();
    InterruptHooks(const InterruptHooks&) = delete;
    InterruptHooks& operator=(const InterruptHooks&) = delete;

private:
    Interrupts* interrupts_;
    bool save_;
    std::function<void()> previousWake_, previousSave_;
};

}  // namespace Mivo::Cli
