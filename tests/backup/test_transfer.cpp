// The transfer layer against the simulated controller: downloads, the TFTP
// upload, the restore and upgrade requests, failures and the verbose trace.
#include "backup/hex.h"
#include "backup/transfer.h"

#include "files.h"
#include "run.h"
#include "sim.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The front end initialises libcurl once per process; so does this test.
const struct curl_setup {
    curl_setup() { curl_global_init(CURL_GLOBAL_ALL); }
    ~curl_setup() { curl_global_cleanup(); }
} curl_once;

struct verbose_scope {
    explicit verbose_scope(int value) { verbose_flag = value; }
    ~verbose_scope() { verbose_flag = 0; }
};

std::vector<std::uint8_t> pattern(std::size_t size, unsigned seed)
{
    std::vector<std::uint8_t> data(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<std::uint8_t>((i * 131 + seed) >> 3);
    return data;
}

std::string text(const std::vector<std::uint8_t> &data) { return std::string(data.begin(), data.end()); }

std::string failure_line(CURLcode code)
{
    return std::string("curl_easy_perform() failed: ") + curl_easy_strerror(code) + "\n";
}

// A one-entry tar archive made by GNU tar, the entry named `path` (leading "/" kept).
std::vector<std::uint8_t> gnu_tar(const temp_dir &dir, const std::string &path, const std::vector<std::uint8_t> &content)
{
    const std::string source = dir.file("entry.bin");
    EXPECT_TRUE(write_file(source, content));
    const run_result made = run_program(
        "tar", {"-cf", dir.file("upload.tar"), "-P", "--transform", "s,.*entry.bin," + path + ",", source});
    EXPECT_EQ(made.status, 0) << made.err;
    return read_file(dir.file("upload.tar")).value_or(std::vector<std::uint8_t>{});
}

// SHA-256 of the bytes, by the sha256sum program.
std::vector<std::uint8_t> sha256(const temp_dir &dir, const std::vector<std::uint8_t> &data)
{
    EXPECT_TRUE(write_file(dir.file("digest.in"), data));
    const std::string hex = run_program("sha256sum", {dir.file("digest.in")}).out.substr(0, 64);
    std::vector<std::uint8_t> digest;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        digest.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
    return digest;
}

} // namespace

TEST(Transfer, DownloadsIntoMemoryWhateverTheHttpStatus)
{
    controller_sim sim;
    mem_buffer status;
    const std::string url = sim.address() + "/api/v100/status.ssi";
    int result = -1;
    captured_output got = capture_output([&] { result = transfer_download("status", url.c_str(), &status); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(got.out, "status\tfetching URL '" + url + "'.\nstatus\treceived " + std::to_string(status.size) +
                           " bytes.\n");
    EXPECT_EQ(got.err, "");
    EXPECT_EQ(status.size, status.data.size());
    EXPECT_EQ(text(status.data).substr(0, 26), "{\"model_name\":\"VESTRA-4\",\"");

    mem_buffer archive;
    const std::string backup = sim.base() + "/api/v100/backup.ssi?config=dali1";
    capture_output([&] { result = transfer_download("backup", backup.c_str(), &archive); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(archive.data, sim.stored_archive("dali1").value());

    // An error page is an answer like any other.
    mem_buffer page;
    const std::string missing = sim.base() + "/api/v100/backup.ssi?config=nothing";
    got = capture_output([&] { result = transfer_download("backup", missing.c_str(), &page); });
    EXPECT_EQ(result, 0);
    EXPECT_NE(got.out.find("backup\treceived " + std::to_string(page.size) + " bytes.\n"), std::string::npos);
    EXPECT_EQ(text(page.data).substr(0, 15), "<!DOCTYPE html>");

    EXPECT_EQ(capture_stdout([&] { result = transfer_download("status", nullptr, &page); }), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(capture_stdout([&] { result = transfer_download("status", url.c_str(), nullptr); }), "");
    EXPECT_EQ(result, 1);
}

TEST(Transfer, EmptyAnswerAndBrokenConnection)
{
    controller_sim sim(sim_options().fault("status=empty").fault("backup=drop"));
    mem_buffer status;
    const std::string url = sim.address() + "/api/v100/status.ssi";
    int result = -1;
    captured_output got = capture_output([&] { result = transfer_download("status", url.c_str(), &status); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(got.out, "status\tfetching URL '" + url + "'.\nstatus\treceived 0 bytes.\n");
    EXPECT_EQ(status.size, 0u);
    EXPECT_TRUE(status.data.empty());

    // The connection closes halfway through the archive: a failure, no "received" line.
    mem_buffer archive;
    const std::string backup = sim.base() + "/api/v100/backup.ssi?config=dali1";
    got = capture_output([&] { result = transfer_download("backup", backup.c_str(), &archive); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(got.out, "backup\tfetching URL '" + backup + "'.\n");
    EXPECT_EQ(got.err, failure_line(CURLE_PARTIAL_FILE));
}

TEST(Transfer, DownloadsAndRequestsFollowRedirects)
{
    controller_sim sim(sim_options().fault("status=redirect").fault("restore=redirect"));
    mem_buffer status;
    const std::string url = sim.address() + "/api/v100/status.ssi";
    int result = -1;
    const captured_output got = capture_output([&] { result = transfer_download("status", url.c_str(), &status); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(text(status.data).substr(0, 26), "{\"model_name\":\"VESTRA-4\",\"");
    EXPECT_EQ(got.out, "status\tfetching URL '" + url + "'.\nstatus\treceived " + std::to_string(status.size) +
                           " bytes.\n");

    const std::string address = sim.address();
    const captured_output put = capture_output([&] { result = backup_put(address.c_str()); });
    // The controller refuses (400, nothing uploaded): a failure after its answer.
    EXPECT_EQ(result, 1);
    // Only the answer at the end of the redirect reaches standard output.
    EXPECT_EQ(put.out.substr(put.out.find("'.\n") + 3), "{\"action\":\"restoreconfig\",\"result\":\"error\","
                                                         "\"reason\":\"no flashraw.bin\"}\n");
    const std::vector<sim_event> requests = sim.events("request");
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(requests[0].get("status"), "302");
    EXPECT_EQ(requests[1].get("query"), "redirected=1");
    EXPECT_EQ(requests[2].get("status"), "302");
    EXPECT_EQ(requests[3].get("query"), "action=restoreconfig&redirected=1");
}

TEST(Transfer, WriteCallbackGrowsTheBufferAndDropsItWhenItCannot)
{
    char chunk[] = "abcdef";
    mem_buffer buffer;
    EXPECT_EQ(buffer_write_callback(chunk, 1, 3, nullptr), 0u);
    EXPECT_EQ(buffer_write_callback(chunk, 1, 3, &buffer), 3u);
    EXPECT_EQ(buffer_write_callback(chunk + 3, 1, 3, &buffer), 3u);
    EXPECT_EQ(buffer.size, 6u);
    EXPECT_EQ(text(buffer.data), "abcdef");

    // An answer growing past the limit is dropped whole and the transfer ends.
    buffer.size = TRANSFER_MAX_DOWNLOAD - 2;
    EXPECT_EQ(buffer_write_callback(chunk, 1, 3, &buffer), 0u);
    EXPECT_EQ(buffer.size, 0u);
    EXPECT_TRUE(buffer.data.empty());
    buffer.size = TRANSFER_MAX_DOWNLOAD - 3;
    EXPECT_EQ(buffer_write_callback(chunk, 1, 3, &buffer), 3u);
    EXPECT_EQ(buffer.size, TRANSFER_MAX_DOWNLOAD);
}

TEST(Transfer, ReadCallbackHandsOutTheRecordPieceByPiece)
{
    const std::vector<std::uint8_t> data = pattern(10, 1);
    file_data record;
    record.data = data.data();
    record.length = 10;
    char out[16] = {};
    EXPECT_EQ(upload_read_callback(out, 1, 4, &record), 4u);
    EXPECT_EQ(std::vector<std::uint8_t>(out, out + 4), std::vector<std::uint8_t>(data.begin(), data.begin() + 4));
    EXPECT_EQ(record.data, data.data() + 4);
    EXPECT_EQ(record.length, 6u);
    EXPECT_EQ(upload_read_callback(out, 0, 4, &record), 0u);
    EXPECT_EQ(upload_read_callback(out, 4, 0, &record), 0u);
    EXPECT_EQ(upload_read_callback(out, 2, 8, &record), 6u);
    EXPECT_EQ(std::vector<std::uint8_t>(out, out + 6), std::vector<std::uint8_t>(data.begin() + 4, data.end()));
    EXPECT_EQ(record.length, 0u);
    EXPECT_EQ(upload_read_callback(out, 1, 16, &record), 0u);
    EXPECT_EQ(upload_read_callback(out, 1, 16, nullptr), 0u);
}

TEST(Transfer, TftpUploadArrivesByteForByteAndLeavesTheRecordAsItWas)
{
    controller_sim sim;
    const std::string line = "firmware_push_tftp\tpushing URL 'tftp://" + sim.address() + "/flashraw.bin'.\n";
    // Several blocks with a short last one, then exactly two blocks (the end
    // is an empty block), then one byte: each replaces the one before.
    for (const std::size_t size : {100000u, 1024u, 1u}) {
        const std::vector<std::uint8_t> data = pattern(size, static_cast<unsigned>(size));
        file_data record;
        record.data = data.data();
        record.length = static_cast<std::uint32_t>(size);
        int result = -1;
        const captured_output got = capture_output([&] { result = firmware_push_tftp(sim.address().c_str(), &record); });
        EXPECT_EQ(result, 0) << size;
        EXPECT_EQ(got.out, line);
        EXPECT_EQ(sim.flashraw(), data) << size;
        EXPECT_EQ(record.data, data.data());
        EXPECT_EQ(record.length, size);
    }

    // Nothing to send, or nowhere to send it: refused at once, silently, nothing sent.
    const std::vector<std::uint8_t> data = pattern(64, 9);
    file_data empty;
    empty.data = data.data();
    file_data no_data;
    no_data.length = 64;
    file_data good;
    good.data = data.data();
    good.length = 64;
    int result = -1;
    for (auto attempt : {std::make_pair(sim.address().c_str(), &empty), std::make_pair(sim.address().c_str(), &no_data),
                         std::make_pair(static_cast<const char *>(nullptr), &good),
                         std::make_pair(sim.address().c_str(), static_cast<file_data *>(nullptr))}) {
        const captured_output got = capture_output([&] { result = firmware_push_tftp(attempt.first, attempt.second); });
        EXPECT_EQ(result, 1);
        EXPECT_EQ(got.out + got.err, "");
    }
    EXPECT_EQ(sim.flashraw(), pattern(1, 1));
    EXPECT_EQ(empty.length, 0u);
}

TEST(Transfer, BackupUploadPushesThenRestoresAndPrintsOkTwice)
{
    controller_sim sim;
    temp_dir dir;
    const std::vector<std::uint8_t> content = pattern(11168, 3);
    const std::vector<std::uint8_t> archive = gnu_tar(dir, "/etc/config/dali/dali2.bin", content);
    ASSERT_FALSE(archive.empty());
    int result = -1;
    const captured_output got = capture_output([&] {
        result = backup_upload(sim.base().c_str(), sim.address().c_str(), archive.data(),
                               static_cast<std::uint32_t>(archive.size()));
    });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(got.out, "firmware_push_tftp\tpushing URL 'tftp://" + sim.address() + "/flashraw.bin'.\nOK\n" +
                           "backup_put\tpushing URL '" + sim.address() + "/api/v100/status.ssi?action=restoreconfig'.\n" +
                           "{\"action\":\"restoreconfig\",\"result\":\"ok\"}\nOK\n");
    EXPECT_EQ(got.err.find("curl_easy_perform"), std::string::npos) << got.err;
    EXPECT_EQ(sim.flashraw(), archive);
    EXPECT_EQ(sim.stored("dali2"), content);
    EXPECT_EQ(sim.requests("/api/v100/status.ssi", "action=restoreconfig").size(), 1u);

    // Missing base or data, or nothing to send: refused at once, nothing sent.
    const std::string base = sim.base();
    const std::string address = sim.address();
    const auto size = static_cast<std::uint32_t>(archive.size());
    const std::vector<std::function<int()>> refused = {
        [&] { return backup_upload(nullptr, address.c_str(), archive.data(), size); },
        [&] { return backup_upload(base.c_str(), address.c_str(), nullptr, size); },
        [&] { return backup_upload(base.c_str(), address.c_str(), archive.data(), 0); },
        [&] { return backup_upload(base.c_str(), nullptr, archive.data(), size); },
        [&] { return backup_put(nullptr); },
    };
    for (const auto &call : refused) {
        const captured_output none = capture_output([&] { result = call(); });
        EXPECT_EQ(result, 1);
        EXPECT_EQ(none.out + none.err, "");
    }
    EXPECT_EQ(sim.events("request").size(), 1u);
}

TEST(Transfer, RefusedTftpUploadPrintsTheFailureAndSendsNoRestoreRequest)
{
    controller_sim sim(sim_options().tftp_mode("refuse"));
    const std::vector<std::uint8_t> archive = pattern(2048, 5);
    int result = -1;
    const captured_output got = capture_output([&] {
        result = backup_upload(sim.base().c_str(), sim.address().c_str(), archive.data(),
                               static_cast<std::uint32_t>(archive.size()));
    });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(got.out, "firmware_push_tftp\tpushing URL 'tftp://" + sim.address() + "/flashraw.bin'.\n");
    const std::string failure = failure_line(CURLE_TFTP_NOTFOUND);
    ASSERT_GE(got.err.size(), failure.size());
    EXPECT_EQ(got.err.substr(got.err.size() - failure.size()), failure) << got.err;
    EXPECT_TRUE(sim.events("request").empty());
    EXPECT_EQ(sim.flashraw(), std::nullopt);

    // The record is put back after a failed upload too.
    file_data record;
    record.data = archive.data();
    record.length = 2048;
    capture_output([&] { result = firmware_push_tftp(sim.address().c_str(), &record); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(record.data, archive.data());
    EXPECT_EQ(record.length, 2048u);
}

TEST(Transfer, UpgradeRequestQuotesDigestAndLengthAndShowsTheAnswer)
{
    controller_sim sim;
    temp_dir dir;
    const std::vector<std::uint8_t> image = pattern(1048576, 7);
    file_data record;
    record.data = image.data();
    record.length = static_cast<std::uint32_t>(image.size());
    int result = -1;
    capture_output([&] { result = firmware_push_tftp(sim.address().c_str(), &record); });
    ASSERT_EQ(result, 0);

    const std::vector<std::uint8_t> digest = sha256(dir, image);
    ASSERT_EQ(digest.size(), 32u);
    char hex[65];
    ASSERT_EQ(hex_encode(digest.data(), digest.size(), hex), 0);
    const captured_output got =
        capture_output([&] { result = firmware_upgrade(sim.address().c_str(), digest.data(), record.length); });
    EXPECT_EQ(result, 0);
    // The bare address, no scheme; the library's progress meter goes to stderr.
    EXPECT_EQ(got.out, "firmware\tpushing URL '" + sim.address() +
                           "/api/v100/status.ssi?action=firmwareupgrade&hash=" + hex +
                           "&size=1048576'.\n{\"action\":\"firmwareupgrade\",\"result\":\"ok\"}\n");
    const std::vector<sim_event> upgrade = sim.events("upgrade");
    ASSERT_EQ(upgrade.size(), 1u);
    EXPECT_EQ(upgrade[0].get("result"), "ok");
    EXPECT_EQ(upgrade[0].get("hash"), hex);
    EXPECT_EQ(upgrade[0].get("size"), "1048576");

    EXPECT_EQ(capture_stdout([&] { result = firmware_upgrade(nullptr, digest.data(), 1); }), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(capture_stdout([&] { result = firmware_upgrade(sim.address().c_str(), nullptr, 1); }), "");
    EXPECT_EQ(result, 1);
    EXPECT_EQ(sim.events("upgrade").size(), 1u);
}

TEST(Transfer, ClosedPortGivesTheFailureLineAndResultOne)
{
    const refusing_port closed;
    const std::string address = closed.address();
    int result = -1;
    captured_output got = capture_output([&] { result = backup_put(address.c_str()); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(got.out, "backup_put\tpushing URL '" + address + "/api/v100/status.ssi?action=restoreconfig'.\n");
    EXPECT_NE(got.err.find(failure_line(CURLE_COULDNT_CONNECT)), std::string::npos) << got.err;

    const std::uint8_t digest[32] = {};
    got = capture_output([&] { result = firmware_upgrade(address.c_str(), digest, 5); });
    EXPECT_EQ(result, 1);
    EXPECT_NE(got.out.find("&hash=" + std::string(64, '0') + "&size=5'"), std::string::npos);
    EXPECT_NE(got.err.find(failure_line(CURLE_COULDNT_CONNECT)), std::string::npos);

    mem_buffer buffer;
    const std::string url = address + "/api/v100/status.ssi";
    got = capture_output([&] { result = transfer_download("status", url.c_str(), &buffer); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(got.out, "status\tfetching URL '" + url + "'.\n");
    EXPECT_EQ(got.err, failure_line(CURLE_COULDNT_CONNECT));
}

TEST(Transfer, VerboseFlagTurnsTheLibraryTraceOn)
{
    controller_sim sim;
    const std::string url = sim.address() + "/api/v100/status.ssi";
    mem_buffer quiet, loud;
    const captured_output off = capture_output([&] { transfer_download("status", url.c_str(), &quiet); });
    EXPECT_EQ(off.err, "");
    captured_output on;
    {
        const verbose_scope verbose(1);
        on = capture_output([&] { transfer_download("status", url.c_str(), &loud); });
    }
    EXPECT_NE(on.err.find("> GET /api/v100/status.ssi HTTP/1.1"), std::string::npos) << on.err;
    EXPECT_NE(on.err.find("< HTTP/1.1 200"), std::string::npos);
    // No headers of our own: no user agent, no credentials.
    EXPECT_EQ(on.err.find("User-Agent"), std::string::npos);
    EXPECT_EQ(on.err.find("Authorization"), std::string::npos);
    EXPECT_EQ(on.out, off.out);

    const std::vector<std::uint8_t> data = pattern(600, 2);
    file_data record;
    record.data = data.data();
    record.length = 600;
    {
        const verbose_scope verbose(1);
        on = capture_output([&] { firmware_push_tftp(sim.address().c_str(), &record); });
    }
    EXPECT_NE(on.err.find("* "), std::string::npos) << on.err;
}

TEST(Transfer, HexEncodeWritesLowercaseDigitsHighNibbleFirst)
{
    const std::uint8_t bytes[] = {0x00, 0x09, 0x9f, 0xa0, 0xff, 0x5c};
    char out[13];
    ASSERT_EQ(hex_encode(bytes, sizeof bytes, out), 0);
    EXPECT_STREQ(out, "00099fa0ff5c");
    char untouched[4] = "xyz";
    EXPECT_EQ(hex_encode(nullptr, 1, untouched), -1);
    EXPECT_EQ(hex_encode(bytes, 0, untouched), -1);
    EXPECT_EQ(hex_encode(bytes, 1, nullptr), -1);
    EXPECT_STREQ(untouched, "xyz");
}
