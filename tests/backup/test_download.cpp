// Listing of received configuration archives, checked against the exact
// console output.
#include "backup/download.h"
#include "../tar/tar_build.h"
#include "run.h"
#include "sim.h"

#include <archive.h>
#include <archive_entry.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

bytes text_bytes(const std::string &text) { return bytes(text.begin(), text.end()); }

struct listing {
    int result;
    std::string output;
    backup_download download;
};

listing list(const bytes &received)
{
    listing run;
    run.download.data = received;
    run.download.size = static_cast<std::uint32_t>(received.size());
    run.output = capture_stdout([&run] { run.result = backup_list(&run.download); });
    return run;
}

const std::string STATUS =
    "{\"model_name\":\"VESTRA-4\",\"hostname\":\"vestra-4\",\"firmware_version\":\"1.3.0\","
    "\"uptime\":\"12 days\",\"serial_number\":\"V4-2106-000482\",\"mac\":\"00:1e:c0:4a:12:7f\"}\n";

const std::string IDENTITY_LINES = "backup\tmodel name: VESTRA-4\r\n"
                                   "backup\tfirmware version: 1.3.0\r\n"
                                   "backup\tserial number: V4-2106-000482\r\n"
                                   "backup\tmac: 00:1e:c0:4a:12:7f\r\n";

const std::string NOT_FOUND = "backup\terror status.txt file not found.\r\n";
const std::string CONTAINS = "backup\tbackup file contains: \r\n";

} // namespace

TEST(BackupList, ArchivesAndTheirStatusDocument)
{
    // Nothing received.
    listing run = list({});
    EXPECT_EQ(run.output, NOT_FOUND);
    EXPECT_EQ(run.result, 1);
    EXPECT_FALSE(run.download.firmware_version);

    // Only the status document.
    run = list(tar_build({{"status.txt", text_bytes(STATUS)}}));
    EXPECT_EQ(run.output, CONTAINS + "\tstatus.txt (" + std::to_string(STATUS.size()) + " bytes)\r\n" + STATUS + IDENTITY_LINES);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.download.model_name, "VESTRA-4");
    EXPECT_EQ(run.download.firmware_version, "1.3.0");
    EXPECT_EQ(run.download.serial_number, "V4-2106-000482");
    EXPECT_EQ(run.download.mac, "00:1e:c0:4a:12:7f");
    backup_download_free(&run.download);
    EXPECT_FALSE(run.download.model_name || run.download.firmware_version || run.download.serial_number || run.download.mac);
    EXPECT_EQ(run.download.size, 2048u) << "the data stays";
    EXPECT_EQ(run.download.data.size(), 2048u);

    // A configuration file and the document.
    run = list(tar_build({{"/etc/config/dali/dali1.bin", bytes(11168, 0x5a)}, {"status.txt", text_bytes(STATUS)}}));
    EXPECT_EQ(run.output, CONTAINS + "\t/etc/config/dali/dali1.bin (11168 bytes)\r\n\tstatus.txt (" + std::to_string(STATUS.size()) +
                              " bytes)\r\n" + STATUS + IDENTITY_LINES);
    EXPECT_EQ(run.result, 0);

    // Two entries and no status document: listed, so still 0.
    run = list(tar_build({{"/etc/config/system.cfg", bytes(700, 1)}, {"/etc/config/rlc.cfg", {}}}));
    EXPECT_EQ(run.output, CONTAINS + "\t/etc/config/system.cfg (700 bytes)\r\n\t/etc/config/rlc.cfg (0 bytes)\r\n" + NOT_FOUND);
    EXPECT_EQ(run.result, 0);

    // Only the end marker: no entry.
    run = list(tar_build({}));
    EXPECT_EQ(run.output, CONTAINS + NOT_FOUND);
    EXPECT_EQ(run.result, 1);

    // An empty status document.
    run = list(tar_build({{"status.txt", {}}}));
    EXPECT_EQ(run.output, CONTAINS + "\tstatus.txt (0 bytes)\r\nbackup\terror status.txt file size error\r\n");
    EXPECT_EQ(run.result, 0);
}

TEST(BackupList, DamagedAndTruncatedArchives)
{
    // A damaged second header: bad checksum, printed as an unsigned number.
    bytes damaged = tar_build({{"/etc/config/system.cfg", bytes(100, 1)}, {"status.txt", text_bytes(STATUS)}});
    damaged[1024 + 3] ^= 0x20;
    listing run = list(damaged);
    EXPECT_EQ(run.output, CONTAINS + "\t/etc/config/system.cfg (100 bytes)\r\n\tfile error 4294967290.\r\n" + NOT_FOUND);
    EXPECT_EQ(run.result, -6);

    // Cut inside the first entry's data: the reader refuses to pass the end.
    bytes full = tar_build({{"/etc/config/system.cfg", bytes(2000, 1)}, {"status.txt", text_bytes(STATUS)}});
    run = list(bytes(full.begin(), full.begin() + 1500));
    EXPECT_EQ(run.output, CONTAINS + "\t/etc/config/system.cfg (2000 bytes)\r\n\tfile error 4294967295.\r\n" + NOT_FOUND);
    EXPECT_EQ(run.result, -1);

    // Cut inside a header.
    run = list(bytes(full.begin(), full.begin() + 200));
    EXPECT_EQ(run.output, CONTAINS + "\tfile error 4294967295.\r\n" + NOT_FOUND);
    EXPECT_EQ(run.result, -1);

    // Cut inside the status document's data.
    bytes status_first = tar_build({{"status.txt", text_bytes(STATUS)}});
    run = list(bytes(status_first.begin(), status_first.begin() + 512 + 40));
    EXPECT_EQ(run.output, CONTAINS + "\tstatus.txt (" + std::to_string(STATUS.size()) + " bytes)\r\n\tfile error 4294967295.\r\n" +
                              "backup\terror reading status.txt\r\n");
    EXPECT_EQ(run.result, -1);
    EXPECT_FALSE(run.download.model_name);

    // A document claiming nearly 4 GiB: nothing is allocated from that claim.
    bytes huge = tar_build({{"status.txt", text_bytes(STATUS)}});
    std::memset(huge.data() + 124, 0, 12);
    std::memcpy(huge.data() + 124, "37777777777", 11);
    tar_reseal(huge.data());
    run = list(huge);
    EXPECT_EQ(run.output, CONTAINS + "\tstatus.txt (-1 bytes)\r\n\tfile error 4294967291.\r\n" + "backup\terror reading status.txt\r\n");
    EXPECT_EQ(run.result, -5);

    // A web page instead of an archive: shorter than a record, and longer.
    std::string page = "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1></body></html>\n";
    run = list(text_bytes(page));
    EXPECT_EQ(run.output, CONTAINS + "\tfile error 4294967295.\r\n" + NOT_FOUND);
    EXPECT_EQ(run.result, -1);
    std::string long_page = page;
    while (long_page.size() < 2048)
        long_page += "<p>The requested configuration does not exist on this controller.</p>\n";
    run = list(text_bytes(long_page));
    EXPECT_EQ(run.output, CONTAINS + "\tfile error 4294967290.\r\n" + NOT_FOUND);
    EXPECT_EQ(run.result, -6);
}

TEST(BackupList, StatusDocumentValues)
{
    auto values = [](const std::string &document) {
        listing run = list(tar_build({{"status.txt", text_bytes(document)}}));
        EXPECT_EQ(run.result, 0) << document;
        std::string lines = run.output.substr(run.output.find(document) + document.size());
        return std::make_pair(lines, std::move(run.download));
    };

    // The serial number as a number: the key "mac" is taken as its value,
    // the MAC value as a key, and the MAC stays unset.
    auto [lines, download] =
        values("{\"model_name\":\"VESTRA-4\",\"firmware_version\":\"1.2.1\",\"serial_number\":482,\"mac\":\"00:1e:c0:4a:12:7f\"}");
    EXPECT_EQ(lines, "backup\tmodel name: VESTRA-4\r\n"
                     "backup\tfirmware version: 1.2.1\r\n"
                     "backup\tserial number: mac\r\n"
                     "backup\tmac: (null)\r\n");
    EXPECT_EQ(download.serial_number, "mac");
    EXPECT_FALSE(download.mac);

    // Values after a nested object are not seen; a later object starts afresh.
    std::tie(lines, download) = values("{\"model_name\":\"A\",\"net\":{\"ip\":\"10.0.0.7\"},\"firmware_version\":\"1.0.0\"}");
    EXPECT_EQ(download.model_name, "A");
    EXPECT_FALSE(download.firmware_version);
    std::tie(lines, download) = values("[{\"mac\":\"x\"},\"model_name\",\"y\",{\"model_name\":\"z\",\"model_name\":\"w\"}]");
    EXPECT_EQ(download.mac, "x");
    EXPECT_EQ(download.model_name, "w");

    // Not JSON at all: printed, nothing taken, still read.
    std::tie(lines, download) = values("model_name=VESTRA-4\n");
    EXPECT_EQ(lines, "backup\tmodel name: (null)\r\nbackup\tfirmware version: (null)\r\nbackup\tserial number: (null)\r\nbackup\tmac: (null)\r\n");

    // An earlier value is replaced by a later one.
    std::tie(lines, download) = values("{\"mac\":\"1\",\"other\":\"x\",\"mac\":\"2\"}");
    EXPECT_EQ(download.mac, "2");
}

TEST(BackupFetch, ArgumentsAndFailedTransfer)
{
    backup_download download;
    download.model_name = "kept";
    std::string output = capture_stdout([&download] {
        EXPECT_EQ(backup_fetch(nullptr, "dali1", &download), 1);
        EXPECT_EQ(backup_fetch("http://127.0.0.1", nullptr, &download), 1);
        EXPECT_EQ(backup_fetch("http://127.0.0.1", "dali1", nullptr), 1);
    });
    EXPECT_EQ(output, "");
    EXPECT_EQ(download.model_name, "kept");
    backup_list(nullptr);
    backup_download_free(nullptr);
}

namespace {

// The listing expected for an archive, its entries read with libarchive.
std::string expected_listing(const bytes &received)
{
    std::string lines = CONTAINS, status;
    struct archive *reader = archive_read_new();
    archive_read_support_format_tar(reader);
    EXPECT_EQ(archive_read_open_memory(reader, received.data(), received.size()), ARCHIVE_OK);
    struct archive_entry *entry;
    while (archive_read_next_header(reader, &entry) == ARCHIVE_OK) {
        const std::string name = archive_entry_pathname(entry);
        const auto size = static_cast<std::size_t>(archive_entry_size(entry));
        lines += "\t" + name + " (" + std::to_string(size) + " bytes)\r\n";
        if (name == "status.txt") {
            status.resize(size);
            EXPECT_EQ(archive_read_data(reader, status.data(), size), static_cast<la_ssize_t>(size));
        }
    }
    archive_read_free(reader);
    EXPECT_FALSE(status.empty());
    return lines + status;
}

std::string fetching(const controller_sim &sim, const std::string &name, std::uint32_t received)
{
    return "backup\tfetching URL '" + sim.base() + "/api/v100/backup.ssi?config=" + name + "'.\nbackup\treceived " +
           std::to_string(received) + " bytes.\n";
}

struct fetched {
    int result = -100;
    captured_output output;
};

fetched fetch(const std::string &base, const std::string &name, backup_download &download)
{
    fetched run;
    run.output = capture_output([&] { run.result = backup_fetch(base.c_str(), name.c_str(), &download); });
    return run;
}

const char *const CONFIGURATIONS[] = {"systemconfig", "dali1", "dali2", "dali3", "dali4", "cd1",
                                      "cd2",          "cd3",   "cd4",   "schedules", "rlc"};

} // namespace

TEST(BackupFetchSim, EveryConfigurationOfTheController)
{
    controller_sim sim;
    for (const char *name : CONFIGURATIONS) {
        backup_download download;
        fetched run = fetch(sim.base(), name, download);
        const std::optional<bytes> served = sim.stored_archive(name);
        ASSERT_TRUE(served) << name;
        EXPECT_EQ(download.data, *served) << name;
        EXPECT_EQ(download.size, served->size()) << name;
        EXPECT_EQ(run.output.out, fetching(sim, name, download.size) + expected_listing(*served) + IDENTITY_LINES) << name;
        EXPECT_EQ(run.output.err, "") << name;
        EXPECT_EQ(run.result, 0) << name;
        EXPECT_EQ(download.model_name, "VESTRA-4") << name;
        EXPECT_EQ(download.firmware_version, "1.3.0") << name;
        EXPECT_EQ(download.serial_number, "V4-2106-000482") << name;
        EXPECT_EQ(download.mac, "00:1e:c0:4a:12:7f") << name;
    }
    EXPECT_EQ(sim.requests("/api/v100/backup.ssi").size(), std::size(CONFIGURATIONS));
}

TEST(BackupFetchSim, ControllerAnswersThatAreNoArchive)
{
    controller_sim sim(sim_options().firmware("1.2.1").fault("backup:dali3=404").fault("backup:cd1=empty").fault("backup:rlc=truncated"));
    backup_download download;

    // The record is reused: a failed fetch leaves none of the earlier values.
    fetched run = fetch(sim.base(), "dali2", download);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(download.firmware_version, "1.2.1");
    EXPECT_NE(run.output.out.find("backup\tfirmware version: 1.2.1\r\n"), std::string::npos);

    // An HTML error page: received and listed, which fails.
    run = fetch(sim.base(), "dali3", download);
    const std::string page(download.data.begin(), download.data.end());
    EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u) << page;
    EXPECT_NE(page.find("404"), std::string::npos);
    EXPECT_EQ(run.output.out, fetching(sim, "dali3", download.size) + CONTAINS + "\tfile error 4294967295.\r\n" + NOT_FOUND);
    EXPECT_EQ(run.result, -1);
    EXPECT_FALSE(download.firmware_version);

    // A name the controller does not know.
    run = fetch(sim.base(), "dali9", download);
    EXPECT_EQ(run.output.out, fetching(sim, "dali9", download.size) + CONTAINS + "\tfile error 4294967295.\r\n" + NOT_FOUND);
    EXPECT_EQ(run.result, -1);

    // Nothing at all.
    run = fetch(sim.base(), "cd1", download);
    EXPECT_EQ(run.output.out, fetching(sim, "cd1", 0) + NOT_FOUND);
    EXPECT_EQ(run.result, 1);
    EXPECT_TRUE(download.data.empty());

    // Half the archive, sent as if complete.
    run = fetch(sim.base(), "rlc", download);
    const std::optional<bytes> whole = sim.stored_archive("rlc");
    ASSERT_TRUE(whole);
    EXPECT_EQ(download.size, whole->size() / 2);
    EXPECT_EQ(run.output.out.rfind(fetching(sim, "rlc", download.size) + CONTAINS, 0), 0u) << run.output.out;
    EXPECT_EQ(run.output.out.substr(run.output.out.size() - 25 - NOT_FOUND.size()), "\tfile error 4294967295.\r\n" + NOT_FOUND);
    EXPECT_EQ(run.result, -1);

    // Nobody listening: the transfer fails.
    refusing_port closed;
    run = fetch("http://" + closed.address(), "dali1", download);
    EXPECT_EQ(run.output.out, "backup\tfetching URL 'http://" + closed.address() + "/api/v100/backup.ssi?config=dali1'.\n");
    EXPECT_EQ(run.output.err.rfind("curl_easy_perform() failed: ", 0), 0u) << run.output.err;
    EXPECT_EQ(run.result, 1);
}
