// setup_channel against the simulated controller: download, CSV import,
// rebuilt archive, upload and restore request, pair by pair.
#include "backup/channel_config.h"
#include "backup/download.h"
#include "channel/setup.h"
#include "setup_checks.h"
#include "run.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

using namespace channel_test;

namespace {

const std::string RESTORED = "{\"action\":\"restoreconfig\",\"result\":\"ok\"}\n";

std::string setup(const controller_sim &sim, std::uint32_t channel, const std::string &csv)
{
    return capture_stdout([&] { channel_setup(sim.address().c_str(), channel, csv.c_str()); });
}

}  // namespace

TEST(ChannelSetup, TwoChannelsChangeExactlyTheNamedDevices)
{
    controller_sim sim;
    const std::vector<std::uint8_t> dali1 = stored(sim, "dali1");
    const std::vector<std::uint8_t> dali2 = stored(sim, "dali2");
    const std::vector<std::uint8_t> dali3 = stored(sim, "dali3");
    const std::string csv1 =
        scratch_file("one.csv", VERSION_1 + "0,5,12,Hall,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\"\n");
    const std::string csv2 =
        scratch_file("two.csv", VERSION_1 + "1,0,null,Door,[15],false,10,2,200,99,0,\"[1,2,3,4]\"\n" +
                                     "2,63,12,Hall,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\"\n");

    const std::string out1 = setup(sim, 1, csv1);
    const std::string out2 = setup(sim, 2, csv2);
    EXPECT_NE(out1.find("CH=1\nFILE=" + csv1 + "\n0 fields, 2 rows\n"), std::string::npos) << out1;
    EXPECT_NE(out2.find("CH=2\nFILE=" + csv2 + "\n0 fields, 3 rows\n"), std::string::npos) << out2;
    EXPECT_EQ(out1.substr(out1.size() - 3), "OK\n");
    EXPECT_EQ(sim.requests("/api/v100/backup.ssi", "config=dali1").size(), 1u);
    EXPECT_EQ(sim.requests("/api/v100/backup.ssi", "config=dali2").size(), 1u);
    EXPECT_EQ(restores(sim), 2u);

    // The controller now holds exactly the named devices changed.
    const std::vector<std::uint8_t> new1 = stored(sim, "dali1");
    const std::vector<std::uint8_t> new2 = stored(sim, "dali2");
    const std::vector<std::uint8_t> want1 = expected_upload(dali1, {{5, HALL}});
    std::vector<std::uint8_t> want2 = dali2;
    std::memset(want2.data() + DALI_LAYOUT_1.device_blocks, 0, DALI_DEVICE_BLOCK_SIZE);  // device 0 lost its address
    want2 = expected_upload(want2, {{0, DOOR}, {63, HALL}});
    EXPECT_EQ(new1, want1) << where_different(new1, want1);
    EXPECT_EQ(new2, want2) << where_different(new2, want2);
    EXPECT_EQ(stored(sim, "dali3"), dali3);
    const std::vector<sim_event> restored = sim.events("config_stored");
    ASSERT_EQ(restored.size(), 2u);
    EXPECT_EQ(restored[0].get("config"), "dali1");
    EXPECT_EQ(restored[1].get("config"), "dali2");
    for (const sim_event &event : restored)
        EXPECT_EQ(event.get("checksum_valid"), "true") << event.raw;

    // A backup taken afterwards returns the new files with valid checksums.
    const std::vector<std::uint8_t> fetched1 = fetch_channel_file(sim, 1);
    const std::vector<std::uint8_t> fetched2 = fetch_channel_file(sim, 2);
    EXPECT_EQ(fetched1, want1);
    EXPECT_EQ(fetched2, want2);
    EXPECT_EQ(dali_get_u32(fetched1.data(), DALI_CHECKSUM), expected_checksum(fetched1));
    EXPECT_EQ(dali_get_u32(fetched2.data(), DALI_CHECKSUM), expected_checksum(fetched2));
}

TEST(ChannelSetup, WholeOutputOfOnePair)
{
    sim_options options;
    options.extra_args = {"--serial", "SN-0042", "--mac", "00:11:22:33:44:55"};
    controller_sim sim(options);
    const auto archive = sim.stored_archive("dali3");
    ASSERT_TRUE(archive.has_value());
    const std::string csv = scratch_file("hall.csv", VERSION_1 + "0,5,12,Hall,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\"\n");

    // What the download lists: each entry, then the status document.
    std::string listing;
    std::string status_txt;
    {
        tar_t tar;
        tar_header_t header;
        tar_mem_open_read(&tar, archive->data(), static_cast<std::uint32_t>(archive->size()));
        while (tar_read_header(&tar, &header) == TAR_OK) {
            listing += "\t" + std::string(header.name) + " (" + std::to_string(header.size) + " bytes)\r\n";
            ASSERT_EQ(tar_next(&tar), TAR_OK);
        }
        ASSERT_EQ(tar_find(&tar, "status.txt", &header), TAR_OK);
        status_txt.resize(header.size);
        ASSERT_EQ(tar_read_data(&tar, status_txt.data(), header.size), TAR_OK);
    }
    const std::string a = sim.address();
    const std::string expected =
        "backup\tfetching URL 'http://" + a + "/api/v100/backup.ssi?config=dali3'.\n"
        "backup\treceived " + std::to_string(archive->size()) + " bytes.\n"
        "backup\tbackup file contains: \r\n" + listing + status_txt +
        "backup\tmodel name: VESTRA-4\r\n"
        "backup\tfirmware version: 1.3.0\r\n"
        "backup\tserial number: SN-0042\r\n"
        "backup\tmac: 00:11:22:33:44:55\r\n"
        "OK\n"
        "CH=3\n"
        "FILE=" + csv + "\n"
        "0 fields, 2 rows\n"
        "backup\tbackup file contains: \r\n"
        "\t/etc/config/dali/dali3.bin (11168 bytes)\r\n"
        "firmware_push_tftp\tpushing URL 'tftp://" + a + "/flashraw.bin'.\n"
        "OK\n"
        "backup_put\tpushing URL '" + a + "/api/v100/status.ssi?action=restoreconfig'.\n" +
        RESTORED +
        "OK\n"
        "OK\n";
    EXPECT_EQ(setup(sim, 3, csv), expected);

    // The upload was the 12800-byte archive of the one channel file.
    const auto upload = sim.flashraw();
    ASSERT_TRUE(upload.has_value());
    EXPECT_EQ(upload->size(), 12800u);
    EXPECT_EQ(gnu_tar_extract(*upload, "/etc/config/dali/dali3.bin"), stored(sim, "dali3"));
}

TEST(ChannelSetup, FailingPairsLeaveTheNextOneWorking)
{
    controller_sim sim;
    const std::vector<std::uint8_t> dali4 = stored(sim, "dali4");
    const std::string csv = scratch_file("hall.csv", VERSION_1 + "0,5,12,Hall,\"[0,3]\",254,null,1,254,7,4,[]\n");

    // Channel 7 does not exist: the pair ends after the download's messages.
    const std::string out7 = setup(sim, 7, csv);
    EXPECT_NE(out7.find("backup\tfetching URL 'http://" + sim.address() + "/api/v100/backup.ssi?config=dali7'.\n"),
              std::string::npos);
    EXPECT_EQ(out7.find("OK"), std::string::npos) << out7;
    EXPECT_EQ(out7.find("CH="), std::string::npos) << out7;
    EXPECT_FALSE(sim.flashraw().has_value());

    // The next pair goes through.
    const std::string out4 = setup(sim, 4, csv);
    EXPECT_EQ(out4.substr(out4.size() - 3), "OK\n");
    EXPECT_EQ(restores(sim), 1u);
    device_values hall = HALL;
    hall.scenes = {};
    EXPECT_EQ(stored(sim, "dali4"), expected_upload(dali4, {{5, hall}}));
}

TEST(ChannelSetup, NewerFirmwareIsRefused)
{
    sim_options options;
    options.firmware_version = "1.5.0";
    controller_sim sim(options);
    const std::vector<std::uint8_t> dali1 = stored(sim, "dali1");
    const std::string csv = scratch_file("hall.csv", VERSION_1 + "0,5,12,Hall,[],254,null,1,254,7,4,[]\n");
    for (std::uint32_t channel : {1u, 2u}) {
        const std::string out = setup(sim, channel, csv);
        EXPECT_NE(out.find("OK\nCH=" + std::to_string(channel) + "\nFILE=" + csv +
                           "\n0 fields, 2 rows\nbackup\terror version 1.5.0 not supported.\r\n"),
                  std::string::npos)
            << out;
        const std::string tail = "0 fields, 2 rows\nbackup\terror version 1.5.0 not supported.\r\n";
        ASSERT_GE(out.size(), tail.size());
        EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    }
    EXPECT_FALSE(sim.flashraw().has_value());
    EXPECT_EQ(restores(sim), 0u);
    EXPECT_EQ(stored(sim, "dali1"), dali1);
}

TEST(ChannelSetup, ArchiveWithoutTheChannelFile)
{
    // The controller answers the dali2 backup with an archive holding only
    // its status document.
    const std::string body = scratch_dir() + "/no-channel.tar";
    write_bytes(body, make_archive({{"status.txt", {'{', '"', 'f', 'i', 'r', 'm', 'w', 'a', 'r', 'e', '_',
                                                            'v', 'e', 'r', 's', 'i', 'o', 'n', '"', ':', '"', '1',
                                                            '.', '3', '.', '0', '"', '}'}}}));
    sim_options options;
    options.faults = {"backup:dali2=body:" + body};
    controller_sim sim(options);
    const std::string csv = scratch_file("hall.csv", VERSION_1 + "0,5,12,Hall,[],254,null,1,254,7,4,[]\n");
    const std::string out = setup(sim, 2, csv);
    const std::string tail = "OK\nCH=2\nFILE=" + csv + "\nbackup\terror '/etc/config/dali/dali2.bin' file not found.\r\n";
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail) << out;
    EXPECT_FALSE(sim.flashraw().has_value());
    EXPECT_EQ(restores(sim), 0u);
}

TEST(ChannelSetup, MissingCsvFileUploadsTheControllersFileRestamped)
{
    // A channel file of layout 0 with a stale checksum, held by the controller.
    std::vector<std::uint8_t> file = patterned_file(CHANNEL_CONFIG_SIZE, 0, 5);
    dali_put_u32(file.data(), DALI_CHECKSUM, 0x12345678);
    sim_options options;
    options.state_dir = scratch_dir() + "/state";
    std::filesystem::create_directories(options.state_dir);
    write_bytes(options.state_dir + "/dali1.bin", file);
    controller_sim sim(options);
    ASSERT_EQ(stored(sim, "dali1"), file);

    const std::string missing = scratch_dir() + "/missing.csv";
    const std::string out = setup(sim, 1, missing);
    EXPECT_NE(out.find("CH=1\nFILE=" + missing + "\nbackup\tbackup file contains: \r\n"), std::string::npos) << out;
    EXPECT_EQ(out.find("fields"), std::string::npos);
    EXPECT_EQ(out.substr(out.size() - 3), "OK\n");

    const std::vector<std::uint8_t> now = stored(sim, "dali1");
    ASSERT_EQ(now.size(), CHANNEL_CONFIG_SIZE);
    for (std::uint32_t offset : differing_offsets(now.data(), file.data(), CHANNEL_CONFIG_SIZE))
        EXPECT_TRUE(offset >= DALI_CHECKSUM && offset < DALI_REVISION) << offset;
    EXPECT_EQ(dali_get_u32(now.data(), DALI_LAYOUT_VERSION), 1u);
    EXPECT_EQ(dali_get_u32(now.data(), DALI_CHECKSUM), expected_checksum(now));
}
