// The push_firmware action: against the simulated controller through the real
// binary (the whole standard output compared), and in-process for the paths
// that never reach the controller.
#include "action/push_firmware.h"

#include "../firmware/firmware_files.h"
#include "run.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using fwtest::bytes;

// What the front end prints before it calls the action.
std::string front_lines(const std::string &ip, const std::string &file)
{
    return "mervo-cli\nACTION=push_firmware\nIP=" + ip + "\nFIRMWAREFILE=" + file +
           "\noptAction=push_firmware\noptIP=" + ip + "\noptBackupFileOut=(null)\noptBackupFileOutType=(null)\n";
}

run_result push(const std::string &ip, const std::string &file)
{
    return run_cli({"--action", "push_firmware", "--ip", ip, "--firmwarefile", file});
}

// Everything a successful push prints after the front end's lines.
std::string pushed_lines(const std::string &ip, const bytes &image, const fwtest::image_fields &fields = {})
{
    return "\nPreparing file...\n" + fwtest::info_printout(fields) + "firmware_push_tftp\tpushing URL 'tftp://" + ip +
           "/flashraw.bin'.\nOK\nfirmware\tpushing URL '" + ip + "/api/v100/status.ssi?action=firmwareupgrade&hash=" +
           fwtest::to_hex(fwtest::openssl_sha256(image)) + "&size=" + std::to_string(image.size()) +
           "'.\n{\"action\":\"firmwareupgrade\",\"result\":\"ok\"}\nOK\n";
}

void expect_upgraded(const controller_sim &sim, const bytes &image)
{
    const auto uploaded = sim.flashraw();
    ASSERT_TRUE(uploaded.has_value());
    EXPECT_TRUE(*uploaded == image) << "uploaded " << uploaded->size() << " bytes of " << image.size();
    const auto upgrades = sim.events("upgrade");
    ASSERT_EQ(upgrades.size(), 1u);
    EXPECT_EQ(upgrades[0].get("result"), "ok") << upgrades[0].raw;
    EXPECT_EQ(upgrades[0].get("hash"), fwtest::to_hex(fwtest::openssl_sha256(image)));
    EXPECT_EQ(upgrades[0].get("size"), std::to_string(image.size()));
}

void expect_nothing_sent(const controller_sim &sim)
{
    EXPECT_FALSE(sim.flashraw().has_value());
    EXPECT_TRUE(sim.events("upgrade").empty());
    EXPECT_TRUE(sim.requests("/api/v100/status.ssi", "firmwareupgrade").empty());
}

TEST(PushFirmwareEndToEnd, PackagePush)
{
    fwtest::temp_dir dir;
    fwtest::image_fields fields;
    fields.version_number = 0x80000000u;
    const bytes image = fwtest::make_image(fwtest::IMAGE_MIN + 123457, fields, 3);
    const std::string file = (dir / "vestra-1.4.2.bin").string();
    fwtest::make_standard_package(file, image, "Deflate");
    ASSERT_FALSE(HasFatalFailure());

    controller_sim sim;
    run_result r = push(sim.address(), file);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, front_lines(sim.address(), file) + pushed_lines(sim.address(), image, fields));
    EXPECT_NE(r.out.find("version_number=2147483648\r\n"), std::string::npos);
    expect_upgraded(sim, image);
    // The request came after the upload, and only once.
    EXPECT_EQ(sim.requests("/api/v100/status.ssi", "firmwareupgrade").size(), 1u);
}

TEST(PushFirmwareEndToEnd, RawPush)
{
    fwtest::temp_dir dir;
    const bytes image = fwtest::make_image(fwtest::IMAGE_MIN, {}, 4);
    const std::string file = (dir / "image.binary").string();
    fwtest::write_file(file, image);

    controller_sim sim;
    run_result r = push(sim.address(), file);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, front_lines(sim.address(), file) + pushed_lines(sim.address(), image));
    expect_upgraded(sim, image);
}

TEST(PushFirmwareEndToEnd, LargestImageAsPackage)
{
    fwtest::temp_dir dir;
    const bytes image = fwtest::make_image(fwtest::IMAGE_MAX, {}, 6);
    const std::string file = (dir / "largest.bin").string();
    fwtest::make_standard_package(file, image, "Copy");
    ASSERT_FALSE(HasFatalFailure());

    controller_sim sim;
    run_result r = push(sim.address(), file);
    EXPECT_EQ(r.out, front_lines(sim.address(), file) + pushed_lines(sim.address(), image));
    expect_upgraded(sim, image);
}

TEST(PushFirmwareEndToEnd, DigestMismatchSendsNothing)
{
    fwtest::temp_dir dir;
    const bytes image = fwtest::make_image(fwtest::IMAGE_MIN + 10, {}, 7);
    bytes digest = fwtest::openssl_sha256(image);
    digest[31] ^= 1;
    const std::string file = (dir / "fw.bin").string();
    fwtest::make_package(file, {{"mervo.bh", fwtest::text_bytes(fwtest::to_hex(digest))}, {"mervo.binary", image}});
    ASSERT_FALSE(HasFatalFailure());

    controller_sim sim;
    run_result r = push(sim.address(), file);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, front_lines(sim.address(), file) +
                         "\nPreparing file...\nFile is invalid (h).\nFIRMWARE FILE IS NOT VALID!");
    expect_nothing_sent(sim);
}

TEST(PushFirmwareEndToEnd, RefusedUploadMakesNoRequest)
{
    fwtest::temp_dir dir;
    const bytes image = fwtest::make_image(fwtest::IMAGE_MIN, {}, 8);
    const std::string file = (dir / "fw.binary").string();
    fwtest::write_file(file, image);

    controller_sim sim(sim_options().tftp_mode("refuse"));
    run_result r = push(sim.address(), file);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, front_lines(sim.address(), file) + "\nPreparing file...\n" + fwtest::info_printout() +
                         "firmware_push_tftp\tpushing URL 'tftp://" + sim.address() + "/flashraw.bin'.\n");
    EXPECT_NE(r.err.find("curl_easy_perform() failed: "), std::string::npos) << r.err;
    EXPECT_TRUE(sim.events("upgrade").empty());
    EXPECT_TRUE(sim.requests("/api/v100/status.ssi").empty());
}

TEST(PushFirmwareEndToEnd, FirmwareFileWithoutAddress)
{
    // A pipe nobody writes to: opening it for reading would hang the run.
    fwtest::temp_dir dir;
    const std::string file = (dir / "fw.bin").string();
    ASSERT_EQ(mkfifo(file.c_str(), 0600), 0);
    run_result r = run_cli({"--action", "push_firmware", "--firmwarefile", file}, run_options().timeout(30));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "mervo-cli\nACTION=push_firmware\nFIRMWAREFILE=" + file +
                         "\noptAction=push_firmware\noptIP=(null)\noptBackupFileOut=(null)\n"
                         "optBackupFileOutType=(null)\nMissing arguments for action push_firmware.");
}

TEST(PushFirmwareEndToEnd, AddressWithoutFirmwareFile)
{
    controller_sim sim;
    run_result r = run_cli({"--action", "push_firmware", "--ip", sim.address()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "mervo-cli\nACTION=push_firmware\nIP=" + sim.address() + "\noptAction=push_firmware\noptIP=" +
                         sim.address() +
                         "\noptBackupFileOut=(null)\noptBackupFileOutType=(null)\n\nFile format not supported.\n"
                         "FIRMWARE FILE IS NOT VALID!");
    expect_nothing_sent(sim);
}

// In-process: the action up to the point where it would contact the
// controller. The address is never used on these paths.
std::string action_output(const char *address, const char *file)
{
    return capture_stdout([&] { action_push_firmware(address, file); });
}

TEST(PushFirmware, FileExtension)
{
    EXPECT_EQ(file_extension("fw.bin"), "bin");
    EXPECT_EQ(file_extension("dir/fw.binary"), "binary");
    EXPECT_EQ(file_extension("fw.BIN"), "BIN");
    EXPECT_EQ(file_extension("fw.bin.old"), "old");
    EXPECT_EQ(file_extension("firmware"), "");
    EXPECT_EQ(file_extension(".bin"), "");
    EXPECT_EQ(file_extension("a.bin"), "bin");
    EXPECT_EQ(file_extension("fw."), "");
    EXPECT_EQ(file_extension("v1.2/firmware"), "2/firmware");
    EXPECT_EQ(file_extension(""), "");
    EXPECT_EQ(file_extension(nullptr), "");
    // A view into the path itself.
    const char *path = "x.bin";
    EXPECT_EQ(file_extension(path).data(), path + 2);
}

TEST(PushFirmware, UnsupportedNamesAreNotOpened)
{
    const std::string refused = "\nFile format not supported.\nFIRMWARE FILE IS NOT VALID!";
    for (const char *file : {"fw.BIN", "fw.Binary", "fw.bin.old", "firmware", ".bin", "v1.2/firmware", "fw.bin/"}) {
        EXPECT_EQ(action_output("127.0.0.1:9", file), refused) << file;
    }
    EXPECT_EQ(action_output("127.0.0.1:9", nullptr), refused);
    EXPECT_EQ(action_output(nullptr, "fw.bin"), "Missing arguments for action push_firmware.");
    int result = -1;
    capture_stdout([&] { result = action_push_firmware(nullptr, "fw.bin"); });
    EXPECT_EQ(result, 2);
}

TEST(PushFirmware, InvalidFilesSendNothing)
{
    fwtest::temp_dir dir;
    const std::string not_valid = "FIRMWARE FILE IS NOT VALID!";

    // A raw file that does not exist: the empty image fails the size check.
    EXPECT_EQ(action_output("127.0.0.1:9", (dir / "missing.binary").c_str()), "\nPreparing file...\n" + not_valid);

    // A raw image one byte too short, one byte too long, or of another model.
    const std::string short_file = (dir / "short.binary").string();
    fwtest::write_file(short_file, fwtest::make_image(fwtest::IMAGE_MIN - 1));
    EXPECT_EQ(action_output("127.0.0.1:9", short_file.c_str()), "\nPreparing file...\n" + not_valid);
    const std::string long_file = (dir / "long.binary").string();
    fwtest::write_file(long_file, fwtest::make_image(fwtest::IMAGE_MAX + 1));
    EXPECT_EQ(action_output("127.0.0.1:9", long_file.c_str()), "\nPreparing file...\n" + not_valid);
    fwtest::image_fields other_model;
    other_model.model_name = "VESTRA-8";
    const std::string model_file = (dir / "model.binary").string();
    fwtest::write_file(model_file, fwtest::make_image(fwtest::IMAGE_MIN, other_model));
    EXPECT_EQ(action_output("127.0.0.1:9", model_file.c_str()), "\nPreparing file...\n" + not_valid);

    // A package of another model: digest fine, no information printed.
    const bytes model_image = fwtest::make_image(fwtest::IMAGE_MIN, other_model);
    const std::string model_package = (dir / "model.bin").string();
    fwtest::make_standard_package(model_package, model_image);
    EXPECT_EQ(action_output("127.0.0.1:9", model_package.c_str()), "\nPreparing file...\n" + not_valid);

    // A package whose digest entry is not hexadecimal: no "(h)" line.
    const bytes image = fwtest::make_image(fwtest::IMAGE_MIN);
    const std::string no_digest = (dir / "nodigest.bin").string();
    fwtest::make_package(no_digest, {{"mervo.bh", bytes(64, 'q')}, {"mervo.binary", image}});
    EXPECT_EQ(action_output("127.0.0.1:9", no_digest.c_str()), "\nPreparing file...\n" + not_valid);

    // A package the reader refuses: its message, then the verdict.
    const std::string no_image = (dir / "noimage.bin").string();
    fwtest::make_package(no_image, {{"mervo.bh", fwtest::text_bytes(fwtest::to_hex(fwtest::openssl_sha256(image)))}});
    EXPECT_EQ(action_output("127.0.0.1:9", no_image.c_str()),
              "\nPreparing file...\nFile format is invalid (binary).\n" + not_valid);
}

} // namespace
