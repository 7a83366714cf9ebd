// The put_backup action against the simulated controller. Backups come from
// get_backup against another simulated controller, or are put together here
// (tar archives by a small writer of this file, zip archives by Python's
// zipfile), so that the tool's own archive code is not checked against itself.
// What the controller received is read from its log and its state; the
// uploaded archive is read back with Python's tarfile.
#include "action/get_backup.h"
#include "action/put_backup.h"
#include "backup/channel_config.h"
#include "backup/dali_layout.h"

#include "files.h"
#include "run.h"
#include "sim.h"
#include "zip_check.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using bytes = std::vector<std::uint8_t>;

// The configurations a backup holds, in the order get_backup takes them, and
// the paths of their files.
struct config {
    std::string name;
    std::string path;
};
const std::vector<config> CONFIGS = {
    {"systemconfig", "/etc/config/system/systemconfig.bin"},
    {"dali1", "/etc/config/dali/dali1.bin"},
    {"dali2", "/etc/config/dali/dali2.bin"},
    {"dali3", "/etc/config/dali/dali3.bin"},
    {"dali4", "/etc/config/dali/dali4.bin"},
    {"cd1", "/etc/config/dali/cd1.bin"},
    {"cd2", "/etc/config/dali/cd2.bin"},
    {"cd3", "/etc/config/dali/cd3.bin"},
    {"cd4", "/etc/config/dali/cd4.bin"},
    {"schedules", "/etc/config/schedule/schedule.bin"},
    {"rlc", "/etc/config/rlc/rlc.bin"},
};

bool is_channel(const std::string &name) { return name.rfind("dali", 0) == 0; }

bytes text_bytes(const std::string &text) { return bytes(text.begin(), text.end()); }

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
        std::snprintf(header.data() + 100, 8, "%07o", 0644u);
        std::snprintf(header.data() + 108, 8, "%07o", 0u);
        std::snprintf(header.data() + 116, 8, "%07o", 0u);
        std::snprintf(header.data() + 124, 12, "%011o", static_cast<unsigned>(m.claimed.value_or(static_cast<std::uint32_t>(m.data.size()))));
        std::snprintf(header.data() + 136, 12, "%011o", 1700000000u);
        std::memset(header.data() + 148, ' ', 8);
        header[156] = '0';
        std::memcpy(header.data() + 257, "ustar", 6);
        std::memcpy(header.data() + 263, "00", 2);
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
bytes config_archive(const std::string &path, const bytes &file)
{
    return tar_archive({{path, file}, {"status.txt", text_bytes("{\"model_name\": \"VESTRA-4\"}\n")}});
}

struct zip_member {
    std::string name;
    bytes data;
    unsigned attributes = 0; // external attributes; 0x10 marks a directory
};

// A deflated zip archive of the members in order, written by Python's zipfile.
void make_zip(const std::string &path, const std::vector<zip_member> &members)
{
    static const char SCRIPT[] = R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1], 'w') as z:
    args = sys.argv[2:]
    for i in range(0, len(args), 3):
        info = zipfile.ZipInfo(args[i], (2024, 5, 6, 7, 8, 10))
        info.compress_type = zipfile.ZIP_DEFLATED
        info.external_attr = int(args[i + 2])
        with open(args[i + 1], 'rb') as f:
            z.writestr(info, f.read())
)";
    temp_dir payloads;
    std::vector<std::string> args = {"-c", SCRIPT, path};
    for (std::size_t i = 0; i < members.size(); ++i) {
        const std::string file = payloads.file(std::to_string(i));
        ASSERT_TRUE(write_file(file, members[i].data));
        args.insert(args.end(), {members[i].name, file, std::to_string(members[i].attributes)});
    }
    const run_result r = run_program("python3", args);
    ASSERT_EQ(r.status, 0) << r.err;
}

// One member of a tar archive as Python's tarfile reads it.
struct tar_info {
    std::string name;
    unsigned mode = 0, uid = 0, gid = 0;
    long long mtime = 0;
    std::string type;
    std::string linkname;
    bytes data;
};

std::vector<tar_info> python_tar_members(const bytes &archive)
{
    static const char SCRIPT[] = R"(
import sys, tarfile
with tarfile.open(sys.argv[1], 'r:') as t:
    for m in t.getmembers():
        data = t.extractfile(m).read() if m.isreg() else b''
        print('\t'.join([m.name, str(m.mode), str(m.uid), str(m.gid), str(m.mtime),
                         m.type.decode(), m.linkname, data.hex()]))
)";
    temp_dir dir;
    EXPECT_TRUE(write_file(dir.file("a.tar"), archive));
    const run_result r = run_program("python3", {"-c", SCRIPT, dir.file("a.tar")});
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<tar_info> members;
    std::istringstream lines(r.out);
    for (std::string line; std::getline(lines, line);) {
        std::vector<std::string> f;
        std::istringstream fields(line);
        for (std::string field; std::getline(fields, field, '\t');)
            f.push_back(field);
        f.resize(8);
        tar_info info{f[0], static_cast<unsigned>(std::stoul(f[1])), static_cast<unsigned>(std::stoul(f[2])),
                      static_cast<unsigned>(std::stoul(f[3])), std::stoll(f[4]), f[5], f[6], {}};
        for (std::size_t i = 0; i + 1 < f[7].size(); i += 2)
            info.data.push_back(static_cast<std::uint8_t>(std::stoul(f[7].substr(i, 2), nullptr, 16)));
        members.push_back(std::move(info));
    }
    return members;
}

// ---- Controllers and runs ----

// A controller whose every configuration holds placeholder content, so that
// what a restore stored is told apart from what was there.
sim_options placeholder_controller(const temp_dir &state, const std::string &firmware)
{
    for (const config &c : CONFIGS)
        EXPECT_TRUE(write_file(state.file(c.name + ".bin"), std::string(300, 'p')));
    return sim_options().firmware(firmware).state(state.path());
}

// The lines of the status query that opens every restore.
std::string status_lines(const controller_sim &sim)
{
    std::string received = "?";
    for (const sim_event &e : sim.requests("/api/v100/status.ssi"))
        if (e.get("query").empty()) {
            received = e.get("bytes");
            break;
        }
    return "status\tfetching URL '" + sim.address() + "/api/v100/status.ssi'.\nstatus\treceived " + received +
           " bytes.\nmodel_name=VESTRA-4\r\n";
}

// The lines of one configuration that went up and was restored.
std::string upload_lines(const controller_sim &sim)
{
    return "firmware_push_tftp\tpushing URL 'tftp://" + sim.address() + "/flashraw.bin'.\nOK\n" +
           "backup_put\tpushing URL '" + sim.address() + "/api/v100/status.ssi?action=restoreconfig'.\n" +
           "{\"action\":\"restoreconfig\",\"result\":\"ok\"}\nOK\nOK\n";
}

// Runs the action in this process; its standard output.
std::string put_backup(const controller_sim &sim, const std::string &file, int expected_result)
{
    return capture_stdout([&] { EXPECT_EQ(action_put_backup(sim.address().c_str(), file.c_str()), expected_result); });
}

// A zip backup of the controller made by get_backup in `dir`, in this
// process or through the binary; its path.
std::string backup_zip(const controller_sim &sim, const temp_dir &dir, bool binary = false)
{
    if (binary)
        EXPECT_EQ(run_cli({"--ip", sim.address(), "--action", "get_backup", "--backupfileout", dir.path(),
                           "--backupfileouttype", "zip"})
                      .status,
                  0);
    else
        capture_stdout([&] { action_get_backup(sim.address().c_str(), dir.path().c_str(), "zip", nullptr); });
    for (const auto &file : fs::directory_iterator(dir.path()))
        if (file.path().extension() == ".zip")
            return file.path().string();
    ADD_FAILURE() << "no backup in " << dir.path();
    return "";
}

// The configurations the controller stored, in order: name and path.
std::vector<config> stored_configs(const controller_sim &sim)
{
    std::vector<config> stored;
    for (const sim_event &e : sim.events("config_stored"))
        stored.push_back({e.get("config"), e.get("path")});
    return stored;
}

bool operator==(const config &a, const config &b) { return a.name == b.name && a.path == b.path; }
void PrintTo(const config &c, std::ostream *os) { *os << c.name << " " << c.path; }

std::vector<config> configs_named(const std::vector<std::string> &names)
{
    std::vector<config> out;
    for (const std::string &name : names)
        for (const config &c : CONFIGS)
            if (c.name == name)
                out.push_back(c);
    return out;
}

void expect_checksum_valid(const bytes &file)
{
    ASSERT_GE(file.size(), 8u);
    bytes zeroed = file;
    dali_put_u32(zeroed.data(), DALI_CHECKSUM, 0);
    EXPECT_EQ(dali_get_u32(file.data(), DALI_CHECKSUM),
              dali_file_crc(zeroed.data(), static_cast<std::uint32_t>(zeroed.size())) & 0xFFFFu);
}

bool same_bytes(const std::uint8_t *a, const std::uint8_t *b, std::size_t count) { return std::memcmp(a, b, count) == 0; }

// `now` is the layout 1 channel file `old` as a controller expecting layout
// `to` must hold it: every setting of the channel and of each device carried,
// the type data where the new layout has room for the device's type.
void expect_carried_over(const bytes &old, const bytes &now, const dali_layout &to)
{
    const dali_layout &from = DALI_LAYOUT_1;
    ASSERT_EQ(old.size(), from.file_size);
    ASSERT_EQ(now.size(), to.file_size);
    const std::uint8_t *a = old.data();
    const std::uint8_t *b = now.data();
    EXPECT_EQ(dali_get_u32(b, DALI_FILE_SIZE), to.file_size);
    EXPECT_EQ(dali_get_u32(b, DALI_LAYOUT_VERSION), to.version);
    EXPECT_EQ(dali_get_u32(b, DALI_REVISION), dali_get_u32(a, DALI_REVISION) + 1);
    EXPECT_TRUE(same_bytes(a + DALI_SETTINGS, b + DALI_SETTINGS, DALI_RESERVED - DALI_SETTINGS));
    EXPECT_EQ(b[DALI_RESERVED], 0);
    expect_checksum_valid(now);

    struct area {
        std::uint8_t type;
        std::int32_t dali_layout::*offset;
        std::uint32_t size;
    };
    const area areas[] = {{DALI_TYPE_5, &dali_layout::type_5_data, DALI_TYPE_5_DATA_SIZE},
                          {DALI_TYPE_6, &dali_layout::type_6_data, DALI_TYPE_6_DATA_SIZE},
                          {DALI_TYPE_8, &dali_layout::type_8_data, DALI_TYPE_8_DATA_SIZE}};
    int named = 0;
    for (std::uint32_t i = 0; i < DALI_DEVICE_COUNT; ++i) {
        const std::uint8_t *d = a + dali_device_offset(from, i);
        const std::uint8_t *e = b + dali_device_offset(to, i);
        const char *name = reinterpret_cast<const char *>(d + from.name);
        SCOPED_TRACE("device " + std::to_string(i) + " " + std::string(name, strnlen(name, DALI_DEV_NAME_SIZE)));
        named += d[from.name] != 0;
        EXPECT_TRUE(same_bytes(d, e, DALI_DEV_COMMON_SIZE + 1)); // settings, levels, groups, scenes, type
        const std::uint8_t type = d[DALI_DEV_DEVICE_TYPE];
        const bool typed = type == DALI_TYPE_5 || type == DALI_TYPE_6 || type == DALI_TYPE_8;
        EXPECT_EQ(e[to.type_marker], typed ? type : DALI_NO_TYPE_DATA);
        EXPECT_EQ(e[to.type_marker + 1], DALI_NO_TYPE_DATA);
        for (const area &x : areas) {
            if (to.*x.offset == DALI_ABSENT)
                continue;
            const bytes none(x.size, 0);
            const std::uint8_t *expected = type == x.type ? d + from.*x.offset : none.data();
            EXPECT_TRUE(same_bytes(e + to.*x.offset, expected, x.size)) << "type data of type " << int(x.type);
        }
        EXPECT_TRUE(same_bytes(d + from.name, e + to.name, DALI_DEV_NAME_SIZE));
        EXPECT_EQ(d[from.name_tail], e[to.name_tail]);
        EXPECT_TRUE(same_bytes(d + from.word, e + to.word, 4));
        EXPECT_TRUE(same_bytes(d + from.words, e + to.words, DALI_DEV_WORDS_SIZE));
    }
    EXPECT_GT(named, 0); // the source had devices to carry
    EXPECT_TRUE(same_bytes(a + from.channel_table, b + to.channel_table, DALI_CHANNEL_TABLE_SIZE));
    EXPECT_TRUE(same_bytes(a + from.trailer, b + to.trailer, DALI_TRAILER_SIZE));
}

// ---- Tests ----

TEST(PutBackup, SameFirmwareThroughTheBinary)
{
    controller_sim source;
    temp_dir backups;
    const std::string zip = backup_zip(source, backups);
    temp_dir state;
    controller_sim sim(placeholder_controller(state, "1.3.0"));

    const std::time_t before = std::time(nullptr);
    const run_result r = run_cli({"--ip", sim.address(), "--action", "put_backup", "--backupfilein", zip});
    const std::time_t after = std::time(nullptr);
    EXPECT_EQ(r.status, 0);
    std::string expected = "mervo-cli\nIP=" + sim.address() + "\nACTION=put_backup\nBackupFileIn" + zip +
                           "\noptAction=put_backup\noptIP=" + sim.address() +
                           "\noptBackupFileOut=(null)\noptBackupFileOutType=(null)\n" + status_lines(sim);
    for (std::size_t i = 0; i < CONFIGS.size(); ++i)
        expected += upload_lines(sim);
    EXPECT_EQ(r.out, expected);
    EXPECT_EQ(r.err.find("curl_easy_perform() failed"), std::string::npos) << r.err;

    // Every configuration went up on its own, unchanged, as a one-entry
    // archive named after its file, in the order of the zip.
    EXPECT_EQ(stored_configs(sim), CONFIGS);
    EXPECT_TRUE(sim.events("restore_ignored").empty());
    const std::vector<sim_event> restores = sim.events("restore");
    ASSERT_EQ(restores.size(), CONFIGS.size());
    for (const sim_event &e : restores)
        EXPECT_TRUE(e.get("result") == "ok" && e.get("stored") == "1") << e.raw;
    for (const config &c : CONFIGS) {
        EXPECT_TRUE(sim.stored(c.name) == source.stored(c.name)) << c.name;
        EXPECT_NE(sim.stored(c.name), bytes(300, 'p')) << c.name;
    }

    // The last upload, as another tar reader sees it.
    const std::optional<bytes> upload = sim.flashraw();
    ASSERT_TRUE(upload.has_value());
    const bytes rlc = source.stored("rlc").value_or(bytes{});
    EXPECT_EQ(upload->size(), 512 + (rlc.size() + 511) / 512 * 512 + 1024);
    const std::vector<tar_info> members = python_tar_members(*upload);
    ASSERT_EQ(members.size(), 1u);
    EXPECT_EQ(members[0].name, "/etc/config/rlc/rlc.bin");
    EXPECT_EQ(members[0].mode, 0664u);
    EXPECT_EQ(members[0].uid, 0u);
    EXPECT_EQ(members[0].type, "0");
    EXPECT_EQ(members[0].linkname, "");
    EXPECT_GE(members[0].mtime, before);
    EXPECT_LE(members[0].mtime, after);
    EXPECT_TRUE(members[0].data == rlc);
}

TEST(PutBackup, NewerFirmwareGetsNewerChannelLayouts)
{
    controller_sim source;
    temp_dir backups;
    const std::string zip = backup_zip(source, backups);

    const struct {
        const char *firmware;
        const dali_layout &layout;
    } targets[] = {{"1.3.1", DALI_LAYOUT_2}, {"1.5.0", DALI_LAYOUT_3}, {"1.10.0", DALI_LAYOUT_3}};
    for (const auto &target : targets) {
        SCOPED_TRACE(target.firmware);
        temp_dir state;
        controller_sim sim(placeholder_controller(state, target.firmware));
        const std::string printed = put_backup(sim, zip, 0);
        std::string expected = status_lines(sim);
        for (std::size_t i = 0; i < CONFIGS.size(); ++i)
            expected += upload_lines(sim);
        EXPECT_EQ(printed, expected);
        EXPECT_EQ(stored_configs(sim), CONFIGS);

        for (const sim_event &e : sim.events("config_stored")) {
            if (is_channel(e.get("config"))) {
                EXPECT_EQ(e.get("checksum_valid"), "true") << e.raw; // the controller's own check
            }
        }
        for (const config &c : CONFIGS) {
            SCOPED_TRACE(c.name);
            const bytes old = source.stored(c.name).value_or(bytes{});
            const bytes now = sim.stored(c.name).value_or(bytes{});
            if (is_channel(c.name))
                expect_carried_over(old, now, target.layout);
            else
                EXPECT_TRUE(now == old);
        }
    }

    // A controller that does not name its firmware counts as the oldest:
    // the channel files go up as they are.
    temp_dir docs;
    ASSERT_TRUE(write_file(docs.file("status.json"), std::string("{\"model_name\":\"VESTRA-4\"}")));
    temp_dir state;
    controller_sim sim(placeholder_controller(state, "1.5.0").fault("status=body:" + docs.file("status.json")));
    put_backup(sim, zip, 0);
    EXPECT_EQ(stored_configs(sim), CONFIGS);
    for (const config &c : CONFIGS)
        EXPECT_TRUE(sim.stored(c.name) == source.stored(c.name)) << c.name;
}

TEST(PutBackup, OnlyKnownIntactConfigurationsGoUp)
{
    temp_dir state;
    controller_sim sim(placeholder_controller(state, "1.3.0"));
    const bytes rlc = text_bytes("rlc from the backup");
    const bytes system = text_bytes("system configuration from the backup");
    const bytes schedules = bytes(700, 's');
    // Channel files that would go up unchanged to this controller if their
    // archives were restored.
    const bytes layout_1(DALI_LAYOUT_1.file_size, 0);
    bytes layout_2(DALI_LAYOUT_2.file_size, 0);
    dali_put_u32(layout_2.data(), DALI_FILE_SIZE, DALI_LAYOUT_2.file_size);
    dali_put_u32(layout_2.data(), DALI_LAYOUT_VERSION, 2);
    bytes cd_version_3(1536, 0);
    dali_put_u32(cd_version_3.data(), DALI_LAYOUT_VERSION, 3);
    // A channel file whose archive stops in the middle of its data, and a
    // header that claims 4 GiB (nothing may be allocated for that).
    bytes cut = config_archive("/etc/config/dali/dali4.bin", bytes(DALI_LAYOUT_1.file_size, 4));
    cut.resize(1024);

    temp_dir dir;
    const std::string zip = dir.file("backup.zip");
    make_zip(zip, {
                      {"notes.txt", text_bytes("restore after the refit\n")},
                      {"rlc.tar", config_archive("/etc/config/rlc/rlc.bin", rlc)},
                      {"unknown.tar", config_archive("/etc/config/other/unknown.bin", bytes(64, 'u'))},
                      {"DALI1.tar", config_archive("/etc/config/dali/dali1.bin", layout_1)},
                      {"backup/", {}, 0x10},
                      {"backup/dali1.tar", config_archive("/etc/config/dali/dali1.bin", layout_1)},
                      {"dali3.tar", config_archive("/etc/config/dali/dali3.bin", layout_1), 0x10},
                      {"dali2.tar", tar_archive({{"status.txt", text_bytes("{}")}})},
                      {"systemconfig.tar", config_archive("/etc/config/system/systemconfig.bin", system)},
                      {"dali3.tar", config_archive("/etc/config/dali/dali3.bin", {})},
                      {"dali4.tar", cut},
                      {"cd1.tar", {}},
                      {"cd3.tar", tar_archive({{"/etc/config/dali/cd3.bin", bytes(512, 3), 0xFFFFFFFFu}})},
                      {"dali1.tar", config_archive("/etc/config/dali/dali1.bin", layout_2)},
                      {"schedules.tar", config_archive("/etc/config/schedule/schedule.bin", schedules)},
                      {"cd2.tar", config_archive("/etc/config/dali/cd2.bin", cd_version_3)},
                  });

    const std::string printed = put_backup(sim, zip, 2); // the last one was refused
    EXPECT_EQ(printed, status_lines(sim) + upload_lines(sim) +
                           "action_put_backup\terror '/etc/config/dali/dali2.bin' file not found.\r\n" +
                           upload_lines(sim) +
                           "action_put_backup\terror '/etc/config/dali/dali3.bin' file size error\r\n"
                           "action_put_backup\terror reading '/etc/config/dali/dali4.bin'\r\n"
                           "action_put_backup\terror reading '/etc/config/dali/cd3.bin'\r\n"
                           "CONFIGURATION CONVERSION VERSION 2 to 1 IS NOT SUPPORTED!" +
                           upload_lines(sim));
    EXPECT_EQ(stored_configs(sim), configs_named({"rlc", "systemconfig", "schedules"}));
    EXPECT_TRUE(sim.stored("rlc") == rlc);
    EXPECT_TRUE(sim.stored("systemconfig") == system);
    EXPECT_TRUE(sim.stored("schedules") == schedules);
    for (const char *untouched : {"dali1", "dali2", "dali3", "dali4", "cd1", "cd2", "cd3"})
        EXPECT_TRUE(sim.stored(untouched) == bytes(300, 'p')) << untouched;
    EXPECT_EQ(sim.requests("/api/v100/status.ssi", "action=restoreconfig").size(), 3u);

    // The result is that of the last configuration that reached its conversion.
    make_zip(zip, {{"cd2.tar", config_archive("/etc/config/dali/cd2.bin", cd_version_3)},
                   {"rlc.tar", config_archive("/etc/config/rlc/rlc.bin", rlc)},
                   {"dali2.tar", tar_archive({{"status.txt", text_bytes("{}")}})}});
    put_backup(sim, zip, 0);
    // A zip without entries restores nothing.
    make_zip(zip, {});
    const std::string empty = put_backup(sim, zip, 0);
    EXPECT_EQ(empty, status_lines(sim));
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
                   {"rlc.tar", config_archive("/etc/config/rlc/rlc.bin", text_bytes("rlc"))}});
    const run_result r = run_program("prlimit", {"--as=1073741824", MERVO_CLI_PATH, "--ip", sim.address(), "--action",
                                                 "put_backup", "--backupfilein", zip});
    EXPECT_EQ(r.status, 0) << r.err;
    const std::string tail = status_lines(sim) + "action_put_backup\terror reading '/etc/config/dali/cd3.bin'\r\n" +
                             upload_lines(sim);
    EXPECT_EQ(r.out.substr(r.out.size() - std::min(r.out.size(), tail.size())), tail);
    EXPECT_EQ(stored_configs(sim), configs_named({"rlc"}));
}
#endif

TEST(PutBackup, SingleTarFileGoesUpAsStored)
{
    controller_sim source;
    temp_dir loose;
    capture_stdout([&] { action_get_backup(source.address().c_str(), loose.path().c_str(), "directory", nullptr); });
    const std::optional<bytes> dali1 = read_file(loose.file("dali1.tar"));
    ASSERT_TRUE(dali1.has_value());

    // Not converted for a newer controller: the archive is not looked into.
    temp_dir state;
    controller_sim sim(placeholder_controller(state, "1.5.0"));
    const std::string printed = put_backup(sim, loose.file("dali1.tar"), 0);
    EXPECT_EQ(printed, status_lines(sim) + upload_lines(sim));
    EXPECT_TRUE(sim.flashraw() == dali1);
    EXPECT_TRUE(sim.stored("dali1") == source.stored("dali1"));
    EXPECT_EQ(stored_configs(sim), configs_named({"dali1"}));

    // Only the first header counts; whatever follows goes up as it is.
    bytes odd(dali1->begin(), dali1->begin() + 512);
    odd.resize(odd.size() + 5000, 0x5A);
    ASSERT_TRUE(write_file(loose.file("odd.tar"), odd));
    put_backup(sim, loose.file("odd.tar"), 0);
    EXPECT_TRUE(sim.flashraw() == odd);
    EXPECT_EQ(sim.requests("/api/v100/status.ssi", "action=restoreconfig").size(), 2u);
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
    const struct {
        std::string file;
        int code;
    } cases[] = {{"notes.txt", -6}, {"short.tar", -3}, {"zeros.tar", -7}, {"missing.zip", -2}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.file);
        const std::string printed = put_backup(sim, dir.file(c.file), 0);
        EXPECT_EQ(printed, status_lines(sim) + "Error " + std::to_string(c.code) + " opening tar file.");
    }

    // Without an address or a file, nothing is asked of the controller.
    const std::string missing = "Missing arguments for action put_backup.";
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(action_put_backup(nullptr, dir.file("notes.txt").c_str()), 2); }),
              missing);
    EXPECT_EQ(capture_stdout([&] { EXPECT_EQ(action_put_backup(sim.address().c_str(), nullptr), 2); }), missing);

    EXPECT_EQ(sim.requests("/api/v100/status.ssi").size(), std::size(cases));
    EXPECT_TRUE(sim.requests("/api/v100/status.ssi", "action=restoreconfig").empty());
    EXPECT_FALSE(sim.flashraw().has_value());
}

TEST(PutBackup, ControllerFailures)
{
    temp_dir dir;
    const std::string zip = dir.file("backup.zip");
    make_zip(zip, {{"rlc.tar", config_archive("/etc/config/rlc/rlc.bin", text_bytes("rlc"))},
                   {"schedules.tar", config_archive("/etc/config/schedule/schedule.bin", text_bytes("week"))}});

    // Controller down: the status query's lines only, and its result.
    refusing_port down;
    const captured_output out = capture_output([&] { EXPECT_EQ(action_put_backup(down.address().c_str(), zip.c_str()), 1); });
    EXPECT_EQ(out.out, "status\tfetching URL '" + down.address() + "/api/v100/status.ssi'.\n");
    EXPECT_NE(out.err.find("curl_easy_perform() failed"), std::string::npos);

    // Uploads refused: no restore request, every configuration tried, and
    // the run reports that nothing went up.
    controller_sim sim(sim_options().tftp_mode("refuse"));
    const std::string push = "firmware_push_tftp\tpushing URL 'tftp://" + sim.address() + "/flashraw.bin'.\n";
    const std::string printed = put_backup(sim, zip, 1);
    EXPECT_EQ(printed, status_lines(sim) + push + push);
    EXPECT_TRUE(sim.requests("/api/v100/status.ssi", "action=restoreconfig").empty());
}

TEST(PutBackup, BackupRestoredToNewerFirmwareAndTakenAgain)
{
    // get_backup from a 1.3.0 controller, put_backup to a 1.5.0 one, get_backup
    // again: all through the binary.
    controller_sim old_controller;
    temp_dir first;
    const std::string zip = backup_zip(old_controller, first, true);
    ASSERT_FALSE(zip.empty());

    temp_dir state;
    controller_sim new_controller(placeholder_controller(state, "1.5.0"));
    const run_result put = run_cli({"--ip", new_controller.address(), "--action", "put_backup", "--backupfilein", zip});
    EXPECT_EQ(put.status, 0);
    EXPECT_EQ(stored_configs(new_controller), CONFIGS) << put.out;

    temp_dir second;
    const std::vector<zip_listing_entry> entries = python_zip_entries(backup_zip(new_controller, second, true));
    ASSERT_EQ(entries.size(), CONFIGS.size());
    for (std::size_t i = 0; i < CONFIGS.size(); ++i) {
        const config &c = CONFIGS[i];
        SCOPED_TRACE(c.name);
        EXPECT_EQ(entries[i].name, c.name + ".tar");
        const std::vector<tar_info> members = python_tar_members(entries[i].content);
        const auto file = std::find_if(members.begin(), members.end(), [&](const tar_info &m) { return m.name == c.path; });
        ASSERT_NE(file, members.end());
        const bytes old = old_controller.stored(c.name).value_or(bytes{});
        if (is_channel(c.name))
            expect_carried_over(old, file->data, DALI_LAYOUT_3);
        else
            EXPECT_TRUE(file->data == old);
    }
}

} // namespace
