// Listing of received configuration archives, checked against the exact
// console output. (Fetching and listing every configuration of the simulated
// controller is compared byte for byte by the get_backup tests.)
#include "controller/download.h"

#include "../tar/tar_build.h"
#include "expect.h"
#include "run.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

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

const std::string STATUS = "{\"model_name\":\"VESTRA-4\",\"hostname\":\"vestra-4\",\"firmware_version\":\"1.3.0\","
                           "\"uptime\":\"12 days\",\"serial_number\":\"V4-2106-000482\",\"mac\":\"00:1e:c0:4a:12:7f\"}\n";

} // namespace

TEST(BackupList, ArchivesAndTheirStatusDocument)
{
    const bytes status = text_bytes(STATUS);
    const bytes dali1(11168, 0x5a);
    const struct {
        bytes archive;
        std::string output;
        int result;
    } cases[] = {
        // Nothing received: one line.
        {{}, NO_STATUS_TXT, 1},
        {tar_build({{"status.txt", status}}), LIST_HEAD + entry_line("status.txt", STATUS.size()) + STATUS + identity_lines(), 0},
        {tar_build({{"/etc/config/dali/dali1.bin", dali1}, {"status.txt", status}}),
         LIST_HEAD + entry_line("/etc/config/dali/dali1.bin", 11168) + entry_line("status.txt", STATUS.size()) + STATUS +
             identity_lines(),
         0},
        // Two entries and no status document: listed, so still 0.
        {tar_build({{"/etc/config/system.cfg", bytes(700, 1)}, {"/etc/config/rlc.cfg", {}}}),
         LIST_HEAD + entry_line("/etc/config/system.cfg", 700) + entry_line("/etc/config/rlc.cfg", 0) + NO_STATUS_TXT, 0},
        // Only the end marker: no entry.
        {tar_build({}), LIST_HEAD + NO_STATUS_TXT, 1},
        {tar_build({{"status.txt", {}}}),
         LIST_HEAD + entry_line("status.txt", 0) + "backup\terror status.txt file size error\r\n", 0},
    };
    for (const auto &c : cases) {
        listing run = list(c.archive);
        EXPECT_EQ(run.output, c.output);
        EXPECT_EQ(run.result, c.result) << c.output;
    }

    listing run = list(tar_build({{"status.txt", status}}));
    EXPECT_EQ(run.download.model_name, "VESTRA-4");
    EXPECT_EQ(run.download.firmware_version, "1.3.0");
    EXPECT_EQ(run.download.serial_number, "V4-2106-000482");
    EXPECT_EQ(run.download.mac, "00:1e:c0:4a:12:7f");
    backup_download_free(&run.download);
    EXPECT_FALSE(run.download.model_name || run.download.firmware_version || run.download.serial_number || run.download.mac);
    EXPECT_EQ(run.download.data.size(), 2048u) << "the data stays";
    backup_list(nullptr);
    backup_download_free(nullptr);
}

TEST(BackupList, DamagedAndTruncatedArchives)
{
    const bytes status = text_bytes(STATUS);
    bytes damaged = tar_build({{"/etc/config/system.cfg", bytes(100, 1)}, {"status.txt", status}});
    damaged[1024 + 3] ^= 0x20;
    const bytes full = tar_build({{"/etc/config/system.cfg", bytes(2000, 1)}, {"status.txt", status}});
    const bytes status_only = tar_build({{"status.txt", status}});
    // A document claiming nearly 4 GiB: nothing is allocated from that claim.
    bytes huge = status_only;
    std::memcpy(huge.data() + 124, "37777777777", 11);
    tar_reseal(huge.data());
    const std::string page = "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1></body></html>\n";
    std::string long_page = page;
    while (long_page.size() < 2048)
        long_page += "<p>The requested configuration does not exist on this controller.</p>\n";
    const std::string cannot_read = "backup\terror reading status.txt\r\n";

    const struct {
        bytes archive;
        std::string output;
        int result;
    } cases[] = {
        // A damaged second header: a bad checksum, printed unsigned.
        {damaged, LIST_HEAD + entry_line("/etc/config/system.cfg", 100) + file_error(4294967290u) + NO_STATUS_TXT, -6},
        // Cut inside the first entry's data, or inside a header: the reader
        // refuses to pass the end.
        {bytes(full.begin(), full.begin() + 1500),
         LIST_HEAD + entry_line("/etc/config/system.cfg", 2000) + file_error(4294967295u) + NO_STATUS_TXT, -1},
        {bytes(full.begin(), full.begin() + 200), LIST_HEAD + file_error(4294967295u) + NO_STATUS_TXT, -1},
        {bytes(status_only.begin(), status_only.begin() + 512 + 40),
         LIST_HEAD + entry_line("status.txt", STATUS.size()) + file_error(4294967295u) + cannot_read, -1},
        {huge, LIST_HEAD + entry_line("status.txt", -1) + file_error(4294967291u) + cannot_read, -5},
        // A web page instead of an archive: shorter than a record, and longer.
        {text_bytes(page), LIST_HEAD + file_error(4294967295u) + NO_STATUS_TXT, -1},
        {text_bytes(long_page), LIST_HEAD + file_error(4294967290u) + NO_STATUS_TXT, -6},
    };
    for (const auto &c : cases) {
        const listing run = list(c.archive);
        EXPECT_EQ(run.output, c.output);
        EXPECT_EQ(run.result, c.result) << c.output;
        EXPECT_FALSE(run.download.model_name) << c.output;
    }
}

TEST(BackupList, StatusDocumentValues)
{
    const auto values = [](const std::string &document) {
        listing run = list(tar_build({{"status.txt", text_bytes(document)}}));
        EXPECT_EQ(run.result, 0) << document;
        run.output = run.output.substr(run.output.find(document) + document.size());
        return run;
    };
    // The serial number as a number: the key "mac" is taken as its value,
    // the MAC value as a key, and the MAC stays unset.
    listing run = values("{\"model_name\":\"VESTRA-4\",\"firmware_version\":\"1.2.1\",\"serial_number\":482,"
                         "\"mac\":\"00:1e:c0:4a:12:7f\"}");
    EXPECT_EQ(run.output, "backup\tmodel name: VESTRA-4\r\nbackup\tfirmware version: 1.2.1\r\n"
                          "backup\tserial number: mac\r\nbackup\tmac: (null)\r\n");
    // Values after a nested object are not seen; a later object starts afresh.
    run = values("{\"model_name\":\"A\",\"net\":{\"ip\":\"10.0.0.7\"},\"firmware_version\":\"1.0.0\"}");
    EXPECT_EQ(run.download.model_name, "A");
    EXPECT_FALSE(run.download.firmware_version);
    run = values("[{\"mac\":\"x\"},\"model_name\",\"y\",{\"model_name\":\"z\",\"model_name\":\"w\"}]");
    EXPECT_EQ(run.download.mac, "x");
    EXPECT_EQ(run.download.model_name, "w");
    // Not JSON at all: printed, nothing taken.
    run = values("model_name=VESTRA-4\n");
    EXPECT_EQ(run.output, "backup\tmodel name: (null)\r\nbackup\tfirmware version: (null)\r\n"
                          "backup\tserial number: (null)\r\nbackup\tmac: (null)\r\n");
}

TEST(BackupFetch, ArgumentsAndARecordUsedAgain)
{
    backup_download download;
    download.model_name = "kept";
    EXPECT_EQ(capture_stdout([&download] {
                  EXPECT_EQ(backup_fetch(nullptr, "dali1", &download), 1);
                  EXPECT_EQ(backup_fetch("http://127.0.0.1", nullptr, &download), 1);
                  EXPECT_EQ(backup_fetch("http://127.0.0.1", "dali1", nullptr), 1);
              }),
              "");
    EXPECT_EQ(download.model_name, "kept");

    // A fetch that fails leaves none of the values of the one before.
    controller_sim sim(sim_options().firmware("1.2.1").fault("backup:dali3=404"));
    int result = -1;
    capture_stdout([&] { result = backup_fetch(sim.base().c_str(), "dali2", &download); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(download.firmware_version, "1.2.1");
    const std::string out = capture_stdout([&] { result = backup_fetch(sim.base().c_str(), "dali3", &download); });
    EXPECT_EQ(out, fetching_line("backup", sim.base() + "/api/v100/backup.ssi?config=dali3") +
                       received_line("backup", download.size) + LIST_HEAD + file_error(4294967295u) + NO_STATUS_TXT);
    EXPECT_EQ(result, -1);
    EXPECT_FALSE(download.firmware_version);
    EXPECT_FALSE(download.model_name);
}
