// The get_backup action against the simulated controller: through the real
// binary (the whole standard output compared, the archive found by its
// time-stamped name) and in-process for the output types and name lists.
#include "action/get_backup.h"

#include "files.h"
#include "run.h"
#include "sim.h"
#include "zip_check.h"

#include <gtest/gtest.h>

#include <regex>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using bytes = std::vector<std::uint8_t>;

const std::vector<std::string> BUILT_IN = {"systemconfig", "dali1", "dali2", "dali3", "dali4", "cd1",
                                           "cd2",          "cd3",   "cd4",   "schedules", "rlc"};

const char SERIAL[] = "V4-TEST-0001";
const char MAC[] = "00:11:22:33:44:55";

// The controller, with a known identity.
sim_options controller() { return sim_options().arg(std::string("--serial=") + SERIAL).arg(std::string("--mac=") + MAC); }

// The entries of a tar archive as the controller packs them: name, data.
struct tar_member {
    std::string name;
    bytes data;
};
std::vector<tar_member> tar_members(const bytes &archive)
{
    std::vector<tar_member> members;
    std::size_t at = 0;
    while (at + 512 <= archive.size() && archive[at] != 0) {
        const char *header = reinterpret_cast<const char *>(archive.data() + at);
        std::string name(header, strnlen(header, 100));
        const std::string prefix(header + 345, strnlen(header + 345, 155));
        if (std::string(header + 257, 5) == "ustar" && !prefix.empty())
            name = prefix + "/" + name;
        const std::size_t size = std::stoul(std::string(header + 124, 12), nullptr, 8);
        at += 512;
        EXPECT_LE(at + size, archive.size());
        members.push_back({name, bytes(archive.begin() + static_cast<long>(at),
                                       archive.begin() + static_cast<long>(std::min(at + size, archive.size())))});
        at += (size + 511) / 512 * 512;
    }
    return members;
}

// What fetching and listing one configuration prints, before its "OK".
std::string listing(const controller_sim &sim, const std::string &name)
{
    const bytes archive = sim.stored_archive(name).value_or(bytes{});
    std::string out = "backup\tfetching URL '" + sim.base() + "/api/v100/backup.ssi?config=" + name + "'.\n" +
                      "backup\treceived " + std::to_string(archive.size()) + " bytes.\n" +
                      "backup\tbackup file contains: \r\n";
    std::string status;
    for (const tar_member &member : tar_members(archive)) {
        out += "\t" + member.name + " (" + std::to_string(member.data.size()) + " bytes)\r\n";
        if (member.name == "status.txt")
            status.assign(member.data.begin(), member.data.end());
    }
    return out + status + "backup\tmodel name: VESTRA-4\r\nbackup\tfirmware version: 1.3.0\r\n" +
           "backup\tserial number: " + SERIAL + "\r\nbackup\tmac: " + MAC + "\r\n";
}

std::vector<std::string> files_in(const std::string &directory)
{
    std::vector<std::string> names;
    for (const auto &file : fs::directory_iterator(directory))
        names.push_back(file.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::size_t count_of(const std::string &text, const std::string &part)
{
    std::size_t count = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

// The archive holds exactly these configurations, in this order, each the
// controller's archive byte for byte, deflated.
void expect_backup_zip(const controller_sim &sim, const std::string &path, const std::vector<std::string> &names)
{
    expect_zip_sound(path);
    const std::vector<zip_listing_entry> entries = python_zip_entries(path);
    ASSERT_EQ(entries.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(entries[i].name, names[i] + ".tar");
        EXPECT_EQ(entries[i].method, 8) << names[i];
        const auto served = sim.stored_archive(names[i]);
        ASSERT_TRUE(served.has_value()) << names[i];
        EXPECT_TRUE(entries[i].content == *served) << names[i];
    }
}

// Runs the action in this process; its standard output.
std::string get_backup(const controller_sim &sim, const char *directory, const char *type,
                       const std::vector<std::string> *names, int expected_result = 0)
{
    return capture_stdout([&] {
        EXPECT_EQ(action_get_backup(sim.address().c_str(), directory, type, names), expected_result);
    });
}

TEST(GetBackup, ZipRunThroughTheBinary)
{
    controller_sim sim(controller());
    temp_dir out;
    const std::time_t before = std::time(nullptr);
    run_result r = run_cli({"--ip", sim.address(), "--action", "get_backup", "--backupfileout", out.path(),
                            "--backupfileouttype", "zip"});
    const std::time_t after = std::time(nullptr);
    EXPECT_EQ(r.status, 0);

    std::string expected = "mervo-cli\nIP=" + sim.address() + "\nACTION=get_backup\nBackupFileOut" + out.path() +
                           "\nBackupFileOutTypezip\noptAction=get_backup\noptIP=" + sim.address() +
                           "\noptBackupFileOut=" + out.path() + "\noptBackupFileOutType=zip\n";
    for (const std::string &name : BUILT_IN)
        expected += listing(sim, name) + "OK\n";
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err, "");

    // One archive, named after the address and the local time of the run.
    const std::vector<std::string> files = files_in(out.path());
    ASSERT_EQ(files.size(), 1u);
    // "backup_<address>_VESTRA_<yyyymmdd>_<hhmmss>.zip"
    const std::string prefix = "backup_" + sim.address() + "_VESTRA_";
    const std::string &name = files[0];
    ASSERT_EQ(name.size(), prefix.size() + 19) << name;
    ASSERT_EQ(name.substr(0, prefix.size()), prefix) << name;
    const std::string stamp = name.substr(prefix.size(), 15);
    EXPECT_EQ(name.substr(prefix.size() + 15), ".zip") << name;
    for (std::size_t i = 0; i < stamp.size(); ++i)
        ASSERT_TRUE(i == 8 ? stamp[i] == '_' : std::isdigit(static_cast<unsigned char>(stamp[i]))) << name;
    auto field = [&](std::size_t at, std::size_t length) { return std::stoi(stamp.substr(at, length)); };
    std::tm local{};
    local.tm_year = field(0, 4) - 1900;
    local.tm_mon = field(4, 2) - 1;
    local.tm_mday = field(6, 2);
    local.tm_hour = field(9, 2);
    local.tm_min = field(11, 2);
    local.tm_sec = field(13, 2);
    local.tm_isdst = -1;
    const std::time_t named = std::mktime(&local);
    EXPECT_GE(named, before);
    EXPECT_LE(named, after);

    expect_backup_zip(sim, out.file(files[0]), BUILT_IN);
    EXPECT_EQ(sim.requests("/api/v100/backup.ssi").size(), BUILT_IN.size());
}

TEST(GetBackup, ChosenNamesThroughTheBinary)
{
    // A configuration outside the built-in table is fetched and stored like
    // the others; a name given twice is fetched twice but stored once.
    temp_dir state;
    ASSERT_TRUE(write_file(state.file("extra.bin"), std::string(700, 'x')));
    controller_sim sim(controller().state(state.path()));
    temp_dir out;
    const std::string list = "[\"dali1\",\"extra\",\"dali1\"]";
    run_result r = run_cli({"--ip", sim.address(), "--action", "get_backup", "--backupfileout", out.path(),
                            "--backupfileouttype", "zip", "--backupconfig", list});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("BackupConfig" + list + "\n"), std::string::npos) << r.out;
    const std::size_t actions = r.out.find("optBackupFileOutType=zip\n");
    ASSERT_NE(actions, std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(actions + 25),
              listing(sim, "dali1") + "OK\n" + listing(sim, "extra") + "OK\n" + listing(sim, "dali1") + "OK\n");

    const std::vector<std::string> files = files_in(out.path());
    ASSERT_EQ(files.size(), 1u);
    expect_backup_zip(sim, out.file(files[0]), {"dali1", "extra"});
}

TEST(GetBackup, DirectoryOutput)
{
    controller_sim sim(controller());
    temp_dir out;
    // An older file of the same name is replaced.
    ASSERT_TRUE(write_file(out.file("dali3.tar"), std::string("old")));
    const std::string printed = get_backup(sim, out.path().c_str(), "directory", nullptr);
    EXPECT_EQ(count_of(printed, "\nOK\n"), BUILT_IN.size());

    std::vector<std::string> expected;
    for (const std::string &name : BUILT_IN)
        expected.push_back(name + ".tar");
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(files_in(out.path()), expected);
    for (const std::string &name : BUILT_IN)
        EXPECT_TRUE(read_file(out.file(name + ".tar")) == sim.stored_archive(name)) << name;
}

TEST(GetBackup, OtherOutputTypesStoreNothing)
{
    controller_sim sim(controller());
    temp_dir out;
    std::string all;
    for (const std::string &name : BUILT_IN)
        all += listing(sim, name) + "OK\n";
    // Letter case and abbreviations are other types; so is a missing type.
    for (const char *type : {"Zip", "ZIP", "dir", "directory ", "zipx", "", static_cast<const char *>(nullptr)}) {
        SCOPED_TRACE(type ? type : "(no type)");
        EXPECT_EQ(get_backup(sim, out.path().c_str(), type, nullptr), all);
    }
    // Without a directory too.
    EXPECT_EQ(get_backup(sim, nullptr, "tar", nullptr), all);
    EXPECT_TRUE(files_in(out.path()).empty());
}

TEST(GetBackup, EmptyListAndMissingArguments)
{
    controller_sim sim(controller());
    temp_dir out;
    const std::vector<std::string> none;
    // An empty list gives an empty archive, and nothing in a directory.
    EXPECT_EQ(get_backup(sim, out.path().c_str(), "zip", &none), "");
    std::vector<std::string> files = files_in(out.path());
    ASSERT_EQ(files.size(), 1u);
    std::vector<std::uint8_t> empty_zip = {'P', 'K', 5, 6};
    empty_zip.resize(22);
    EXPECT_TRUE(read_file(out.file(files[0])) == empty_zip);
    EXPECT_TRUE(python_zip_entries(out.file(files[0])).empty());
    fs::remove(out.file(files[0]));
    EXPECT_EQ(get_backup(sim, out.path().c_str(), "directory", &none), "");
    EXPECT_TRUE(files_in(out.path()).empty());

    // No address, or no directory for an output that needs one.
    const std::string missing = "Missing arguments for action get_backup.";
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(action_get_backup(nullptr, out.path().c_str(), "zip", nullptr), 2); }),
              missing);
    EXPECT_EQ(get_backup(sim, nullptr, "zip", nullptr, 2), missing);
    EXPECT_EQ(get_backup(sim, nullptr, "directory", nullptr, 2), missing);
    EXPECT_TRUE(sim.requests("/api/v100/backup.ssi").empty());
    EXPECT_TRUE(files_in(out.path()).empty());
}

TEST(GetBackup, RefusedConfigurationsAreLeftOut)
{
    controller_sim sim(controller().fault("backup:dali2=404").fault("backup:cd3=empty"));
    temp_dir out;
    const std::string printed = get_backup(sim, out.path().c_str(), "zip", nullptr);
    // No "OK" for those two; every other configuration is fetched and stored.
    EXPECT_EQ(count_of(printed, "\nOK\n"), BUILT_IN.size() - 2);
    EXPECT_NE(printed.find("config=dali2'.\nbackup\treceived "), std::string::npos);
    EXPECT_NE(printed.find("config=cd3'.\nbackup\treceived 0 bytes.\nbackup\terror status.txt file not found.\r\n"
                           "backup\tfetching URL"),
              std::string::npos)
        << printed;
    EXPECT_EQ(printed.find(listing(sim, "dali1") + "OK\n" + listing(sim, "dali2")), std::string::npos);
    std::vector<std::string> stored;
    for (const std::string &name : BUILT_IN)
        if (name != "dali2" && name != "cd3")
            stored.push_back(name);
    const std::vector<std::string> files = files_in(out.path());
    ASSERT_EQ(files.size(), 1u);
    expect_backup_zip(sim, out.file(files[0]), stored);

    // The same into a directory.
    temp_dir loose;
    get_backup(sim, loose.path().c_str(), "directory", nullptr);
    EXPECT_EQ(files_in(loose.path()).size(), BUILT_IN.size() - 2);
    EXPECT_FALSE(fs::exists(loose.file("dali2.tar")));
}

TEST(GetBackup, UnwritableOutputIsReportedAndTheRunGoesOn)
{
    // The configurations are still fetched ("OK" for each), and the backup
    // that could not be stored is named, so nobody leaves believing it exists.
    controller_sim sim(controller());
    temp_dir out;
    const std::string missing = out.file("missing");
    const std::vector<std::string> names = {"dali1", "rlc"};
    const std::string fetched = listing(sim, "dali1") + "OK\n" + listing(sim, "rlc") + "OK\n";

    const std::string zip_run = get_backup(sim, missing.c_str(), "zip", &names);
    const std::string zip_prefix = "backup\terror writing '" + missing + "/backup_" + sim.address() + "_VESTRA_";
    ASSERT_EQ(zip_run.compare(0, zip_prefix.size(), zip_prefix), 0) << zip_run;
    const std::size_t line_end = zip_run.find("\r\n");
    ASSERT_NE(line_end, std::string::npos);
    EXPECT_TRUE(std::regex_match(zip_run.substr(zip_prefix.size(), line_end - zip_prefix.size()),
                                 std::regex(R"(\d{8}_\d{6}\.zip'\.)")));
    EXPECT_EQ(zip_run.substr(line_end + 2), fetched);

    EXPECT_EQ(get_backup(sim, missing.c_str(), "directory", &names),
              listing(sim, "dali1") + "OK\nbackup\terror writing '" + missing + "/dali1.tar'.\r\n" +
                  listing(sim, "rlc") + "OK\nbackup\terror writing '" + missing + "/rlc.tar'.\r\n");
    EXPECT_TRUE(files_in(out.path()).empty());
}

} // namespace
