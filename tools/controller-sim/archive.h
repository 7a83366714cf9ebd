// Tar archives as the controller hands them out and takes them back, made and
// read with libarchive (never with the tool's own tar code, so that a fault
// in one cannot hide the same fault in the other).
#pragma once

#include "configs.h"

#include <ctime>
#include <optional>
#include <string>
#include <vector>

struct tar_member {
    std::string path;
    bytes data;
    std::time_t mtime = 0;
    bool regular = true;
};

// A ustar archive of the members in order (mode 0664, owner 0), ended by the
// two null records and not padded any further.
bytes tar_build(const std::vector<tar_member> &members);

// The members of a tar archive, or nothing (with `error` set) when libarchive
// cannot read it to its end.
std::optional<std::vector<tar_member>> tar_parse(const bytes &archive, std::string &error);
