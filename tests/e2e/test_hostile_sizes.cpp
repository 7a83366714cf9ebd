// Hostile sizes through the real binary, each run in a process that may not
// grow past 256 MiB of address space: a tar header claiming 4 GiB, a status
// document of 100 MiB, JSON nested 10,000 deep, a firmware image of
// 16 MiB + 1, a channel CSV file of a million rows. Each ends with a clear
// outcome and exit status 0, and nothing goes up that should not.
// (Time and peak memory of the same cases: bench/hostile/measure.)
#include "../firmware/firmware_files.h"
#include "../tar/tar_build.h"
#include "e2e_checks.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

using namespace e2e;

namespace {

const std::string STATUS_PATH = "/api/v100/status.ssi";
const std::string CSV_VERSION = "#dali-channel-csv-version: 1\n";

// Address space a run may use. A sanitized binary reserves far more than that
// for its shadow memory, so it runs without the limit.
std::vector<std::string> limited()
{
#if defined(__SANITIZE_ADDRESS__)
    return {};
#else
    return {"prlimit", "--as=" + std::to_string(256u << 20)};
#endif
}

planned_run limited_run(const std::string &label, sim_options options, argument_maker arguments)
{
    planned_run run;
    run.label = label;
    run.options = std::move(options);
    run.wrapper = limited();
    run.arguments = std::move(arguments);
    return run;
}

void expect_finished(const finished_run &r)
{
    EXPECT_EQ(r.run.status, 0) << r.run.err;
}

std::string status_document()
{
    return "{\n  \"model_name\": \"" + ID.model + "\",\n  \"firmware_version\": \"" + ID.firmware +
           "\",\n  \"serial_number\": \"" + ID.serial + "\",\n  \"mac\": \"" + ID.mac + "\"\n}\n";
}

// Sets the size field of the header record at `at` to `octal` (11 digits).
void claim_size(bytes &archive, std::size_t at, const char *octal)
{
    std::snprintf(reinterpret_cast<char *>(archive.data() + at + 124), 12, "%s", octal);
    tar_reseal(archive.data() + at);
}

std::string write_bytes(const temp_dir &dir, const std::string &name, const bytes &data)
{
    EXPECT_TRUE(write_file(dir.file(name), data));
    return dir.file(name);
}

std::string csv_argument(const std::string &path) { return "\"" + path + "\""; }

TEST(HostileSizes, TarHeadersClaiming4GiB)
{
    temp_dir files;
    const bytes channel_file(11168, 0);
    const std::string status = status_document();
    // dali1's file claims 4 GiB, which no 32-bit size holds: nothing lists.
    bytes claims_4g = tar_build({{"/etc/config/dali/dali1.bin", channel_file}, {"status.txt", text_bytes(status)}});
    claim_size(claims_4g, 0, "40000000000");
    // The status document first, then the channel file claiming 4 GiB - 1:
    // the listing finds the document, the channel file is not read.
    bytes claims_4g_1 = tar_build({{"status.txt", text_bytes(status)}, {"/etc/config/dali/dali1.bin", channel_file}});
    claim_size(claims_4g_1, 512 + (status.size() + 511) / 512 * 512, "37777777777");
    ASSERT_TRUE(write_file(files.file("one.csv"), CSV_VERSION));

    const std::vector<planned_run> plan = {
        limited_run("get_backup", controller({"backup:dali1=body:" + write_bytes(files, "a.tar", claims_4g)}),
                    [](const std::string &address, const temp_dir &scratch) {
                        return std::vector<std::string>{"--ip", address, "--action", "get_backup", "--backupfileout",
                                                        scratch.path(), "--backupfileouttype", "zip",
                                                        "--backupconfig", R"(["dali1","rlc"])"};
                    }),
        limited_run("setup_channel", controller({"backup:dali1=body:" + write_bytes(files, "b.tar", claims_4g_1)}),
                    [&](const std::string &address, const temp_dir &) {
                        return std::vector<std::string>{"--ip", address, "--action", "setup_channel", "--channel", "1",
                                                        "--channelcsvfile", csv_argument(files.file("one.csv"))};
                    }),
    };
    const std::vector<finished_run> runs = run_all(plan);

    const finished_run &backup = runs[0];
    expect_finished(backup);
    EXPECT_EQ(backup.action_output(), config_fetching(backup, "dali1") + received_line("backup", claims_4g.size()) +
                                          LIST_HEAD + file_error(-1) + NO_STATUS_TXT + config_fetched(backup, "rlc"));
    expect_backup_zip(backup, backup.scratch->path(), {"rlc"});

    const finished_run &setup = runs[1];
    expect_finished(setup);
    EXPECT_EQ(setup.action_output(),
              config_fetching(setup, "dali1") + received_line("backup", claims_4g_1.size()) + LIST_HEAD +
                  entry_line("status.txt", static_cast<long long>(status.size())) +
                  entry_line("/etc/config/dali/dali1.bin", -1) + file_error(-5) + status + identity_lines(ID) +
                  "OK\nCH=1\nFILE=" + files.file("one.csv") + "\nbackup\terror reading '/etc/config/dali/dali1.bin'\r\n");
    for (const finished_run &r : runs) {
        EXPECT_FALSE(r.sim->flashraw().has_value());
        EXPECT_EQ(r.restore_requests(), 0u);
    }
}

TEST(HostileSizes, StatusDocumentOf100MiB)
{
    // The document names the model first, then pads one member to 100 MiB.
    // Downloads stop at 64 MiB: the transfer fails with a write error, and
    // put_backup uploads nothing.
    temp_dir files;
    {
        std::unique_ptr<std::FILE, int (*)(std::FILE *)> out(std::fopen(files.file("status.json").c_str(), "wb"), std::fclose);
        ASSERT_TRUE(out);
        std::fputs("{\"model_name\":\"VESTRA-4\",\"firmware_version\":\"1.3.0\",\"pad\":\"", out.get());
        const std::string block(1 << 20, 'x');
        for (int i = 0; i < 100; ++i)
            std::fwrite(block.data(), 1, block.size(), out.get());
        std::fputs("\"}", out.get());
    }
    const sim_options big = controller({"status=body:" + files.file("status.json")});
    const std::vector<planned_run> plan = {
        limited_run("get_status", big,
                    [](const std::string &address, const temp_dir &) {
                        return std::vector<std::string>{"--ip", address, "--action", "get_status"};
                    }),
        limited_run("put_backup", big,
                    [&](const std::string &address, const temp_dir &) {
                        return std::vector<std::string>{"--ip", address, "--action", "put_backup", "--backupfilein",
                                                        files.file("never-opened.zip")};
                    }),
    };
    for (const finished_run &r : run_all(plan)) {
        SCOPED_TRACE(r.run.out);
        expect_finished(r);
        EXPECT_EQ(r.action_output(), fetching_line("status", r.address + STATUS_PATH));
        EXPECT_EQ(r.failure_lines(), std::vector<std::string>{curl_failure("Failed writing received data to disk/application")});
        EXPECT_FALSE(r.sim->flashraw().has_value());
        EXPECT_EQ(r.restore_requests(), 0u);
    }
}

TEST(HostileSizes, JsonNested10000Deep)
{
    // As the status document, and as the argument of a list option: the
    // reader stops at its depth limit, nothing is taken.
    temp_dir files;
    const std::string deep_document = [] {
        std::string text;
        for (int i = 0; i < 10000; ++i)
            text += "{\"a\":";
        text += "\"x\"";
        return text + std::string(10000, '}');
    }();
    ASSERT_TRUE(write_file(files.file("deep.json"), deep_document));
    ASSERT_TRUE(write_file(files.file("one.csv"), CSV_VERSION));
    const std::string deep_channels = std::string(10000, '[') + "1" + std::string(10000, ']');
    const std::vector<planned_run> plan = {
        limited_run("get_status", controller({"status=body:" + files.file("deep.json")}),
                    [](const std::string &address, const temp_dir &) {
                        return std::vector<std::string>{"--ip", address, "--action", "get_status"};
                    }),
        limited_run("setup_channel", controller(),
                    [&](const std::string &address, const temp_dir &) {
                        return std::vector<std::string>{"--ip", address, "--action", "setup_channel", "--channel",
                                                        deep_channels, "--channelcsvfile",
                                                        csv_argument(files.file("one.csv"))};
                    }),
    };
    const std::vector<finished_run> runs = run_all(plan);
    expect_finished(runs[0]);
    EXPECT_EQ(runs[0].action_output(),
              fetching_line("status", runs[0].address + STATUS_PATH) + received_line("status", deep_document.size()));
    expect_finished(runs[1]);
    EXPECT_EQ(runs[1].action_output(), "Missing arguments for action setup_channel.");
    EXPECT_TRUE(runs[1].sim->requests("/api/v100/backup.ssi").empty());
}

TEST(HostileSizes, FirmwareImageOf16MiBPlusOne)
{
    // A raw image and a package, each one byte over 16 MiB: read, refused
    // by the size check, nothing sent.
    temp_dir files;
    const fwtest::bytes image = fwtest::make_image((16u << 20) + 1, {}, 5);
    ASSERT_TRUE(write_file(files.file("big.binary"), image));
    fwtest::make_standard_package(files.file("big.bin"), image);
    ASSERT_FALSE(HasFatalFailure());
    std::vector<planned_run> plan;
    for (const std::string name : {"big.binary", "big.bin"})
        plan.push_back(limited_run(name, controller(), [&files, name](const std::string &address, const temp_dir &) {
            return std::vector<std::string>{"--ip", address, "--action", "push_firmware", "--firmwarefile", files.file(name)};
        }));
    for (const finished_run &r : run_all(plan)) {
        expect_finished(r);
        EXPECT_EQ(r.action_output(), "\nPreparing file...\nFIRMWARE FILE IS NOT VALID!");
        EXPECT_EQ(r.run.err, "");
        EXPECT_FALSE(r.sim->flashraw().has_value());
        EXPECT_EQ(r.upgrade_requests(), 0u);
    }
}

// Rows of the large CSV file. An unoptimised sanitized binary takes minutes
// over a million, so it reads a tenth of them.
#if defined(__SANITIZE_ADDRESS__)
constexpr int CSV_ROWS = 100000;
#else
constexpr int CSV_ROWS = 1000000;
#endif

TEST(HostileSizes, ChannelCsvOfAMillionRows)
{
    // Every row goes to one of the 64 device entries; the last row for each
    // entry wins, and the channel goes up once.
    temp_dir files;
    {
        std::unique_ptr<std::FILE, int (*)(std::FILE *)> out(std::fopen(files.file("million.csv").c_str(), "wb"), std::fclose);
        ASSERT_TRUE(out);
        std::fputs(CSV_VERSION.c_str(), out.get());
        for (int n = 0; n < CSV_ROWS; ++n)
            std::fprintf(out.get(), "%d,%d,12,Device %d,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\"\n", n % 64,
                         n % 64, n);
    }
    const std::vector<planned_run> plan = {
        limited_run("setup_channel", controller(), [&](const std::string &address, const temp_dir &) {
            return std::vector<std::string>{"--ip", address, "--action", "setup_channel", "--channel", "2",
                                            "--channelcsvfile", csv_argument(files.file("million.csv"))};
        }),
    };
    const std::vector<finished_run> runs = run_all(plan);
    const finished_run &r = runs[0];
    expect_finished(r);
    EXPECT_NE(r.action_output().find("CH=2\nFILE=" + files.file("million.csv") + "\n0 fields, " + std::to_string(CSV_ROWS + 1) + " rows\n"),
              std::string::npos);
    const std::string done = "\"result\":\"ok\"}\nOK\nOK\n";
    EXPECT_EQ(r.action_output().substr(r.action_output().size() - done.size()), done);
    EXPECT_EQ(r.stored_configs(), std::vector<std::string>{"dali2"});
    const std::string stored = [&] {
        const bytes file = r.sim->stored("dali2").value_or(bytes{});
        return std::string(file.begin(), file.end());
    }();
    // The last 64 rows name the 64 entries; the row before them was overwritten.
    EXPECT_NE(stored.find("Device " + std::to_string(CSV_ROWS - 1)), std::string::npos);
    EXPECT_NE(stored.find("Device " + std::to_string(CSV_ROWS - 64)), std::string::npos);
    EXPECT_EQ(stored.find("Device " + std::to_string(CSV_ROWS - 65)), std::string::npos);
}

} // namespace
