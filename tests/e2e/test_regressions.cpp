// Faults found by running every action against a misbehaving controller, each
// test named after what it protects.
#include "action/put_backup.h"
#include "backup/transfer.h"

#include "files.h"
#include "run.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const std::string HTTP_ERROR = "curl_easy_perform() failed: HTTP response code said error\n";

// What standard error holds besides libcurl's progress meter.
std::string failure_text(const std::string &err)
{
    const std::size_t at = err.find("curl_easy_perform()");
    return at == std::string::npos ? "" : err.substr(at);
}

TEST(Regression, RestoreOrUpgradeRefusedByTheControllerIsNoSuccess)
{
    // The controller answers the restore request with 500 and the upgrade
    // request with 404: the tool used to print "OK" after the error page.
    controller_sim sim(sim_options().fault("restore=500").fault("upgrade=404"));
    const std::string address = sim.address();
    int result = -1;
    captured_output got = capture_output([&] { result = backup_put(address.c_str()); });
    EXPECT_EQ(result, 1);
    EXPECT_NE(got.out.find("<title>500 Internal Server Error</title>"), std::string::npos) << got.out;
    EXPECT_EQ(failure_text(got.err), HTTP_ERROR);

    const std::uint8_t digest[32] = {};
    got = capture_output([&] { result = firmware_upgrade(address.c_str(), digest, 1); });
    EXPECT_EQ(result, 1);
    EXPECT_NE(got.out.find("<title>404 Not Found</title>"), std::string::npos) << got.out;
    EXPECT_EQ(failure_text(got.err), HTTP_ERROR);

    // backup_upload stops there: the upload's "OK", none for the restore.
    const std::uint8_t archive[512] = {'x'};
    got = capture_output([&] { result = backup_upload(sim.base().c_str(), address.c_str(), archive, sizeof archive); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(got.out.find("OK\n"), got.out.rfind("OK\n"));
    EXPECT_EQ(failure_text(got.err), HTTP_ERROR);

    // A refusal in the controller's own words (400 with its JSON answer) too.
    controller_sim plain;
    got = capture_output([&] { result = backup_put(plain.address().c_str()); });
    EXPECT_EQ(result, 1);
    EXPECT_NE(got.out.find("\"result\":\"error\""), std::string::npos) << got.out;
    EXPECT_EQ(failure_text(got.err), HTTP_ERROR);
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
