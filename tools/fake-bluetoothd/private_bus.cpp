#include "private_bus.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>

namespace Mivo::FakeBluez {

std::string PrivateBus::Start(const std::string& configFile) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(1);
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::dup2(pipeFds[1], 3);  // dup2 clears close-on-exec on the copy
        std::string config = "--config-file=" + configFile;
        ::execlp("dbus-daemon", "dbus-daemon", config.c_str(), "--nofork", "--nopidfile", "--print-address=3",
                 static_cast<char*>(nullptr));
        ::_exit(127);
    }
    pid_ = pid;
    ::close(pipeFds[1]);
    std::string address;
    char c;
    for (;;) {
        ssize_t n = ::read(pipeFds[0], &c, 1);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || c == '\n') break;
        address += c;
    }
    ::close(pipeFds[0]);
    if (address.empty()) {
        Stop();
        throw std::runtime_error("dbus-daemon did not start (is it installed? config " + configFile + ")");
    }
    return address;
}

void PrivateBus::Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);  // dbus-daemon exits at once on it
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

}  // namespace Mivo::FakeBluez
