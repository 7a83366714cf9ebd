#include "action/push_firmware.h"

#include "action/report.h"
#include "base/diag.h"
#include "base/format.h"
#include "controller/transfer.h"
#include "firmware/firmware.h"

#include <cstdio>
#include <cstring>
#include <optional>
#include <vector>

std::string_view file_extension(const char *path)
{
    if (!path)
        return {};
    const char *dot = std::strrchr(path, '.');
    if (!dot || dot == path)
        return {};
    return dot + 1;
}

namespace {

int not_valid(const char *path)
{
    std::fputs("FIRMWARE FILE IS NOT VALID!", stdout);
    record_step("firmware", path, false, 0, "the firmware file is not valid");
    return 1;
}

} // namespace

int action_push_firmware(const char *address, const char *firmware_file)
{
    if (!address) {
        missing_arguments("push_firmware");
        return 2;
    }
    // The path goes into a fixed field; one that does not fit is refused
    // rather than cut (its first 260 characters could name another file).
    if (!path_fits(firmware_file)) {
        diag("--firmwarefile: the path is longer than %zu characters: '%s'", PATH_FIELD_SIZE - 1, firmware_file);
        record_step("firmware", firmware_file, false, 0, "the path is too long");
        return 1;
    }
    file_data file;
    copy_bounded(file.path, firmware_file ? firmware_file : "");
    const std::string_view extension = file_extension(file.path);
    std::puts("");

    // Reading: a package also declares the digest of its image.
    const bool package = extension == "bin";
    if (!package && extension != "binary") {
        std::puts("File format not supported.");
        return not_valid(file.path);
    }
    std::optional<std::vector<std::uint8_t>> stored_digest;
    const int read_result = package ? firmware_package_read(&file, &stored_digest) : firmware_raw_read(&file);

    // Validating.
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_ctx ctx;
    sha256_init(&ctx);
    sha256_update(&ctx, file.data, file.length);
    sha256_final(&ctx, digest);
    if (read_result != 0)
        return not_valid(file.path);
    if (package) {
        const bool present = stored_digest.has_value();
        const bool equal = present && stored_digest->size() == SHA256_DIGEST_SIZE &&
                           std::memcmp(stored_digest->data(), digest, SHA256_DIGEST_SIZE) == 0;
        stored_digest.reset();
        if (!equal) {
            if (present)
                std::puts("File is invalid (h).");
            return not_valid(file.path);
        }
    }
    if (firmware_info_check(file.data, file.length) != 0)
        return not_valid(file.path);

    // Uploading, then asking the controller to install what it received.
    record_step("firmware", file.path, true, file.length);
    const bool uploaded = firmware_push_tftp(address, &file) == 0;
    record_step("upload", "flashraw.bin", uploaded, file.length, transfer_last_error());
    if (!uploaded)
        return 1;
    std::puts("OK");
    const bool requested = firmware_upgrade(address, digest, file.length) == 0;
    record_step("request", "firmwareupgrade", requested, 0, transfer_last_error());
    if (requested)
        std::puts("OK");
    return 1;
}
