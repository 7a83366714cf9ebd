#include "zip_check.h"

#include "files.h"
#include "run.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <sstream>

namespace {

// One line per entry: name, method, flag bits, age; the content goes to
// <directory>/<position>.
const char PYTHON_LIST[] = R"(import sys, time, zipfile
z = zipfile.ZipFile(sys.argv[1])
for i, info in enumerate(z.infolist()):
    open('%s/%d' % (sys.argv[2], i), 'wb').write(z.read(info))
    age = abs(time.time() - time.mktime(info.date_time + (0, 0, -1)))
    print('%s|%d|%d|%d' % (info.filename, info.compress_type, info.flag_bits, age))
)";

} // namespace

std::vector<zip_listing_entry> python_zip_entries(const std::string &archive)
{
    temp_dir out;
    run_result listed = run_program("python3", {"-c", PYTHON_LIST, archive, out.path()});
    EXPECT_EQ(listed.status, 0) << archive << ": " << listed.err;
    std::vector<zip_listing_entry> entries;
    std::istringstream lines(listed.out);
    std::string line;
    while (std::getline(lines, line)) {
        zip_listing_entry entry;
        std::istringstream fields(line);
        std::string method, flags, age;
        std::getline(fields, entry.name, '|');
        std::getline(fields, method, '|');
        std::getline(fields, flags, '|');
        std::getline(fields, age, '|');
        entry.method = std::atoi(method.c_str());
        entry.flags = std::atoi(flags.c_str());
        entry.age = std::atol(age.c_str());
        entry.content = read_file(out.file(std::to_string(entries.size()))).value_or(std::vector<std::uint8_t>{});
        entries.push_back(std::move(entry));
    }
    return entries;
}

const std::string &seven_zip_command()
{
    static const std::string name = run_program("sh", {"-c", "command -v 7zz"}).status == 0 ? "7zz" : "7z";
    return name;
}

void expect_zip_sound(const std::string &archive)
{
    run_result unzip = run_program("unzip", {"-t", archive});
    EXPECT_EQ(unzip.status, 0) << unzip.out << unzip.err;
    run_result seven = run_program(seven_zip_command(), {"t", archive});
    EXPECT_EQ(seven.status, 0) << seven.out << seven.err;
    EXPECT_NE(seven.out.find("Everything is Ok"), std::string::npos) << seven.out;
}

void expect_empty_zip(const std::string &archive)
{
    std::vector<std::uint8_t> end_only = {'P', 'K', 5, 6};
    end_only.resize(22);
    EXPECT_EQ(read_file(archive), end_only) << archive;
}

void expect_backup_zip(const controller_sim &sim, const std::string &archive, const std::vector<std::string> &names)
{
    expect_zip_sound(archive);
    const std::vector<zip_listing_entry> entries = python_zip_entries(archive);
    ASSERT_EQ(entries.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(entries[i].name, names[i] + ".tar");
        EXPECT_EQ(entries[i].method, 8) << names[i];
        EXPECT_TRUE(entries[i].content == sim.stored_archive(names[i])) << names[i];
    }
}
