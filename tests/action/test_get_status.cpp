// get_status against the simulated controller: the real binary for the whole
// console output, the action in-process for the controller's odd answers.
#include "action/get_status.h"
#include "controller/status.h"

#include "expect.h"
#include "run.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string front_lines(const std::string &address)
{
    return "mervo-cli\nIP=" + address + "\nACTION=get_status\n" + option_values("get_status", address);
}

std::string fetching(const std::string &address) { return fetching_line("status", address + "/api/v100/status.ssi"); }

TEST(GetStatusEndToEnd, PrintsTheModelName)
{
    controller_sim sim;
    // The document as an independent client gets it.
    const run_result served = run_program("curl", {"-s", "-f", sim.base() + "/api/v100/status.ssi"});
    ASSERT_NE(served.out.find("\"model_name\":\"VESTRA-4\""), std::string::npos) << served.out;
    const run_result run = run_cli({"--ip", sim.address(), "--action", "get_status"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, front_lines(sim.address()) + fetching(sim.address()) + received_line("status", served.out.size()) +
                           "model_name=VESTRA-4\r\n");
    EXPECT_EQ(run.err, "");
}

TEST(GetStatusEndToEnd, ControllerDown)
{
    refusing_port down;
    const run_result run = run_cli({"--ip", down.address(), "--action", "get_status"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, front_lines(down.address()) + fetching(down.address()));
    EXPECT_EQ(run.err, "curl_easy_perform() failed: Couldn't connect to server\n");
}

TEST(GetStatusEndToEnd, OddAnswers)
{
    temp_dir files;
    ASSERT_TRUE(write_file(files.file("status.json"), std::string(R"({"Model_Name":"no","model_name":"X1"})")));
    const struct {
        std::string fault;
        int result;
        std::string model_line; // after the "received" line
    } cases[] = {
        {"body:" + files.file("status.json"), 0, "model_name=X1\r\n"},
        // An error page, nothing, garbage: the byte count and no model.
        {"404", 1, ""},
        {"empty", 1, ""},
        {"garbage", 1, ""},
        // Half a document: model_name comes first and is complete.
        {"truncated", 0, "model_name=VESTRA-4\r\n"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.fault);
        controller_sim sim(sim_options().fault("status=" + c.fault));
        int result = -1;
        const captured_output printed = capture_output([&] { result = action_get_status(sim.address().c_str()); });
        EXPECT_EQ(result, c.result);
        const std::vector<sim_event> asked = sim.requests("/api/v100/status.ssi");
        ASSERT_EQ(asked.size(), 1u);
        EXPECT_EQ(printed.out, fetching(sim.address()) + received_line("status", std::stoul(asked[0].get("bytes"))) + c.model_line);
        EXPECT_EQ(printed.err, "");
    }
    // The connection closed in the middle: the failure line, result 1.
    controller_sim sim(sim_options().fault("status=drop"));
    int result = -1;
    const captured_output printed = capture_output([&] { result = action_get_status(sim.address().c_str()); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(printed.out, fetching(sim.address()));
    EXPECT_EQ(printed.err.find("curl_easy_perform() failed: "), 0u) << printed.err;
}

} // namespace
