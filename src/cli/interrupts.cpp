#include "cli/interrupts.h"

#include <signal.h>
#include <unistd.h>

#include <cstdio>

#include "cli/cli_error.h"

namespace Mivo::Cli {

namespace {
// SIGUSR2 only ends the watcher when the command is over.
sigset_t WatchedSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
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

void Interrupts::OnRequest(std::function<void()> wake) {
    std::lock_guard<std::mutex> lock(mutex_);
    wake_ = std::move(wake);
}

void Interrupts::SetUnfinishedFile(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    unfinished_ = path;
}

void Interrupts::Watch() {
    sigset_t set = WatchedSignals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) continue;
        if (signal == SIGUSR2) return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (requested_.exchange(true)) {
            if (!unfinished_.empty()) unlink(unfinished_.c_str());
            std::fputs("\ninterrupted again: quitting at once\n", stderr);
            _exit(kExitInterrupted);
        }
        std::fputs("\nstopping (Ctrl-C again quits at once)\n", stderr);
        if (wake_) wake_();
    }
}

}  // namespace Mivo::Cli
