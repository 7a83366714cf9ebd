// Listing a received configuration archive: the printed lines, the result and
// the identity values taken from its status document, for whole, damaged and
// cut archives and odd documents.
#include "model/config_archive.h"

#include "../tar/tar_build.h"
#include "support.h"

namespace {

const std::string STATUS = "{\"model_name\":\"VESTRA-4\",\"firmware_version\":\"1.3.0\","
                           "\"serial_number\":\"V4-2106-000482\",\"mac\":\"00:1e:c0:4a:12:7f\"}\n";
const std::string HEAD = "backup\tbackup file contains: \r\n", NO_STATUS = "backup\terror status.txt file not found.\r\n",
                  CANNOT_READ = "backup\terror reading status.txt\r\n";
std::string entry(const std::string &name, long long size) { return "\t" + name + " (" + std::to_string(size) + " bytes)\r\n"; }
std::string error(std::uint32_t code) { return "\tfile error " + std::to_string(code) + ".\r\n"; }
std::string identity(const char *model, const char *firmware, const char *serial, const char *mac)
{
    return std::string("backup\tmodel name: ") + model + "\r\nbackup\tfirmware version: " + firmware +
           "\r\nbackup\tserial number: " + serial + "\r\nbackup\tmac: " + mac + "\r\n";
}
const std::string IDENTITY = identity("VESTRA-4", "1.3.0", "V4-2106-000482", "00:1e:c0:4a:12:7f");

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
bytes status_archive(const std::string &document) { return tar_build({{"status.txt", text_bytes(document)}}); }

TEST(BackupList, WholeDamagedAndCutArchives)
{
    const bytes status = text_bytes(STATUS);
    bytes damaged = tar_build({{"/etc/config/system.cfg", bytes(100, 1)}, {"status.txt", status}});
    damaged[1024 + 3] ^= 0x20;
    const bytes full = tar_build({{"/etc/config/system.cfg", bytes(2000, 1)}, {"status.txt", status}});
    const bytes status_only = status_archive(STATUS);
    bytes huge = status_only; // a document claiming nearly 4 GiB: nothing is allocated from the claim
    std::memcpy(huge.data() + 124, "37777777777", 11);
    tar_reseal(huge.data());
    const std::string page = "<html><head><title>404 Not Found</title></head><body><h1>Not Found</h1></body></html>\n";
    std::string long_page = page;
    while (long_page.size() < 2048)
        long_page += "<p>The requested configuration does not exist on this controller.</p>\n";
    const struct {
        bytes archive;
        std::string output;
        int result;
    } cases[] = {
        {{}, NO_STATUS, 1},
        {status_only, HEAD + entry("status.txt", STATUS.size()) + STATUS + IDENTITY, 0},
        {tar_build({{"/etc/config/dali/dali1.bin", bytes(11168, 0x5a)}, {"status.txt", status}}),
         HEAD + entry("/etc/config/dali/dali1.bin", 11168) + entry("status.txt", STATUS.size()) + STATUS + IDENTITY, 0},
        // Entries and no status document: listed, so still 0; only the end marker: 1.
        {tar_build({{"/etc/config/system.cfg", bytes(700, 1)}, {"/etc/config/rlc.cfg", {}}}),
         HEAD + entry("/etc/config/system.cfg", 700) + entry("/etc/config/rlc.cfg", 0) + NO_STATUS, 0},
        {tar_build({}), HEAD + NO_STATUS, 1},
        {status_archive(""), HEAD + entry("status.txt", 0) + "backup\terror status.txt file size error\r\n", 0},
        // A damaged second header: a bad checksum, printed unsigned.
        {damaged, HEAD + entry("/etc/config/system.cfg", 100) + error(4294967290u) + NO_STATUS, -6},
        // Cut inside the first entry's data, inside a header, inside the document.
        {bytes(full.begin(), full.begin() + 1500),
         HEAD + entry("/etc/config/system.cfg", 2000) + error(4294967295u) + NO_STATUS, -1},
        {bytes(full.begin(), full.begin() + 200), HEAD + error(4294967295u) + NO_STATUS, -1},
        {bytes(status_only.begin(), status_only.begin() + 552),
         HEAD + entry("status.txt", STATUS.size()) + error(4294967295u) + CANNOT_READ, -1},
        {huge, HEAD + entry("status.txt", -1) + error(4294967291u) + CANNOT_READ, -5},
        // A web page instead of an archive: shorter than a record, and longer.
        {text_bytes(page), HEAD + error(4294967295u) + NO_STATUS, -1},
        {text_bytes(long_page), HEAD + error(4294967290u) + NO_STATUS, -6},
    };
    for (const auto &c : cases) {
        const listing run = list(c.archive);
        EXPECT_EQ(run.output, c.output);
        EXPECT_EQ(run.result, c.result) << c.output;
        EXPECT_EQ(run.download.model_name.has_value(), c.output.find(IDENTITY) != std::string::npos) << c.output;
    }

    listing run = list(status_only);
    EXPECT_EQ(run.download.firmware_version, "1.3.0");
    EXPECT_EQ(run.download.serial_number, "V4-2106-000482");
    EXPECT_EQ(run.download.mac, "00:1e:c0:4a:12:7f");
    backup_download_free(&run.download);
    EXPECT_FALSE(run.download.model_name || run.download.firmware_version || run.download.serial_number || run.download.mac);
    EXPECT_EQ(run.download.data.size(), 2048u) << "the data stays";
    EXPECT_EQ(backup_list(nullptr), 1);
    backup_download_free(nullptr);
}

TEST(BackupList, StatusDocumentValues)
{
    const struct {
        std::string document;
        std::string identity;
    } documents[] = {
        // The serial number as a number: the key "mac" is taken as its value,
        // the MAC value as a key, and the MAC stays unset.
        {R"({"model_name":"VESTRA-4","firmware_version":"1.2.1","serial_number":482,"mac":"00:1e:c0:4a:12:7f"})",
         identity("VESTRA-4", "1.2.1", "mac", "(null)")},
        // Values after a nested object are not seen.
        {R"({"model_name":"A","net":{"ip":"10.0.0.7"},"firmware_version":"1.0.0"})",
         identity("A", "(null)", "(null)", "(null)")},
        // A later object starts afresh; a repeated member keeps the later value.
        {R"([{"mac":"x"},"model_name","y",{"model_name":"z","model_name":"w"}])", identity("w", "(null)", "(null)", "x")},
        {"model_name=VESTRA-4\n", identity("(null)", "(null)", "(null)", "(null)")},
    };
    for (const auto &d : documents) {
        const listing run = list(status_archive(d.document));
        EXPECT_EQ(run.result, 0) << d.document;
        EXPECT_EQ(run.output.substr(run.output.find(d.document) + d.document.size()), d.identity);
    }
}

} // namespace
