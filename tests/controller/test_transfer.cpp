// What the binary cannot reach in the transfer layer: the libcurl callbacks at
// their limits, and calls refused for missing arguments before anything is
// contacted. (Every exchange with a controller is a case under tests/cases.)
#include "base/limits.h"
#include "controller/download.h"
#include "controller/transfer.h"

#include "support.h"

#include <cstring>
#include <functional>
#include <limits>

namespace {

TEST(TransferCallbacks, ReceiveBufferUpToTheLimit)
{
    const char data[16] = "0123456789abcde";
    const struct {
        std::uint32_t before; // bytes already received
        std::size_t size, count;
        std::size_t taken;    // returned, and added to the buffer (0: the download is dropped)
    } writes[] = {
        {0, 1, 10, 10},
        {0, 3, 5, 15},
        {0, 0, 5, 0},
        {TRANSFER_MAX_DOWNLOAD - 10, 1, 10, 10}, // exactly full
        {TRANSFER_MAX_DOWNLOAD - 10, 2, 5, 10},
        {TRANSFER_MAX_DOWNLOAD - 10, 1, 11, 0},  // one byte too many
        {TRANSFER_MAX_DOWNLOAD - 10, 3, 4, 0},
        {TRANSFER_MAX_DOWNLOAD, 1, 1, 0},
    };
    for (const auto &w : writes) {
        mem_buffer buffer;
        buffer.size = w.before;
        buffer.data.assign(3, 'x');
        const std::size_t taken = buffer_write_callback(const_cast<char *>(data), w.size, w.count, &buffer);
        EXPECT_EQ(taken, w.taken) << w.before << " + " << w.size << " x " << w.count;
        if (w.taken > 0 || w.size == 0) {
            EXPECT_EQ(buffer.size, w.before + w.taken);
            EXPECT_EQ(std::string(buffer.data.begin(), buffer.data.end()), "xxx" + std::string(data, w.taken));
        } else {
            EXPECT_EQ(buffer.size, 0u) << "a download that outgrows the limit is dropped";
            EXPECT_TRUE(buffer.data.empty());
        }
    }
    EXPECT_EQ(buffer_write_callback(const_cast<char *>(data), 1, 1, nullptr), 0u);
}

TEST(TransferCallbacks, UploadReadsTheRecordInPieces)
{
    const bytes image = pattern(10);
    file_data record;
    record.data = image.data();
    record.length = 10;
    char out[16] = {};
    EXPECT_EQ(upload_read_callback(out, 1, 4, &record), 4u);
    EXPECT_EQ(upload_read_callback(out + 4, 2, 4, &record), 6u) << "no more than is left";
    EXPECT_EQ(std::memcmp(out, image.data(), 10), 0);
    EXPECT_EQ(record.length, 0u);
    EXPECT_EQ(upload_read_callback(out, 1, 4, &record), 0u) << "the end";

    record.data = image.data();
    record.length = 10;
    EXPECT_EQ(upload_read_callback(out, 2, SIZE_MAX, &record), 10u) << "size x count overflows";
    file_data no_data;
    no_data.length = 5;
    for (const auto &[size, count, file] : {std::tuple(1, 4, static_cast<file_data *>(nullptr)),
                                           std::tuple(0, 4, &record), std::tuple(1, 0, &record),
                                           std::tuple(1, 4, &no_data)})
        EXPECT_EQ(upload_read_callback(out, size, count, file), 0u);
}

TEST(TransferLimits, EveryRequestHasACeilingFromWhatItCarries)
{
    // Connecting, --timeout seconds of waiting, and the bytes at 512 bytes/s:
    // the status document at the defaults, a configuration archive, a
    // firmware image of 16 MiB over TFTP, and the longest waits the options
    // allow with the largest count of bytes (no overflow).
    const struct {
        long stall_seconds;
        std::uint64_t bytes;
        long connect_ms;
        long ceiling_ms;
    } rows[] = {
        {30, STATUS_DOCUMENT_MAX, 10000, 168000},
        {30, CONFIG_ARCHIVE_MAX, 10000, 2088000},
        {2, STATUS_DOCUMENT_MAX, 10000, 140000},
        {30, 16777214, 5000, 32802996},
        {86400, 0xFFFFFFFFu, 86400000,
         static_cast<long>(std::min<long long>(86400000 + 86400000 + 8388607998, std::numeric_limits<long>::max()))},
    };
    const transfer_limits saved = transfer_settings;
    for (const auto &row : rows) {
        transfer_settings.stall_seconds = row.stall_seconds;
        EXPECT_EQ(transfer_ceiling_ms(row.bytes, row.connect_ms), row.ceiling_ms) << row.bytes << " bytes";
    }
    transfer_settings = saved;
}

TEST(TransferArguments, MissingOnesAreRefusedSilently)
{
    const bytes data = pattern(64);
    file_data record, empty, no_data;
    record.data = empty.data = data.data();
    record.length = 64;
    no_data.length = 64;
    const std::uint8_t digest[32] = {};
    mem_buffer buffer;
    backup_download download;
    const std::vector<std::function<int()>> refused = {
        [&] { return transfer_download(nullptr, "h/x", &buffer, 1); },
        [&] { return transfer_download("status", nullptr, &buffer, 1); },
        [&] { return transfer_download("status", "", &buffer, 1); },
        [&] { return transfer_download("status", "h/x", nullptr, 1); },
        [&] { return backup_upload(nullptr, "h", data.data(), 64); },
        [&] { return backup_upload("http://h", nullptr, data.data(), 64); },
        [&] { return backup_upload("http://h", "h", nullptr, 64); },
        [&] { return backup_upload("http://h", "h", data.data(), 0); },
        [&] { return backup_put(nullptr); },
        [&] { return firmware_upgrade(nullptr, digest, 1); },
        [&] { return firmware_upgrade("h", nullptr, 1); },
        [&] { return firmware_push_tftp(nullptr, &record); },
        [&] { return firmware_push_tftp("h", nullptr); },
        [&] { return firmware_push_tftp("h", &empty); },
        [&] { return firmware_push_tftp("h", &no_data); },
        [&] { return backup_fetch(nullptr, "dali1", &download); },
        [&] { return backup_fetch("http://h", nullptr, &download); },
        [&] { return backup_fetch("http://h", "dali1", nullptr); },
    };
    for (std::size_t i = 0; i < refused.size(); ++i) {
        int result = -1;
        const captured_output printed = capture_output([&] { result = refused[i](); });
        EXPECT_EQ(result, 1) << "call " << i;
        EXPECT_EQ(printed.out + printed.err, "") << "call " << i;
    }
}

TEST(TransferArguments, AFetchThatFailsLeavesNothingOfTheRecordBefore)
{
    // A scheme libcurl does not speak fails before anything is contacted.
    backup_download download;
    download.data = pattern(100);
    download.size = 100;
    download.model_name = "VESTRA-4";
    download.firmware_version = "1.3.0";
    int result = -1;
    const captured_output printed = capture_output([&] { result = backup_fetch("mervo://h", "dali 1", &download); });
    EXPECT_EQ(result, 1);
    EXPECT_EQ(printed.out, "backup\tfetching URL 'mervo://h/api/v100/backup.ssi?config=dali%201'.\n");
    EXPECT_EQ(printed.err.rfind("curl_easy_perform() failed: ", 0), 0u) << printed.err;
    EXPECT_EQ(download.size, 0u);
    EXPECT_TRUE(download.data.empty());
    EXPECT_FALSE(download.model_name || download.firmware_version);
}

} // namespace
