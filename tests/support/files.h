// Files and scratch directories for tests.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class temp_dir {
public:
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir &) = delete;
    temp_dir &operator=(const temp_dir &) = delete;

    const std::string &path() const { return path_; }
    // path() + "/" + name
    std::string file(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The whole file, or nothing when it cannot be read.
std::optional<std::vector<std::uint8_t>> read_file(const std::string &path);
std::optional<std::string> read_text(const std::string &path);
// Creates or replaces the file; false on any error.
bool write_file(const std::string &path, std::string_view content);
bool write_file(const std::string &path, const std::vector<std::uint8_t> &content);
// The names of the files in a directory, sorted.
std::vector<std::string> files_in(const std::string &directory);
