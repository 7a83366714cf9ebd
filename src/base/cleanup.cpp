#include "base/cleanup.h"

#include <csignal>
#include <cstring>
#include <limits.h>
#include <signal.h>
#include <unistd.h>

namespace {

constexpr int GUARDED_MAX = 8;

// Written only while the signals are blocked; read by the handler.
char guarded[GUARDED_MAX][PATH_MAX];

// Ctrl-C, kill, a closed terminal or SSH session, a closed pipe (`| head`).
constexpr int STOP_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

sigset_t stop_signals()
{
    sigset_t set;
    sigemptyset(&set);
    for (const int signal_number : STOP_SIGNALS)
        sigaddset(&set, signal_number);
    return set;
}

extern "C" void remove_and_end(int signal_number)
{
    for (char *path : guarded)
        if (path[0] != '\0')
            unlink(path);
    // The process ends by the signal, as it would have without this handler.
    std::signal(signal_number, SIG_DFL);
    raise(signal_number);
}

} // namespace

void cleanup_on_signal()
{
    static bool installed = false;
    if (installed)
        return;
    installed = true;
    struct sigaction action {};
    action.sa_handler = remove_and_end;
    action.sa_mask = stop_signals();
    for (const int signal_number : STOP_SIGNALS) {
        // A signal the caller chose to ignore (nohup, a shell's trap) stays ignored.
        struct sigaction before {};
        if (sigaction(signal_number, nullptr, &before) == 0 && before.sa_handler == SIG_IGN)
            continue;
        sigaction(signal_number, &action, nullptr);
    }
}

bool cleanup_add(const std::string &path)
{
    if (path.empty() || path.size() >= PATH_MAX)
        return false;
    signal_block block;
    for (char *slot : guarded)
        if (slot[0] == '\0') {
            std::memcpy(slot, path.c_str(), path.size() + 1);
            return true;
        }
    return false;
}

void cleanup_forget(const std::string &path)
{
    signal_block block;
    for (char *slot : guarded)
        if (path == slot)
            slot[0] = '\0';
}

signal_block::signal_block()
{
    const sigset_t set = stop_signals();
    active_ = sigprocmask(SIG_BLOCK, &set, nullptr) == 0;
}

signal_block::~signal_block()
{
    if (active_) {
        const sigset_t set = stop_signals();
        sigprocmask(SIG_UNBLOCK, &set, nullptr);
    }
}
