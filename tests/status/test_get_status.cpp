// get_status against the simulated controller: the real binary for the whole
// console output, the action in-process for the controller's odd answers.
#include "status/status.h"

#include "run.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string header(const std::string &address)
{
    return "mervo-cli\nIP=" + address + "\nACTION=get_status\noptAction=get_status\noptIP=" + address +
           "\noptBackupFileOut=(null)\noptBackupFileOutType=(null)\n";
}

std::string fetched(const std::string &address, std::size_t bytes)
{
    return "status\tfetching URL '" + address + "/api/v100/status.ssi'.\nstatus\treceived " + std::to_string(bytes) +
           " bytes.\n";
}

// The status document as the simulator serves it, fetched by an independent client.
std::string served_document(const controller_sim &sim)
{
    run_result got = run_program("curl", {"-s", "-f", sim.base() + "/api/v100/status.ssi"});
    EXPECT_EQ(got.status, 0) << got.err;
    return got.out;
}

TEST(GetStatusEndToEnd, PrintsTheModelName)
{
    controller_sim sim;
    const std::string document = served_document(sim);
    ASSERT_NE(document.find("\"model_name\":\"VESTRA-4\""), std::string::npos) << document;

    run_result run = run_cli({"--ip", sim.address(), "--action", "get_status"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, header(sim.address()) + fetched(sim.address(), document.size()) + "model_name=VESTRA-4\r\n");
    EXPECT_EQ(run.err, "");
    EXPECT_EQ(sim.requests("/api/v100/status.ssi").size(), 2u);
}

TEST(GetStatusEndToEnd, ControllerDown)
{
    refusing_port down;
    run_result run = run_cli({"--ip", down.address(), "--action", "get_status"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, header(down.address()) + "status\tfetching URL '" + down.address() +
                           "/api/v100/status.ssi'.\n");
    EXPECT_EQ(run.err, "curl_easy_perform() failed: Couldn't connect to server\n");
}

// One in-process get_status against a simulator with `fault` on its status endpoint.
struct faulty_answer {
    int result;
    captured_output printed;
    controller_status status;
    std::string address;
};

faulty_answer get_status_with(const std::string &fault)
{
    sim_options options;
    if (!fault.empty())
        options.faults.push_back("status=" + fault);
    controller_sim sim(options);
    faulty_answer answer;
    answer.address = sim.address();
    answer.printed = capture_output([&] {
        answer.result = action_get_status(sim.address().c_str());
        status_get(sim.address().c_str(), &answer.status);
    });
    return answer;
}

TEST(GetStatusEndToEnd, OddAnswers)
{
    temp_dir files;
    const std::string document = R"({"model_name":"X1","firmware_version":"1.5.0","Model_Name":"no"})";
    ASSERT_TRUE(write_file(files.file("status.json"), document));
    {
        faulty_answer a = get_status_with("body:" + files.file("status.json"));
        EXPECT_EQ(a.result, 0);
        const std::string once = fetched(a.address, document.size());
        EXPECT_EQ(a.printed.out, once + "model_name=X1\r\n" + once);
        EXPECT_EQ(a.status.firmware_version, "1.5.0");
    }
    {
        faulty_answer a = get_status_with("404");
        EXPECT_EQ(a.result, 1);
        EXPECT_NE(a.printed.out.find("status\treceived "), std::string::npos);
        EXPECT_EQ(a.printed.out.find("model_name"), std::string::npos);
        EXPECT_EQ(a.printed.err, "");
        EXPECT_FALSE(a.status.model_name);
    }
    {
        faulty_answer a = get_status_with("empty");
        EXPECT_EQ(a.result, 1);
        EXPECT_EQ(a.printed.out, fetched(a.address, 0) + fetched(a.address, 0));
    }
    {
        faulty_answer a = get_status_with("garbage");
        EXPECT_EQ(a.result, 1);
        EXPECT_EQ(a.printed.out, fetched(a.address, 4096) + fetched(a.address, 4096));
    }
    {
        // Half a document: model_name comes first and is complete.
        faulty_answer a = get_status_with("truncated");
        EXPECT_EQ(a.result, 0);
        EXPECT_NE(a.printed.out.find("model_name=VESTRA-4\r\n"), std::string::npos);
        EXPECT_EQ(a.status.model_name, "VESTRA-4");
        EXPECT_FALSE(a.status.username);
    }
    {
        faulty_answer a = get_status_with("drop");
        EXPECT_EQ(a.result, 1);
        EXPECT_EQ(a.printed.out, "status\tfetching URL '" + a.address + "/api/v100/status.ssi'.\nstatus\tfetching URL '" +
                                     a.address + "/api/v100/status.ssi'.\n");
        EXPECT_EQ(a.printed.err.find("curl_easy_perform() failed: "), 0u) << a.printed.err;
    }
}

} // namespace
