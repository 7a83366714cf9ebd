// The get_backup action against the simulated controller: through the real
// binary (the whole standard output compared, the archive found by its
// time-stamped name) and in-process for the output types and name lists.
#include "action/get_backup.h"

#include "expect.h"
#include "files.h"
#include "run.h"
#include "sim.h"
#include "zip_check.h"

#include <gtest/gtest.h>

#include <ctime>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

namespace {

const controller_identity ID{"VESTRA-4", "1.3.0", "V4-TEST-0001", "00:11:22:33:44:55"};

// Every configuration listed with its "OK".
std::string listings(const controller_sim &sim, const std::vector<std::string> &names)
{
    std::string out;
    for (const std::string &name : names)
        out += config_listing(sim, name, ID) + "OK\n";
    return out;
}

// Runs the action in this process; its standard output.
std::string get_backup(const controller_sim &sim, const char *directory, const char *type,
                       const std::vector<std::string> *names, int expected_result = 0)
{
    return capture_stdout(
        [&] { EXPECT_EQ(action_get_backup(sim.address().c_str(), directory, type, names), expected_result); });
}

} // namespace

TEST(GetBackup, ZipRunThroughTheBinary)
{
    controller_sim sim(ID.options());
    temp_dir out;
    const std::time_t before = std::time(nullptr);
    const run_result r = run_cli({"--ip", sim.address(), "--action", "get_backup", "--backupfileout", out.path(),
                                  "--backupfileouttype", "zip"});
    const std::time_t after = std::time(nullptr);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "mervo-cli\nIP=" + sim.address() + "\nACTION=get_backup\nBackupFileOut" + out.path() +
                         "\nBackupFileOutTypezip\n" + option_values("get_backup", sim.address(), out.path(), "zip") +
                         listings(sim, standard_configs()));
    EXPECT_EQ(r.err, "");

    // One archive, "backup_<address>_VESTRA_<yyyymmdd>_<hhmmss>.zip" in the
    // local time of the run, holding every configuration in table order.
    const std::vector<std::string> files = files_in(out.path());
    ASSERT_EQ(files.size(), 1u);
    std::smatch stamp;
    ASSERT_TRUE(std::regex_match(files[0], stamp, std::regex(R"(backup_(.*)_VESTRA_(\d{4})(\d\d)(\d\d)_(\d\d)(\d\d)(\d\d)\.zip)")))
        << files[0];
    EXPECT_EQ(stamp[1], sim.address());
    std::tm local{};
    local.tm_year = std::stoi(stamp[2]) - 1900;
    local.tm_mon = std::stoi(stamp[3]) - 1;
    local.tm_mday = std::stoi(stamp[4]);
    local.tm_hour = std::stoi(stamp[5]);
    local.tm_min = std::stoi(stamp[6]);
    local.tm_sec = std::stoi(stamp[7]);
    local.tm_isdst = -1;
    EXPECT_GE(std::mktime(&local), before);
    EXPECT_LE(std::mktime(&local), after);
    expect_backup_zip(sim, out.file(files[0]), standard_configs());
    EXPECT_EQ(sim.requests("/api/v100/backup.ssi").size(), standard_configs().size());
}

TEST(GetBackup, ChosenNamesThroughTheBinary)
{
    // A configuration outside the built-in table is fetched and stored like
    // the others; a name given twice is fetched twice but stored once.
    temp_dir state, out;
    ASSERT_TRUE(write_file(state.file("extra.bin"), std::string(700, 'x')));
    controller_sim sim(ID.options().state(state.path()));
    const std::string list = "[\"dali1\",\"extra\",\"dali1\"]";
    const run_result r = run_cli({"--ip", sim.address(), "--action", "get_backup", "--backupfileout", out.path(),
                                  "--backupfileouttype", "zip", "--backupconfig", list});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("BackupConfig" + list + "\n"), std::string::npos) << r.out;
    const std::string values = option_values("get_backup", sim.address(), out.path(), "zip");
    ASSERT_NE(r.out.find(values), std::string::npos) << r.out;
    EXPECT_EQ(r.out.substr(r.out.find(values) + values.size()), listings(sim, {"dali1", "extra", "dali1"}));
    const std::vector<std::string> files = files_in(out.path());
    ASSERT_EQ(files.size(), 1u);
    expect_backup_zip(sim, out.file(files[0]), {"dali1", "extra"});
}

TEST(GetBackup, OutputTypes)
{
    controller_sim sim(ID.options());
    const std::string all = listings(sim, standard_configs());

    // "directory": NAME.tar each, an older file of that name replaced.
    temp_dir loose;
    ASSERT_TRUE(write_file(loose.file("dali3.tar"), std::string("old")));
    EXPECT_EQ(get_backup(sim, loose.path().c_str(), "directory", nullptr), all);
    std::vector<std::string> expected;
    for (const std::string &name : standard_configs()) {
        expected.push_back(name + ".tar");
        EXPECT_EQ(read_file(loose.file(name + ".tar")), sim.stored_archive(name)) << name;
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(files_in(loose.path()), expected);

    // Other types (letter case and abbreviations too) and no type: every
    // configuration fetched and listed, nothing stored.
    temp_dir out;
    for (const char *type : {"Zip", "ZIP", "dir", "directory ", "zipx", "", static_cast<const char *>(nullptr)})
        EXPECT_EQ(get_backup(sim, out.path().c_str(), type, nullptr), all) << (type ? type : "(no type)");
    EXPECT_EQ(get_backup(sim, nullptr, "tar", nullptr), all);
    EXPECT_TRUE(files_in(out.path()).empty());

    // An empty list gives an empty archive, and nothing in a directory.
    const std::vector<std::string> none;
    EXPECT_EQ(get_backup(sim, out.path().c_str(), "zip", &none), "");
    const std::vector<std::string> files = files_in(out.path());
    ASSERT_EQ(files.size(), 1u);
    expect_empty_zip(out.file(files[0]));
    std::filesystem::remove(out.file(files[0]));
    EXPECT_EQ(get_backup(sim, out.path().c_str(), "directory", &none), "");
    EXPECT_TRUE(files_in(out.path()).empty());

    // An output that needs a directory without one: nothing is fetched.
    const std::size_t requests = sim.requests("/api/v100/backup.ssi").size();
    for (const char *type : {"zip", "directory"})
        EXPECT_EQ(get_backup(sim, nullptr, type, nullptr, 2), "Missing arguments for action get_backup.");
    EXPECT_EQ(sim.requests("/api/v100/backup.ssi").size(), requests);
}

TEST(GetBackup, RefusedConfigurationsAreLeftOut)
{
    controller_sim sim(ID.options().fault("backup:dali2=404").fault("backup:cd3=empty"));
    temp_dir out, loose;
    // No "OK" for those two; every other configuration is fetched and stored.
    const std::string printed = get_backup(sim, out.path().c_str(), "zip", nullptr);
    std::vector<std::string> stored;
    std::string expected;
    for (const std::string &name : standard_configs()) {
        const std::string fetching = fetching_line("backup", sim.base() + "/api/v100/backup.ssi?config=" + name);
        if (name == "dali2")
            expected += fetching + received_line("backup", std::stoul(sim.requests("/api/v100/backup.ssi", "config=dali2").at(0).get("bytes"))) +
                        LIST_HEAD + file_error(-1) + NO_STATUS_TXT;
        else if (name == "cd3")
            expected += fetching + received_line("backup", 0) + NO_STATUS_TXT;
        else {
            expected += config_listing(sim, name, ID) + "OK\n";
            stored.push_back(name);
        }
    }
    EXPECT_EQ(printed, expected);
    const std::vector<std::string> files = files_in(out.path());
    ASSERT_EQ(files.size(), 1u);
    expect_backup_zip(sim, out.file(files[0]), stored);

    // The same into a directory.
    get_backup(sim, loose.path().c_str(), "directory", nullptr);
    std::vector<std::string> tars;
    for (const std::string &name : stored)
        tars.push_back(name + ".tar");
    std::sort(tars.begin(), tars.end());
    EXPECT_EQ(files_in(loose.path()), tars);
}

TEST(GetBackup, UnwritableOutputIsReportedAndTheRunGoesOn)
{
    // The configurations are still fetched ("OK" for each), and the backup
    // that could not be stored is named, so nobody leaves believing it exists.
    controller_sim sim(ID.options());
    temp_dir out;
    const std::string missing = out.file("missing");
    const std::vector<std::string> names = {"dali1", "rlc"};
    const std::string zip_run = get_backup(sim, missing.c_str(), "zip", &names);
    EXPECT_TRUE(std::regex_match(zip_run.substr(0, zip_run.find("\r\n")),
                                 std::regex("backup\terror writing '" + missing + "/backup_" + sim.address() +
                                            R"(_VESTRA_\d{8}_\d{6}\.zip'\.)")))
        << zip_run;
    EXPECT_EQ(zip_run.substr(zip_run.find("\r\n") + 2), listings(sim, names));
    EXPECT_EQ(get_backup(sim, missing.c_str(), "directory", &names),
              listings(sim, {"dali1"}) + "backup\terror writing '" + missing + "/dali1.tar'.\r\n" + listings(sim, {"rlc"}) +
                  "backup\terror writing '" + missing + "/rlc.tar'.\r\n");
    EXPECT_TRUE(files_in(out.path()).empty());
}
