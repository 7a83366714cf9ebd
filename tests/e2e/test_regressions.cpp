// Faults found by running every action against a misbehaving controller, each
// test named after what it protects.
#include "backup/transfer.h"

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

} // namespace
