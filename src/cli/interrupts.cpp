#include "cli/interrupts.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

namespace Mivo::Cli {

namespace {
// SIGUSR2 only ends the watcher when the command is over.
sigset_t WatchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGUSR2);
    return set;
}
}  // namespace

Interrupts::Interrupts() {
    sigset_t set = WatchedSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    watcher_ = std::thread([this] { Watch(); });
    watcherHandle_ = watcher_.native_handle();
}

Interrupts::~Interrupts() {
    pthread_kill(watcherHandle_, SIGUSR2);
    watcher_.join();
}

std::function<void()> Interrupts::OnRequest(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::swap(wake_, wake);
    return wake;
}

std::function<void()> Interrupts::OnQuit(std::function<void()> save) {
    std::unique_lock<std::mutex> lock(mutex_);
    // The watcher is saving and will end the process: what the hook uses must not go away.
    never_.wait(lock, [this] { return !quitting_; });
    std::swap(save_, save);
    return save;
}

void Interrupts::Watch() {
    sigset_t set = WatchedSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        if (signal == SIGUSR2) return;
        std::function<void()> save;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!requested_.exchange(true)) {
                std::fputs("\nstopping (a second Ctrl-C stops waiting; what was recorded is kept)\n", stderr);
                if (wake_) wake_();
                continue;
            }
            quitting_ = true;
            save = save_;
        }
        std::fputs("\ninterrupted again: quitting without waiting\n", stderr);
        if (save) save();
        std::fflush(stdout);
        _exit(128 + signal);
    }
}

InterruptHooks::InterruptHooks(Interrupts* interrupts, std::function<void()> wake, std::function<void()> save)
    : interrupts_(interrupts), save_(static_cast<bool>(save)) {
    if (!interrupts_) return;
    previousWake_ = interrupts_->OnRequest(std::move(wake));
    if (save_) previousSave_ = interrupts_->OnQuit(std::move(save));
}

InterruptHooks::~InterruptHooks() {
    if (!interrupts_) return;
    interrupts_->OnRequest(std::move(previousWake_));
    if (save_) interrupts_->OnQuit(std::move(previousSave_));
}

}  // namespace Mivo::Cli
