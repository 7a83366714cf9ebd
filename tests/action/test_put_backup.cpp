// The put_backup action against the simulated controller. Backups come from
// get_backup against another simulated controller, or are put together here
// (tar archives by a small writer of this file, zip archives by Python's
// zipfile), so that the tool's own archive code is not checked against itself.
// What the controller received is read from its log and its state; uploads
// are read back with libarchive.
#include "model/convert.h"
#include "action/get_backup.h"
#include "action/put_backup.h"
#include "model/dali_layout.h"

#include "expect.h"
#include "files.h"
#include "run.h"
#include "sim.h"
#include "zip_check.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

namespace {

bool is_channel(const std::string &name) { return name.rfind("dali", 0) == 0; }

// ---- Archives made here ----

struct member {
    std::string name;
    bytes data;
    std::optional<std::uint32_t> claimed = std::nullopt; // size the header states, when not the data's
};

// A ustar archive of the members, ended by the two null records.
bytes tar_archive(const std::vector<member> &members)
{
    bytes out;
    for (const member &m : members) {
        std::array<char, 512> header{};
        std::memcpy(header.data(), m.name.data(), std::min<std::size_t>(m.name.size(), 100));
        std::snprintf(header.data() + 100, 24, "%07o%c%07o%c%07o", 0644u, 0, 0u, 0, 0u);
        std::snprintf(header.data() + 124, 24, "%011o%c%011o", static_cast<unsigned>(m.claimed.value_or(m.data.size())), 0,
                      1700000000u);
        std::memset(header.data() + 148, ' ', 8);
        header[156] = '0';
        std::memcpy(header.data() + 257, "ustar\0" "00", 8);
        unsigned sum = 0;
        for (char c : header)
            sum += static_cast<unsigned char>(c);
        std::snprintf(header.data() + 148, 7, "%06o", sum);
        out.insert(out.end(), header.begin(), header.end());
        out.insert(out.end(), m.data.begin(), m.data.end());
        out.resize((out.size() + 511) / 512 * 512, 0);
    }
    out.resize(out.size() + 1024, 0);
    return out;
}

// A configuration archive as the controller hands it out: the file, then "status.txt".
bytes config_archive(const std::string &name, const bytes &file)
{
    return tar_archive({{config_path(name), file}, {"status.txt", text_bytes("{\"model_name\": \"VESTRA-4\"}\n")}});
}

struct zip_member {
    std::string name;
    bytes data;
    unsigned attributes = 0; // external attributes; 0x10 marks a directory
};

// A deflated zip archive of the members in order, written by Python's zipfile.
void make_zip(const std::string &path, const std::vector<zip_member> &members)
{
    static const char SCRIPT[] = "import sys, zipfile\n"
                                 "with zipfile.ZipFile(sys.argv[1], 'w') as z:\n"
                                 "    a = sys.argv[2:]\n"
                                 "    for i in range(0, len(a), 3):\n"
                                 "        info = zipfile.ZipInfo(a[i], (2024, 5, 6, 7, 8, 10))\n"
                                 "        info.compress_type = zipfile.ZIP_DEFLATED\n"
                                 "        info.external_attr = int(a[i + 2])\n"
                                 "        z.writestr(info, open(a[i + 1], 'rb').read())\n";
    temp_dir payloads;
    std::vector<std::string> args = {"-c", SCRIPT, path};
    for (std::size_t i = 0; i < members.size(); ++i) {
        ASSERT_TRUE(write_file(payloads.file(std::to_string(i)), members[i].data));
        args.insert(args.end(), {members[i].name, payloads.file(std::to_string(i)), std::to_string(members[i].attributes)});
    }
    const run_result r = run_program("python3", args);
    ASSERT_EQ(r.status, 0) << r.err;
}

// ---- Controllers and runs ----

// A controller whose every configuration holds placeholder content, so that
// what a restore stored is told apart from what was there.
sim_options placeholder_controller(const temp_dir &state, const std::string &firmware)
{
    for (const std::string &name : standard_configs())
        EXPECT_TRUE(write_file(state.file(name + ".bin"), std::string(300, 'p')));
    return sim_options().firmware(firmware).state(state.path());
}

// Runs the action in this process; its standard output.
std::string put_backup(const controller_sim &sim, const std::string &file, int expected_result)
{
    return capture_stdout([&] { EXPECT_EQ(action_put_backup(sim.address().c_str(), file.c_str()), expected_result); });
}

// A zip backup of the controller made by get_backup in `dir`; its path.
std::string backup_zip(const controller_sim &sim, const temp_dir &dir)
{
    capture_stdout([&] { action_get_backup(sim.address().c_str(), dir.path().c_str(), "zip", nullptr); });
    const std::vector<std::string> files = files_in(dir.path());
    EXPECT_EQ(files.size(), 1u) << dir.path();
    return files.empty() ? "" : dir.file(files[0]);
}

// What the controller stored, in order: "name path" each.
std::vector<std::string> stored_configs(const controller_sim &sim)
{
    std::vector<std::string> stored;
    for (const sim_event &e : sim.events("config_stored"))
        stored.push_back(e.get("config") + " " + e.get("path"));
    return stored;
}

std::vector<std::string> configs_named(const std::vector<std::string> &names)
{
    std::vector<std::string> out;
    for (const std::string &name : names)
        out.push_back(name + " " + config_path(name));
    return out;
}

// Each configuration going up and restored, as put_backup prints it.
std::string restored_lines(const controller_sim &sim, std::size_t count)
{
    std::string out;
    for (std::size_t i = 0; i < count; ++i)
        out += upload_lines(sim.address()) + "OK\n";
    return out;
}

// A layout 1 channel file as a controller reading `layout` must hold it.
bytes converted(const bytes &layout_1, std::uint32_t layout)
{
    bytes out(layout == 2 ? DALI_LAYOUT_2.file_size : DALI_LAYOUT_3.file_size);
    EXPECT_EQ(layout == 2 ? dali_convert_1_to_2(out.data(), layout_1.data()) : dali_convert_1_to_3(out.data(), layout_1.data()), 0);
    return out;
}

} // namespace

TEST(PutBackup, SameFirmwareThroughTheBinary)
{
    controller_sim source;
    temp_dir backups, state;
    const std::string zip = backup_zip(source, backups);
    controller_sim sim(placeholder_controller(state, "1.3.0"));
    const std::time_t before = std::time(nullptr);
    const run_result r = run_cli({"--ip", sim.address(), "--action", "put_backup", "--backupfilein", zip});
    const std::time_t after = std::time(nullptr);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "mervo-cli\nIP=" + sim.address() + "\nACTION=put_backup\nBackupFileIn" + zip + "\n" +
                         option_values("put_backup", sim.address()) + status_query_lines(sim) +
                         restored_lines(sim, standard_configs().size()));
    EXPECT_EQ(r.err.find("curl_easy_perform() failed"), std::string::npos) << r.err;

    // Every configuration went up on its own, unchanged, as a one-entry
    // archive named after its file, in the order of the zip.
    EXPECT_EQ(stored_configs(sim), configs_named(standard_configs()));
    EXPECT_TRUE(sim.events("restore_ignored").empty());
    for (const std::string &name : standard_configs())
        EXPECT_TRUE(sim.stored(name) == source.stored(name)) << name;

    // The last upload, as libarchive reads it.
    const bytes rlc = source.stored("rlc").value_or(bytes{});
    const bytes upload = sim.flashraw().value_or(bytes{});
    EXPECT_EQ(upload.size(), 512 + (rlc.size() + 511) / 512 * 512 + 1024);
    const std::vector<tar_member> members = tar_members(upload);
    ASSERT_EQ(members.size(), 1u);
    EXPECT_EQ(members[0].name, "/etc/config/rlc/rlc.bin");
    EXPECT_EQ(members[0].mode, 0664u);
    EXPECT_EQ(members[0].uid, 0);
    EXPECT_TRUE(members[0].regular);
    EXPECT_GE(members[0].mtime, before);
    EXPECT_LE(members[0].mtime, after);
    EXPECT_EQ(members[0].data, rlc);
}

TEST(PutBackup, NewerFirmwareGetsNewerChannelLayoutsAndTheBackupAfterwardsHoldsThem)
{
    controller_sim source;
    temp_dir backups;
    const std::string zip = backup_zip(source, backups);
    for (const auto &[firmware, layout] : {std::pair("1.3.1", 2u), std::pair("1.5.0", 3u), std::pair("1.10.0", 3u)}) {
        SCOPED_TRACE(firmware);
        temp_dir state;
        controller_sim sim(placeholder_controller(state, firmware));
        const std::string printed = put_backup(sim, zip, 0);
        EXPECT_EQ(printed, status_query_lines(sim) + restored_lines(sim, standard_configs().size()));
        EXPECT_EQ(stored_configs(sim), configs_named(standard_configs()));
        for (const std::string &name : standard_configs()) {
            const bytes old = source.stored(name).value_or(bytes{}), now = sim.stored(name).value_or(bytes{});
            EXPECT_TRUE(now == (is_channel(name) ? converted(old, layout) : old)) << name;
            if (is_channel(name)) {
                EXPECT_TRUE(channel_checksum_valid(now)) << name;
            }
        }
        for (const sim_event &e : sim.events("config_stored"))
            if (is_channel(e.get("config"))) {
                EXPECT_EQ(e.get("checksum_valid"), "true") << e.raw; // the controller's own check
            }

        // A backup taken again hands out the files in the new layout.
        temp_dir again;
        const std::vector<zip_listing_entry> entries = python_zip_entries(backup_zip(sim, again));
        ASSERT_EQ(entries.size(), standard_configs().size());
        for (const zip_listing_entry &entry : entries) {
            const std::string name = entry.name.substr(0, entry.name.size() - 4);
            const std::vector<tar_member> members = tar_members(entry.content);
            ASSERT_FALSE(members.empty()) << name;
            EXPECT_EQ(members[0].name, config_path(name));
            EXPECT_TRUE(members[0].data == sim.stored(name)) << name;
        }
    }

    // A controller that does not name its firmware counts as the oldest: the
    // channel files go up as they are.
    temp_dir docs, state;
    ASSERT_TRUE(write_file(docs.file("status.json"), std::string("{\"model_name\":\"VESTRA-4\"}")));
    controller_sim sim(placeholder_controller(state, "1.5.0").fault("status=body:" + docs.file("status.json")));
    put_backup(sim, zip, 0);
    EXPECT_EQ(stored_configs(sim), configs_named(standard_configs()));
    for (const std::string &name : standard_configs())
        EXPECT_TRUE(sim.stored(name) == source.stored(name)) << name;
}

TEST(PutBackup, OnlyKnownIntactConfigurationsGoUp)
{
    temp_dir state, dir;
    controller_sim sim(placeholder_controller(state, "1.3.0"));
    const bytes rlc = text_bytes("rlc from the backup"), system = text_bytes("system configuration"), schedules(700, 's');
    // Channel files that would go up unchanged to this controller if their
    // archives were restored.
    const bytes layout_1(DALI_LAYOUT_1.file_size, 0);
    bytes layout_2(DALI_LAYOUT_2.file_size, 0);
    dali_put_u32(layout_2.data(), DALI_FILE_SIZE, DALI_LAYOUT_2.file_size);
    dali_put_u32(layout_2.data(), DALI_LAYOUT_VERSION, 2);
    bytes cd_version_3(1536, 0);
    dali_put_u32(cd_version_3.data(), DALI_LAYOUT_VERSION, 3);
    // A channel file whose archive stops in the middle of its data.
    bytes cut = config_archive("dali4", bytes(DALI_LAYOUT_1.file_size, 4));
    cut.resize(1024);
    const std::string zip = dir.file("backup.zip");
    make_zip(zip, {
                      {"notes.txt", text_bytes("restore after the refit\n")},
                      {"rlc.tar", config_archive("rlc", rlc)},
                      {"unknown.tar", tar_archive({{"/etc/config/other/unknown.bin", bytes(64, 'u')}})},
                      {"DALI1.tar", config_archive("dali1", layout_1)},
                      {"backup/", {}, 0x10},
                      {"backup/dali1.tar", config_archive("dali1", layout_1)},
                      {"dali3.tar", config_archive("dali3", layout_1), 0x10},
                      {"dali2.tar", tar_archive({{"status.txt", text_bytes("{}")}})},
                      {"systemconfig.tar", config_archive("systemconfig", system)},
                      {"dali3.tar", config_archive("dali3", {})},
                      {"dali4.tar", cut},
                      {"cd1.tar", {}},
                      {"dali1.tar", config_archive("dali1", layout_2)},
                      {"schedules.tar", config_archive("schedules", schedules)},
                      {"cd2.tar", config_archive("cd2", cd_version_3)},
                  });
    // The result is that of the last configuration that reached its
    // conversion: cd2 was refused.
    const std::string printed = put_backup(sim, zip, 2);
    EXPECT_EQ(printed, status_query_lines(sim) + restored_lines(sim, 1) +
                                           "action_put_backup\terror '/etc/config/dali/dali2.bin' file not found.\r\n" +
                                           restored_lines(sim, 1) +
                                           "action_put_backup\terror '/etc/config/dali/dali3.bin' file size error\r\n"
                                           "action_put_backup\terror reading '/etc/config/dali/dali4.bin'\r\n"
                                           "CONFIGURATION CONVERSION VERSION 2 to 1 IS NOT SUPPORTED!" +
                                           restored_lines(sim, 1));
    EXPECT_EQ(stored_configs(sim), configs_named({"rlc", "systemconfig", "schedules"}));
    EXPECT_TRUE(sim.stored("rlc") == rlc);
    EXPECT_TRUE(sim.stored("systemconfig") == system);
    EXPECT_TRUE(sim.stored("schedules") == schedules);
    for (const char *untouched : {"dali1", "dali2", "dali3", "dali4", "cd1", "cd2", "cd3"})
        EXPECT_TRUE(sim.stored(untouched) == bytes(300, 'p')) << untouched;

    make_zip(zip, {{"cd2.tar", config_archive("cd2", cd_version_3)},
                   {"rlc.tar", config_archive("rlc", rlc)},
                   {"dali2.tar", tar_archive({{"status.txt", text_bytes("{}")}})}});
    put_backup(sim, zip, 0);
    // A zip without entries restores nothing.
    make_zip(zip, {});
    const std::string empty = put_backup(sim, zip, 0);
    EXPECT_EQ(empty, status_query_lines(sim));
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(PutBackup, ClaimedSizeIsNotAllocated)
{
    // A header claiming 4 GiB, read by the binary with 1 GiB of address
    // space: the claim is refused before anything is allocated for it, and
    // the next configuration still goes up.
    controller_sim sim;
    temp_dir dir;
    const std::string zip = dir.file("backup.zip");
    make_zip(zip, {{"cd3.tar", tar_archive({{"/etc/config/dali/cd3.bin", bytes(512, 3), 0xFFFFFFFFu}})},
                   {"rlc.tar", config_archive("rlc", text_bytes("rlc"))}});
    const run_result r = run_program("prlimit", {"--as=1073741824", MERVO_CLI_PATH, "--ip", sim.address(), "--action",
                                                 "put_backup", "--backupfilein", zip});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string tail = status_query_lines(sim) + "action_put_backup\terror reading '/etc/config/dali/cd3.bin'\r\n" +
                             restored_lines(sim, 1);
    EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), tail.size())), tail);
    EXPECT_EQ(stored_configs(sim), configs_named({"rlc"}));
}
#endif

TEST(PutBackup, SingleTarFileGoesUpAsStored)
{
    controller_sim source;
    temp_dir loose, state;
    capture_stdout([&] { action_get_backup(source.address().c_str(), loose.path().c_str(), "directory", nullptr); });
    const std::optional<bytes> dali1 = read_file(loose.file("dali1.tar"));
    ASSERT_TRUE(dali1.has_value());

    // Not converted for a newer controller: the archive is not looked into.
    controller_sim sim(placeholder_controller(state, "1.5.0"));
    const std::string printed = put_backup(sim, loose.file("dali1.tar"), 0);
    EXPECT_EQ(printed, status_query_lines(sim) + restored_lines(sim, 1));
    EXPECT_TRUE(sim.flashraw() == dali1);
    EXPECT_TRUE(sim.stored("dali1") == source.stored("dali1"));
    EXPECT_EQ(stored_configs(sim), configs_named({"dali1"}));

    // Only the first header counts; whatever follows goes up as it is.
    bytes odd(dali1->begin(), dali1->begin() + 512);
    odd.resize(odd.size() + 5000, 0x5A);
    ASSERT_TRUE(write_file(loose.file("odd.tar"), odd));
    put_backup(sim, loose.file("odd.tar"), 0);
    EXPECT_TRUE(sim.flashraw() == odd);
}

TEST(PutBackup, FilesThatAreNoArchiveUploadNothing)
{
    controller_sim sim;
    temp_dir dir;
    std::string text;
    while (text.size() < 2000)
        text += "These are the notes of the commissioning, not a backup.\n";
    ASSERT_TRUE(write_file(dir.file("notes.txt"), text));
    ASSERT_TRUE(write_file(dir.file("short.tar"), std::string(100, 'x')));
    ASSERT_TRUE(write_file(dir.file("zeros.tar"), std::string(1024, '\0')));
    for (const auto &[file, code] : {std::pair("notes.txt", -6), std::pair("short.tar", -3), std::pair("zeros.tar", -7),
                                     std::pair("missing.zip", -2)}) {
        const std::string printed = put_backup(sim, dir.file(file), 0);
        EXPECT_EQ(printed, status_query_lines(sim) + "Error " + std::to_string(code) + " opening tar file.");
    }
    // Without a file, nothing is asked of the controller.
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(action_put_backup(sim.address().c_str(), nullptr), 2); }),
              "Missing arguments for action put_backup.");
    EXPECT_EQ(sim.requests("/api/v100/status.ssi").size(), 4u);
    EXPECT_FALSE(sim.flashraw().has_value());
}

TEST(PutBackup, ControllerFailures)
{
    temp_dir dir;
    const std::string zip = dir.file("backup.zip");
    make_zip(zip, {{"rlc.tar", config_archive("rlc", text_bytes("rlc"))},
                   {"schedules.tar", config_archive("schedules", text_bytes("week"))}});

    // Controller down: the status query's lines only, and its result.
    refusing_port down;
    const captured_output out = capture_output([&] { EXPECT_EQ(action_put_backup(down.address().c_str(), zip.c_str()), 1); });
    EXPECT_EQ(out.out, fetching_line("status", down.address() + "/api/v100/status.ssi"));
    EXPECT_NE(out.err.find("curl_easy_perform() failed"), std::string::npos);

    // Uploads refused: no restore request, every configuration tried, and
    // the run reports that nothing went up.
    controller_sim sim(sim_options().tftp_mode("refuse"));
    const std::string push = pushing_line("firmware_push_tftp", "tftp://" + sim.address() + "/flashraw.bin");
    const std::string printed = put_backup(sim, zip, 1);
    EXPECT_EQ(printed, status_query_lines(sim) + push + push);
    EXPECT_TRUE(sim.requests("/api/v100/status.ssi", "action=restoreconfig").empty());
}
