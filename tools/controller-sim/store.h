// The configurations the simulated controller holds, mirrored into its state
// directory (when it has one) as NAME.bin (the configuration file) and
// NAME.tar (the archive a backup of it returns now).
#pragma once

#include "configs.h"

#include <ctime>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class config_store {
public:
    // `status_txt` is the status document packed into every backup archive.
    explicit config_store(std::string status_txt) : status_txt_(std::move(status_txt)) {}

    // Loads NAME.bin files from `state_dir` (none when it is empty), then the
    // factory content of every standard configuration still missing when
    // `defaults` is set, and writes the mirror. False with `error` set when
    // the directory cannot be read or written.
    bool open(const std::string &state_dir, bool defaults, std::string &error);

    // The backup archive of a configuration: its file, then "status.txt"
    // (or the other way round).
    std::optional<bytes> archive(const std::string &name, bool status_first = false) const;
    // Stores a configuration file (a restore). False when the mirror could not be written.
    bool put(const std::string &name, bytes data, std::time_t mtime);
    std::vector<std::string> names() const;
    // Replaces the status document packed into the archives (after an
    // upgrade) and writes the mirror's archives again. False when the mirror
    // could not be written.
    bool set_status_txt(std::string status_txt);

private:
    struct stored {
        bytes data;
        std::time_t mtime = 0;
    };
    bytes archive_of(const std::string &name, const stored &config, bool status_first = false) const;
    bool mirror(const std::string &name, const stored &config) const;

    std::string status_txt_;
    std::string dir_;
    mutable std::mutex mutex_;
    std::map<std::string, stored> configs_;
};

// Reads a whole file; nothing when it cannot be read.
std::optional<bytes> read_whole_file(const std::string &path);
// Writes a whole file through a temporary name and a rename, so that readers
// never see half of it.
bool write_whole_file(const std::string &path, const bytes &data);
