// Faults found by running every action against a misbehaving controller, each
// test named after what it protects. (A refused restore or upgrade request
// used to be followed by "OK": the fault matrix's restore=404/500 and
// upgrade=404/500 rows guard that.)
#include "action/put_backup.h"

#include "files.h"
#include "run.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <string>

namespace {

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
