// The push_firmware action: against the simulated controller through the real
// binary (the whole standard output compared), and in-process for the paths
// that never reach the controller.
#include "action/push_firmware.h"

#include "../firmware/firmware_files.h"
#include "expect.h"
#include "run.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

namespace {

using fwtest::bytes;

run_result push(const std::string &ip, const std::string &file)
{
    return run_cli({"--action", "push_firmware", "--ip", ip, "--firmwarefile", file});
}

// What the front end prints before it calls the action.
std::string front_lines(const std::string &ip, const std::string &file)
{
    return "mervo-cli\nACTION=push_firmware\nIP=" + ip + "\nFIRMWAREFILE=" + file + "\n" +
           option_values("push_firmware", ip);
}

const std::string NOT_VALID = "FIRMWARE FILE IS NOT VALID!";

TEST(PushFirmwareEndToEnd, PackageAndRawImage)
{
    temp_dir dir;
    fwtest::image_fields fields;
    fields.version_number = 0x80000000u;
    const bytes packed = fwtest::make_image(fwtest::IMAGE_MIN + 123457, fields, 3);
    fwtest::make_standard_package(dir.file("vestra-1.4.2.bin"), packed, "Deflate");
    const bytes raw = fwtest::make_image(fwtest::IMAGE_MIN, {}, 4);
    ASSERT_TRUE(write_file(dir.file("image.binary"), raw));

    for (const auto &[file, image, info] : {std::tuple(dir.file("vestra-1.4.2.bin"), packed, fields),
                                            std::tuple(dir.file("image.binary"), raw, fwtest::image_fields())}) {
        SCOPED_TRACE(file);
        controller_sim sim;
        const std::string hash = fwtest::to_hex(fwtest::openssl_sha256(image));
        const run_result r = push(sim.address(), file);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, front_lines(sim.address(), file) + "\nPreparing file...\n" + fwtest::info_printout(info) +
                             pushing_line("firmware_push_tftp", "tftp://" + sim.address() + "/flashraw.bin") + "OK\n" +
                             pushing_line("firmware", sim.address() + "/api/v100/status.ssi?action=firmwareupgrade&hash=" +
                                                          hash + "&size=" + std::to_string(image.size())) +
                             "{\"action\":\"firmwareupgrade\",\"result\":\"ok\"}\nOK\n");
        // The image arrived whole, and the controller found its digest and size.
        EXPECT_TRUE(sim.flashraw() == image);
        const std::vector<sim_event> upgrades = sim.events("upgrade");
        ASSERT_EQ(upgrades.size(), 1u);
        EXPECT_EQ(upgrades[0].get("result"), "ok") << upgrades[0].raw;
        EXPECT_EQ(upgrades[0].get("hash"), hash);
        EXPECT_EQ(upgrades[0].get("size"), std::to_string(image.size()));
    }
}

TEST(PushFirmwareEndToEnd, DigestMismatchOrNoAddressSendsNothing)
{
    temp_dir dir;
    const bytes image = fwtest::make_image(fwtest::IMAGE_MIN + 10, {}, 7);
    bytes digest = fwtest::openssl_sha256(image);
    digest[31] ^= 1;
    fwtest::make_package(dir.file("fw.bin"), {{"mervo.bh", text_bytes(fwtest::to_hex(digest))}, {"mervo.binary", image}});

    // A digest that does not match: nothing sent.
    controller_sim sim;
    run_result r = push(sim.address(), dir.file("fw.bin"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, front_lines(sim.address(), dir.file("fw.bin")) + "\nPreparing file...\nFile is invalid (h).\n" + NOT_VALID);
    EXPECT_FALSE(sim.flashraw().has_value());
    EXPECT_TRUE(sim.requests("/api/v100/status.ssi").empty());

    // No address: the file is not even opened (a pipe nobody writes to would
    // hang the run).
    ASSERT_EQ(mkfifo(dir.file("pipe.bin").c_str(), 0600), 0);
    r = run_cli({"--action", "push_firmware", "--firmwarefile", dir.file("pipe.bin")}, run_options().timeout(30));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "mervo-cli\nACTION=push_firmware\nFIRMWAREFILE=" + dir.file("pipe.bin") + "\n" +
                         option_values("push_firmware", "(null)") + "Missing arguments for action push_firmware.");
}

TEST(PushFirmwareEndToEnd, RefusedUploadMakesNoRequest)
{
    temp_dir dir;
    ASSERT_TRUE(write_file(dir.file("fw.binary"), fwtest::make_image(fwtest::IMAGE_MIN, {}, 8)));
    controller_sim refusing(sim_options().tftp_mode("refuse"));
    const run_result r = push(refusing.address(), dir.file("fw.binary"));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, front_lines(refusing.address(), dir.file("fw.binary")) + "\nPreparing file...\n" +
                         fwtest::info_printout() +
                         pushing_line("firmware_push_tftp", "tftp://" + refusing.address() + "/flashraw.bin"));
    EXPECT_NE(r.err.find("curl_easy_perform() failed: "), std::string::npos) << r.err;
    EXPECT_TRUE(refusing.requests("/api/v100/status.ssi").empty());
}

// In-process: the action up to the point where it would contact the
// controller. The address is never used on these paths.
std::string action_output(const std::string &file)
{
    return capture_stdout([&] { action_push_firmware("127.0.0.1:9", file.c_str()); });
}

TEST(PushFirmware, FileNames)
{
    const struct {
        const char *path;
        const char *extension;
    } names[] = {{"fw.bin", "bin"},       {"dir/fw.binary", "binary"}, {"fw.BIN", "BIN"},
                 {"fw.bin.old", "old"},   {"firmware", ""},            {".bin", ""},
                 {"fw.", ""},             {"v1.2/firmware", "2/firmware"}, {"", ""}};
    for (const auto &n : names)
        EXPECT_EQ(file_extension(n.path), n.extension) << n.path;
    EXPECT_EQ(file_extension(nullptr), "");

    // Only ".bin" (a package) and ".binary" (a raw image), in lower case.
    const std::string refused = "\nFile format not supported.\n" + NOT_VALID;
    for (const char *file : {"fw.BIN", "fw.Binary", "fw.bin.old", "firmware", ".bin", "v1.2/firmware", "fw.bin/"})
        EXPECT_EQ(action_output(file), refused) << file;
    EXPECT_EQ(capture_stdout([] { action_push_firmware("127.0.0.1:9", nullptr); }), refused);
}

TEST(PushFirmware, InvalidFilesSendNothing)
{
    temp_dir dir;
    const std::string preparing = "\nPreparing file...\n";
    fwtest::image_fields other_model;
    other_model.model_name = "VESTRA-8";
    const bytes image = fwtest::make_image(fwtest::IMAGE_MIN);

    // A missing raw file (an empty image), images one byte too short or too
    // long, of another model: the size and model checks say nothing.
    ASSERT_TRUE(write_file(dir.file("short.binary"), fwtest::make_image(fwtest::IMAGE_MIN - 1)));
    ASSERT_TRUE(write_file(dir.file("long.binary"), fwtest::make_image(fwtest::IMAGE_MAX + 1)));
    ASSERT_TRUE(write_file(dir.file("model.binary"), fwtest::make_image(fwtest::IMAGE_MIN, other_model)));
    fwtest::make_standard_package(dir.file("model.bin"), fwtest::make_image(fwtest::IMAGE_MIN, other_model));
    // A digest entry that is no hexadecimal: no "(h)" line either.
    fwtest::make_package(dir.file("nodigest.bin"), {{"mervo.bh", bytes(64, 'q')}, {"mervo.binary", image}});
    for (const char *name : {"missing.binary", "short.binary", "long.binary", "model.binary", "model.bin", "nodigest.bin"})
        EXPECT_EQ(action_output(dir.file(name)), preparing + NOT_VALID) << name;

    // A package the reader refuses: its message, then the verdict.
    fwtest::make_package(dir.file("noimage.bin"),
                         {{"mervo.bh", text_bytes(fwtest::to_hex(fwtest::openssl_sha256(image)))}});
    EXPECT_EQ(action_output(dir.file("noimage.bin")), preparing + "File format is invalid (binary).\n" + NOT_VALID);
}

} // namespace
