// Files that must not outlive an interrupted run: a half-written backup, the
// name reserved for one. While registered, SIGINT, SIGTERM, SIGHUP or SIGPIPE
// removes them before the process ends by that signal as it would have anyway
// (on Windows: Ctrl-C, Ctrl-Break, closing the console window, logging off or
// shutting down, which end the process as Ctrl-C does). The handlers and
// signal_block are the system layer's (system_posix.cpp, system_windows.cpp).
#pragma once

#include <string>

// Installs the handlers for those signals (once per process); a signal that
// is ignored when the run starts (nohup, Ctrl-C ignored on Windows) stays ignored.
void cleanup_on_signal();
// Registers a file to remove if the run is interrupted; false when the table
// of such files is full or the path too long (the file is then not guarded).
bool cleanup_add(const std::string &path);
// Forgets a file (it is complete, or gone).
void cleanup_forget(const std::string &path);
// The handlers' work: removes every registered file at once.
void cleanup_remove_all();

// Holds those signals back for its lifetime, so that a step such as
// putting a finished file in place is not cut in two; a signal that arrived
// meanwhile takes effect when the block ends.
class signal_block {
public:
    signal_block();
    ~signal_block();
    signal_block(const signal_block &) = delete;
    signal_block &operator=(const signal_block &) = delete;

private:
    bool active_ = false;
};
