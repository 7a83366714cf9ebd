// Independent checks of zip archives for tests: unzip and 7-Zip test an
// archive, Python's zipfile lists it and hands out every entry's content.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct zip_listing_entry {
    std::string name;
    int method = -1;    // 0 stored, 8 deflate
    int flags = -1;     // general-purpose flag bits
    long age = -1;      // seconds between the entry's time stamp (local time) and now
    std::vector<std::uint8_t> content;
};

// Python's zipfile reads the archive (comparing each local header with its
// central directory record and checking every CRC-32). Adds a test failure
// when it cannot.
std::vector<zip_listing_entry> python_zip_entries(const std::string &archive);

// unzip -t and 7-Zip's test pass on the archive (test failures otherwise).
void expect_zip_sound(const std::string &archive);

// An archive without entries, which unzip refuses to test: exactly the bare
// end-of-central-directory record.
void expect_empty_zip(const std::string &archive);

// Debian's 7-Zip command: 7zz, or 7z where that is what is installed.
const std::string &seven_zip_command();

class controller_sim;
// A backup zip that get_backup wrote: sound, holding exactly `names`
// (NAME.tar each, deflated) in this order, each the archive the controller
// serves for it, byte for byte.
void expect_backup_zip(const controller_sim &sim, const std::string &archive, const std::vector<std::string> &names);
