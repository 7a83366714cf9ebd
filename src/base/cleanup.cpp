#include "base/cleanup.h"

#include "base/system.h"

#include <cstring>

namespace {

constexpr int GUARDED_MAX = 8;
constexpr std::size_t GUARDED_PATH_MAX = 4096;

// Written only while interruptions are held back; read by the handler.
char guarded[GUARDED_MAX][GUARDED_PATH_MAX];

} // namespace

bool cleanup_add(const std::string &path)
{
    if (path.empty() || path.size() >= GUARDED_PATH_MAX)
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

void cleanup_remove_all()
{
    for (char *path : guarded)
        if (path[0] != '\0')
            file_remove_now(path);
}
