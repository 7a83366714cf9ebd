// Faults found by running every action against a misbehaving controller, each
// test named after what it protects.
#include "action/put_backup.h"
#include "controller/transfer.h"

#include "files.h"
#include "run.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(Regression, RestoreOrUpgradeRefusedByTheControllerIsNoSuccess)
{
    // The controller answers the restore request with 500 and the upgrade
    // request with 404: the tool used to print "OK" after the error page.
    controller_sim sim(sim_options().fault("restore=500").fault("upgrade=404"));
    const std::string address = sim.address();
    const std::uint8_t archive[512] = {'x'};
    const std::uint8_t digest[32] = {};
    int upload = -1, upgrade = -1;
    const captured_output got = capture_output([&] {
        upload = backup_upload(sim.base().c_str(), address.c_str(), archive, sizeof archive);
        upgrade = firmware_upgrade(address.c_str(), digest, 1);
    });
    EXPECT_EQ(upload, 1);
    EXPECT_EQ(upgrade, 1);
    // The upload's "OK" alone; both pages shown, both refusals named.
    EXPECT_EQ(got.out.find("OK\n"), got.out.rfind("OK\n"));
    EXPECT_NE(got.out.find("500 Internal Server Error"), std::string::npos) << got.out;
    EXPECT_NE(got.out.find("404 Not Found"), std::string::npos) << got.out;
    const std::string refused = "curl_easy_perform() failed: HTTP response code said error\n";
    const std::size_t first = got.err.find(refused);
    ASSERT_NE(first, std::string::npos) << got.err;
    EXPECT_NE(got.err.find(refused, first + 1), std::string::npos) << got.err;
}

TEST(Regression, BackupEntryExpandingToGigabytesIsNotRead)
{
    // A 100 KiB backup whose dali1.tar inflates to 80 MiB of zeros used to be
    // read whole into memory (2 GiB for a larger one); the entry is now
    // refused past the size of any configuration and the next one goes up.
    controller_sim sim;
    temp_dir dir;
    ASSERT_TRUE(write_file(dir.file("rlc.tar"), *sim.stored_archive("rlc")));
    const std::string zip = dir.file("bomb.zip");
    const run_result made = run_program(
        "python3", {"-c",
                    "import sys, zipfile\n"
                    "with zipfile.ZipFile(sys.argv[1], 'w', zipfile.ZIP_DEFLATED) as z:\n"
                    "    z.writestr('dali1.tar', bytes(80 << 20))\n"
                    "    z.write(sys.argv[2], 'rlc.tar')\n",
                    zip, dir.file("rlc.tar")});
    ASSERT_EQ(made.status, 0) << made.err;

    int result = -1;
    const captured_output got =
        capture_output([&] { result = action_put_backup(sim.address().c_str(), zip.c_str()); });
    EXPECT_EQ(result, 0);
    EXPECT_NE(got.out.find("action_put_backup\terror reading '/etc/config/dali/dali1.bin'\r\n"), std::string::npos)
        << got.out;
    const std::vector<sim_event> stored = sim.events("config_stored");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].get("config"), "rlc");
}

} // namespace
