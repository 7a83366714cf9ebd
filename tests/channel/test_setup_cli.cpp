// setup_channel through the mervo-cli binary against the simulated controller.
#include "run.h"
#include "setup_checks.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>

using namespace channel_test;

TEST(ChannelSetupBinary, ThreeChannelsWithTwoFiles)
{
    controller_sim sim;
    const std::vector<std::uint8_t> dali1 = stored(sim, "dali1");
    const std::vector<std::uint8_t> dali2 = stored(sim, "dali2");
    const std::vector<std::uint8_t> dali3 = stored(sim, "dali3");
    const std::string csv1 = scratch_file("a.csv", VERSION_1 + "0,5,12,Hall,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\"\n");
    const std::string csv2 = scratch_file("b.csv", VERSION_1 + "1,0,null,Door,[15],false,10,2,200,99,0,\"[1,2,3,4]\"\n");

    const run_result run = run_cli({"--action", "setup_channel", "--ip", sim.address(), "--channel", "[1,2,3]",
                                    "--channelcsvfile", "[\"" + csv1 + "\",\"" + csv2 + "\"]"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find("CH=1\nFILE=" + csv1 + "\n"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("CH=2\nFILE=" + csv2 + "\n"), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("CH=3"), std::string::npos) << run.out;
    EXPECT_EQ(sim.requests("/api/v100/backup.ssi", "config=dali3").size(), 0u);
    EXPECT_EQ(restores(sim), 2u);

    std::vector<std::uint8_t> want2 = dali2;
    std::memset(want2.data() + DALI_LAYOUT_1.device_blocks, 0, DALI_DEVICE_BLOCK_SIZE);
    EXPECT_EQ(stored(sim, "dali1"), expected_upload(dali1, {{5, HALL}}));
    EXPECT_EQ(stored(sim, "dali2"), expected_upload(want2, {{0, DOOR}}));
    EXPECT_EQ(stored(sim, "dali3"), dali3);

    // get_backup afterwards stores the new files; a fresh download agrees.
    const std::vector<std::uint8_t> fetched = fetch_channel_file(sim, 2);
    EXPECT_EQ(fetched, expected_upload(want2, {{0, DOOR}}));
    EXPECT_EQ(dali_get_u32(fetched.data(), DALI_CHECKSUM), expected_checksum(fetched));
}

#if !defined(__SANITIZE_ADDRESS__)
// (A sanitized binary cannot run under a limit of its address space.)
TEST(ChannelSetupBinary, RejectedCsvEndsTheRunWithStatusOne)
{
    // libcsv gives up on a field it cannot hold; a binary under a memory limit
    // meets that with a 64 MB field. Run through the shell's ulimit.
    controller_sim sim;
    const std::string huge = huge_field_csv();
    const run_result run = run_program("sh", {"-c", "ulimit -v 60000 && exec \"$0\" \"$@\"", MERVO_CLI_PATH,
                                              "--action", "setup_channel", "--ip", sim.address(), "--channel", "1",
                                              "--channelcsvfile", "\"" + huge + "\""});
    EXPECT_EQ(run.status, 1) << run.out << run.err;
    EXPECT_NE(run.err.find("Error while parsing file: "), std::string::npos) << run.err;
    EXPECT_NE(run.out.find("CH=1\n"), std::string::npos) << run.out;
    EXPECT_EQ(restores(sim), 0u);
    EXPECT_FALSE(sim.flashraw().has_value());
}
#endif
