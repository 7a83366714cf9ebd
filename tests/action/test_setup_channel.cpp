// setup_channel against the simulated controller, through the binary and in
// this process: download, CSV import, rebuilt archive, upload and restore
// request, pair by pair.
#include "action/setup_channel.h"

#include "../tar/tar_build.h"
#include "channel_files.h"
#include "run.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace channel_test;

namespace {

std::string setup(const controller_sim &sim, std::uint32_t channel, const std::string &csv)
{
    return capture_stdout([&] { channel_setup(sim.address().c_str(), channel, csv.c_str()); });
}

bool ends_with(const std::string &text, const std::string &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

bytes stored(const controller_sim &sim, const std::string &name) { return sim.stored(name).value_or(bytes{}); }

} // namespace

TEST(ChannelSetupBinary, ThreeChannelsWithTwoFilesChangeExactlyTheNamedDevices)
{
    controller_sim sim;
    temp_dir dir;
    const bytes dali1 = stored(sim, "dali1"), dali2 = stored(sim, "dali2"), dali3 = stored(sim, "dali3");
    const std::string csv1 = dir.file("a.csv"), csv2 = dir.file("b.csv");
    ASSERT_TRUE(write_file(csv1, VERSION_1 + HALL_ROW));
    ASSERT_TRUE(write_file(csv2, VERSION_1 + DOOR_ROW + "2,63,12,Hall,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\"\n"));

    // The third channel has no file: it is not even fetched.
    const run_result run = run_cli({"--action", "setup_channel", "--ip", sim.address(), "--channel", "[1,2,3]",
                                    "--channelcsvfile", "[\"" + csv1 + "\",\"" + csv2 + "\"]"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("CH=1\nFILE=" + csv1 + "\n0 fields, 2 rows\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("CH=2\nFILE=" + csv2 + "\n0 fields, 3 rows\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("CH=3"), std::string::npos) << run.out;
    EXPECT_TRUE(sim.requests("/api/v100/backup.ssi", "config=dali3").empty());
    EXPECT_EQ(restores(sim), 2u);

    // The controller holds exactly the named devices changed, with valid
    // checksums by its own check.
    const bytes want1 = expected_upload(dali1, {{5, HALL}});
    bytes want2 = dali2;
    std::memset(want2.data() + DALI_LAYOUT_1.device_blocks, 0, DALI_DEVICE_BLOCK_SIZE); // device 0 lost its address
    want2 = expected_upload(want2, {{0, DOOR}, {63, HALL}});
    EXPECT_EQ(stored(sim, "dali1"), want1) << where_different(stored(sim, "dali1"), want1);
    EXPECT_EQ(stored(sim, "dali2"), want2) << where_different(stored(sim, "dali2"), want2);
    EXPECT_EQ(stored(sim, "dali3"), dali3);
    const std::vector<sim_event> restored = sim.events("config_stored");
    ASSERT_EQ(restored.size(), 2u);
    EXPECT_EQ(restored[0].get("config"), "dali1");
    EXPECT_EQ(restored[1].get("config"), "dali2");
    for (const sim_event &event : restored)
        EXPECT_EQ(event.get("checksum_valid"), "true") << event.raw;

    // A backup taken afterwards returns the new files.
    EXPECT_EQ(fetch_channel_file(sim, 1), want1);
    EXPECT_EQ(fetch_channel_file(sim, 2), want2);
}

TEST(ChannelSetup, WholeOutputOfOnePair)
{
    const controller_identity id{"VESTRA-4", "1.3.0", "SN-0042", "00:11:22:33:44:55"};
    controller_sim sim(id.options());
    temp_dir dir;
    const std::string csv = dir.file("hall.csv");
    ASSERT_TRUE(write_file(csv, VERSION_1 + HALL_ROW));
    EXPECT_EQ(setup(sim, 3, csv), config_listing(sim, "dali3", id) + "OK\nCH=3\nFILE=" + csv + "\n0 fields, 2 rows\n" +
                                      LIST_HEAD + "\t/etc/config/dali/dali3.bin (11168 bytes)\r\n" +
                                      upload_lines(sim.address()) + "OK\n");
    // The upload was the 12800-byte archive of the one channel file.
    const std::optional<bytes> upload = sim.flashraw();
    ASSERT_TRUE(upload.has_value());
    EXPECT_EQ(upload->size(), 12800u);
    const std::vector<tar_member> members = tar_members(*upload);
    ASSERT_EQ(members.size(), 1u);
    EXPECT_EQ(members[0].name, "/etc/config/dali/dali3.bin");
    EXPECT_EQ(members[0].data, stored(sim, "dali3"));
}

TEST(ChannelSetup, FailingPairsLeaveTheNextOneWorking)
{
    controller_sim sim;
    temp_dir dir;
    const bytes dali4 = stored(sim, "dali4");
    const std::string csv = dir.file("hall.csv");
    ASSERT_TRUE(write_file(csv, VERSION_1 + "0,5,12,Hall,\"[0,3]\",254,null,1,254,7,4,[]\n"));

    // Channel 7 does not exist: the pair ends after the download's messages.
    const std::string out7 = setup(sim, 7, csv);
    EXPECT_EQ(out7.rfind(fetching_line("backup", sim.base() + "/api/v100/backup.ssi?config=dali7"), 0), 0u) << out7;
    EXPECT_EQ(out7.find("OK"), std::string::npos) << out7;
    EXPECT_EQ(out7.find("CH="), std::string::npos) << out7;
    EXPECT_FALSE(sim.flashraw().has_value());

    // The next pair goes through.
    EXPECT_TRUE(ends_with(setup(sim, 4, csv), "OK\n"));
    EXPECT_EQ(restores(sim), 1u);
    device_values hall = HALL;
    hall.scenes = {};
    EXPECT_EQ(stored(sim, "dali4"), expected_upload(dali4, {{5, hall}}));
}

TEST(ChannelSetup, NewerFirmwareOrNoChannelFileUploadsNothing)
{
    temp_dir dir;
    const std::string csv = dir.file("hall.csv");
    ASSERT_TRUE(write_file(csv, VERSION_1 + HALL_ROW));

    controller_sim newer(sim_options().firmware("1.5.0"));
    const bytes dali1 = stored(newer, "dali1");
    for (std::uint32_t channel : {1u, 2u})
        EXPECT_TRUE(ends_with(setup(newer, channel, csv), "OK\nCH=" + std::to_string(channel) + "\nFILE=" + csv +
                                                              "\n0 fields, 2 rows\nbackup\terror version 1.5.0 not supported.\r\n"));
    EXPECT_EQ(stored(newer, "dali1"), dali1);

    // The controller answers the dali2 backup with an archive holding only
    // its status document.
    ASSERT_TRUE(write_file(dir.file("no-channel.tar"), tar_build({{"status.txt", text_bytes("{\"firmware_version\":\"1.3.0\"}")}})));
    controller_sim lacking(sim_options().fault("backup:dali2=body:" + dir.file("no-channel.tar")));
    EXPECT_TRUE(ends_with(setup(lacking, 2, csv),
                          "OK\nCH=2\nFILE=" + csv + "\nbackup\terror '/etc/config/dali/dali2.bin' file not found.\r\n"));

    for (const controller_sim *sim : {&newer, &lacking}) {
        EXPECT_FALSE(sim->flashraw().has_value());
        EXPECT_EQ(restores(*sim), 0u);
    }
}

TEST(ChannelSetup, MissingCsvFileUploadsTheControllersFileRestamped)
{
    // A channel file of layout 0 with a stale checksum, held by the controller.
    temp_dir state;
    bytes file = patterned_file(CHANNEL_CONFIG_SIZE, 0, 5);
    dali_put_u32(file.data(), DALI_CHECKSUM, 0x12345678);
    ASSERT_TRUE(write_file(state.file("dali1.bin"), file));
    controller_sim sim(sim_options().state(state.path()));
    const std::string missing = state.file("missing.csv");
    const std::string out = setup(sim, 1, missing);
    EXPECT_NE(out.find("CH=1\nFILE=" + missing + "\n" + LIST_HEAD), std::string::npos) << out;
    EXPECT_EQ(out.find("fields"), std::string::npos);
    EXPECT_TRUE(ends_with(out, "OK\n"));

    const bytes now = stored(sim, "dali1");
    ASSERT_EQ(now.size(), CHANNEL_CONFIG_SIZE);
    for (std::uint32_t offset : differing_offsets(now.data(), file.data(), CHANNEL_CONFIG_SIZE))
        EXPECT_TRUE(offset >= DALI_CHECKSUM && offset < DALI_REVISION) << offset;
    EXPECT_EQ(dali_get_u32(now.data(), DALI_LAYOUT_VERSION), 1u);
    EXPECT_TRUE(channel_checksum_valid(now));
}

#if !defined(__SANITIZE_ADDRESS__)
// (A sanitized binary cannot run under a limit of its address space.)
TEST(ChannelSetupBinary, RejectedCsvEndsTheRunWithStatusOne)
{
    // libcsv gives up on a field it cannot hold; a binary under a memory limit
    // meets that with a 64 MB field.
    controller_sim sim;
    temp_dir dir;
    const std::string huge = huge_field_csv(dir);
    const run_result run = run_program("sh", {"-c", "ulimit -v 60000 && exec \"$0\" \"$@\"", MERVO_CLI_PATH, "--action",
                                              "setup_channel", "--ip", sim.address(), "--channel", "1",
                                              "--channelcsvfile", "\"" + huge + "\""});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.err.find("Error while parsing file: "), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("CH=1\n"), std::string::npos) << run.out;
    EXPECT_EQ(restores(sim), 0u);
    EXPECT_FALSE(sim.flashraw().has_value());
}
#endif
