// The transfer layer against the simulated controller: downloads, the TFTP
// upload, the restore and upgrade requests, failures and the verbose trace.
#include "controller/transfer.h"

#include "expect.h"
#include "files.h"
#include "run.h"
#include "sim.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace {

// The front end initialises libcurl once per process; so does this test.
const struct curl_setup {
    curl_setup() { curl_global_init(CURL_GLOBAL_ALL); }
    ~curl_setup() { curl_global_cleanup(); }
} curl_once;

std::string failure_line(CURLcode code) { return std::string("curl_easy_perform() failed: ") + curl_easy_strerror(code) + "\n"; }

// The call's result and what it printed.
struct call {
    int result = -100;
    captured_output printed;
};
call run(const std::function<int()> &body)
{
    call c;
    c.printed = capture_output([&] { c.result = body(); });
    return c;
}

file_data record_of(const bytes &data)
{
    file_data record;
    record.data = data.data();
    record.length = static_cast<std::uint32_t>(data.size());
    return record;
}

std::string tftp_line(const std::string &address)
{
    return pushing_line("firmware_push_tftp", "tftp://" + address + "/flashraw.bin");
}

} // namespace

TEST(Transfer, DownloadsIntoMemory)
{
    controller_sim sim(sim_options().fault("status=redirect").fault("backup:cd1=empty").fault("backup:dali2=drop"));
    const std::string status_url = sim.address() + "/api/v100/status.ssi";
    const auto url = [&](const std::string &config) { return sim.base() + "/api/v100/backup.ssi?config=" + config; };

    // The status document, after a redirect; the printed count is the size.
    mem_buffer status;
    call c = run([&] { return transfer_download("status", status_url.c_str(), &status); });
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.printed.out, fetching_line("status", status_url) + received_line("status", status.data.size()));
    EXPECT_EQ(c.printed.err, "");
    EXPECT_EQ(status.size, status.data.size());
    EXPECT_EQ(std::string(status.data.begin(), status.data.end()).substr(0, 26), "{\"model_name\":\"VESTRA-4\",\"");

    mem_buffer archive;
    EXPECT_EQ(run([&] { return transfer_download("backup", url("dali1").c_str(), &archive); }).result, 0);
    EXPECT_EQ(archive.data, sim.stored_archive("dali1").value());

    // An error page is an answer like any other.
    mem_buffer page;
    EXPECT_EQ(run([&] { return transfer_download("backup", url("nothing").c_str(), &page); }).result, 0);
    EXPECT_EQ(std::string(page.data.begin(), page.data.end()).substr(0, 15), "<!DOCTYPE html>");

    // An empty answer: "received 0 bytes", no data.
    mem_buffer none;
    c = run([&] { return transfer_download("backup", url("cd1").c_str(), &none); });
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.printed.out, fetching_line("backup", url("cd1")) + received_line("backup", 0));
    EXPECT_EQ(none.size, 0u);
    EXPECT_TRUE(none.data.empty());

    // The connection closes halfway through: a failure, no "received" line.
    mem_buffer half;
    c = run([&] { return transfer_download("backup", url("dali2").c_str(), &half); });
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.printed.out, fetching_line("backup", url("dali2")));
    EXPECT_EQ(c.printed.err, failure_line(CURLE_PARTIAL_FILE));

    for (const auto &[address, buffer] : {std::pair<const char *, mem_buffer *>(nullptr, &page), {status_url.c_str(), nullptr}}) {
        c = run([&] { return transfer_download("status", address, buffer); });
        EXPECT_EQ(c.result, 1);
        EXPECT_EQ(c.printed.out + c.printed.err, "");
    }
    EXPECT_EQ(sim.requests("/api/v100/status.ssi").size(), 2u) << "the redirect and its target";
}

TEST(Transfer, TftpUploadArrivesByteForByteAndLeavesTheRecordAsItWas)
{
    controller_sim sim;
    // Several blocks with a short last one, exactly two blocks (the end is an
    // empty block), one byte: each replaces the one before.
    for (const std::size_t size : {100000u, 1024u, 1u}) {
        const bytes data = pattern(size, static_cast<unsigned>(size));
        file_data record = record_of(data);
        const call c = run([&] { return firmware_push_tftp(sim.address().c_str(), &record); });
        EXPECT_EQ(c.result, 0) << size;
        EXPECT_EQ(c.printed.out, tftp_line(sim.address()));
        EXPECT_EQ(sim.flashraw(), data) << size;
        EXPECT_EQ(record.data, data.data());
        EXPECT_EQ(record.length, size);
    }

    // Nothing to send, or nowhere to send it: refused at once, silently.
    const bytes data = pattern(64, 9);
    file_data empty = record_of(data), no_data = record_of(data), good = record_of(data);
    empty.length = 0;
    no_data.data = nullptr;
    for (auto [address, record] : {std::pair(sim.address().c_str(), &empty), std::pair(sim.address().c_str(), &no_data),
                                   std::pair(static_cast<const char *>(nullptr), &good),
                                   std::pair(sim.address().c_str(), static_cast<file_data *>(nullptr))}) {
        const call c = run([&, address = address, record = record] { return firmware_push_tftp(address, record); });
        EXPECT_EQ(c.result, 1);
        EXPECT_EQ(c.printed.out + c.printed.err, "");
    }
    EXPECT_EQ(sim.flashraw(), pattern(1, 1));
}

TEST(Transfer, BackupUploadPushesThenRestoresAndPrintsOkTwice)
{
    controller_sim sim;
    // A one-entry archive made by GNU tar, its leading "/" kept.
    const bytes content = pattern(11168, 3);
    const bytes archive = gnu_tar({{"/etc/config/dali/dali2.bin", content}});
    const std::string base = sim.base(), address = sim.address();
    const auto size = static_cast<std::uint32_t>(archive.size());
    const call c = run([&] { return backup_upload(base.c_str(), address.c_str(), archive.data(), size); });
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.printed.out, upload_lines(address));
    EXPECT_EQ(c.printed.err.find("curl_easy_perform"), std::string::npos) << c.printed.err;
    EXPECT_EQ(sim.flashraw(), archive);
    EXPECT_EQ(sim.stored("dali2"), content);

    // Missing base, address or data, or nothing to send: refused at once.
    for (const auto &refused : std::vector<std::function<int()>>{
             [&] { return backup_upload(nullptr, address.c_str(), archive.data(), size); },
             [&] { return backup_upload(base.c_str(), address.c_str(), nullptr, size); },
             [&] { return backup_upload(base.c_str(), address.c_str(), archive.data(), 0); },
             [&] { return backup_upload(base.c_str(), nullptr, archive.data(), size); },
             [&] { return backup_put(nullptr); }}) {
        const call none = run(refused);
        EXPECT_EQ(none.result, 1);
        EXPECT_EQ(none.printed.out + none.printed.err, "");
    }
    EXPECT_EQ(sim.events("request").size(), 1u);

    // A restore request that is redirected: only the final answer is shown,
    // a refusal in the controller's own words (400 with its JSON answer).
    controller_sim redirecting(sim_options().fault("restore=redirect"));
    const call put = run([&] { return backup_put(redirecting.address().c_str()); });
    EXPECT_EQ(put.result, 1) << "refused: nothing was uploaded";
    EXPECT_EQ(put.printed.out, pushing_line("backup_put", redirecting.address() + "/api/v100/status.ssi?action=restoreconfig") +
                                   "{\"action\":\"restoreconfig\",\"result\":\"error\",\"reason\":\"no flashraw.bin\"}\n");
    EXPECT_NE(put.printed.err.find(failure_line(CURLE_HTTP_RETURNED_ERROR)), std::string::npos) << put.printed.err;
    const std::vector<sim_event> requests = redirecting.events("request");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].get("status"), "302");
    EXPECT_EQ(requests[1].get("query"), "action=restoreconfig&redirected=1");
}

TEST(Transfer, UpgradeRequestQuotesDigestAndLengthAndShowsTheAnswer)
{
    controller_sim sim;
    temp_dir dir;
    const bytes image = pattern(1048576, 7);
    file_data record = record_of(image);
    ASSERT_EQ(run([&] { return firmware_push_tftp(sim.address().c_str(), &record); }).result, 0);

    // The digest by the sha256sum program.
    ASSERT_TRUE(write_file(dir.file("image"), image));
    const std::string hex = run_program("sha256sum", {dir.file("image")}).out.substr(0, 64);
    bytes digest;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        digest.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    ASSERT_EQ(digest.size(), 32u);
    const call c = run([&] { return firmware_upgrade(sim.address().c_str(), digest.data(), record.length); });
    EXPECT_EQ(c.result, 0);
    // The bare address, no scheme; 64 lower-case digits; the size in decimal.
    EXPECT_EQ(c.printed.out, pushing_line("firmware", sim.address() + "/api/v100/status.ssi?action=firmwareupgrade&hash=" +
                                                          hex + "&size=1048576") +
                                 "{\"action\":\"firmwareupgrade\",\"result\":\"ok\"}\n");
    const std::vector<sim_event> upgrade = sim.events("upgrade");
    ASSERT_EQ(upgrade.size(), 1u);
    EXPECT_EQ(upgrade[0].get("result"), "ok");

    EXPECT_EQ(run([&] { return firmware_upgrade(nullptr, digest.data(), 1); }).result, 1);
    EXPECT_EQ(run([&] { return firmware_upgrade(sim.address().c_str(), nullptr, 1); }).result, 1);
    EXPECT_EQ(sim.events("upgrade").size(), 1u);
}

TEST(Transfer, ClosedPortGivesTheFailureLineAndResultOne)
{
    const refusing_port closed;
    const std::string address = closed.address();
    call c = run([&] { return backup_put(address.c_str()); });
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.printed.out, pushing_line("backup_put", address + "/api/v100/status.ssi?action=restoreconfig"));
    EXPECT_NE(c.printed.err.find(failure_line(CURLE_COULDNT_CONNECT)), std::string::npos) << c.printed.err;

    const std::uint8_t digest[32] = {};
    c = run([&] { return firmware_upgrade(address.c_str(), digest, 5); });
    EXPECT_EQ(c.result, 1);
    EXPECT_NE(c.printed.out.find("&hash=" + std::string(64, '0') + "&size=5'"), std::string::npos);
    EXPECT_NE(c.printed.err.find(failure_line(CURLE_COULDNT_CONNECT)), std::string::npos);

    mem_buffer buffer;
    const std::string url = address + "/api/v100/status.ssi";
    c = run([&] { return transfer_download("status", url.c_str(), &buffer); });
    EXPECT_EQ(c.result, 1);
    EXPECT_EQ(c.printed.out, fetching_line("status", url));
    EXPECT_EQ(c.printed.err, failure_line(CURLE_COULDNT_CONNECT));
}
