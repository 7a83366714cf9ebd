// The information block: size limits, model check and the printout.
#include "firmware/info.h"

#include "firmware_files.h"

#include <gtest/gtest.h>

namespace {

using namespace fwtest;

struct check_outcome {
    int result;
    std::string output;
};

check_outcome check(const bytes &image, std::size_t length)
{
    check_outcome r{};
    r.output = capture_stdout([&] {
        r.result = firmware_info_check(image.empty() ? nullptr : image.data(), static_cast<std::uint32_t>(length));
    });
    return r;
}

check_outcome check(const bytes &image) { return check(image, image.size()); }

TEST(FirmwareInfo, SizeLimitsAndModelName)
{
    // The block is the last 184 bytes of the shortest image.
    for (std::size_t size : {IMAGE_MIN, IMAGE_MAX}) {
        const check_outcome r = check(make_image(size));
        EXPECT_EQ(r.result, 0) << size;
        EXPECT_EQ(r.output, info_printout()) << size;
    }
    for (std::size_t size : {IMAGE_MIN - 1, IMAGE_MAX + 1}) {
        const check_outcome r = check(make_image(size));
        EXPECT_NE(r.result, 0) << size;
        EXPECT_EQ(r.output, "") << size;
    }
    EXPECT_NE(check(bytes{}, IMAGE_MIN).result, 0); // no image at all
    EXPECT_NE(check(make_image(IMAGE_MIN), 0).result, 0);

    // Bytes after the name's NUL are not compared...
    bytes image = make_image(IMAGE_MIN);
    image[INFO_OFFSET + 12 + 9] = 'x';
    image[INFO_OFFSET + 12 + 32] = 'y';
    EXPECT_EQ(check(image).output, info_printout());
    // ... but the name itself is, whole and exactly.
    for (const std::string name : {"VESTRA-4 ", "VESTRA-40", "vestra-4", "VESTRA-3", "", "VESTRA-"}) {
        image_fields fields;
        fields.model_name = name;
        const check_outcome r = check(make_image(IMAGE_MIN, fields));
        EXPECT_NE(r.result, 0) << "'" << name << "'";
        EXPECT_EQ(r.output, "") << "'" << name << "'";
    }
}

TEST(FirmwareInfo, Printout)
{
    // The version number unsigned; texts filling all 33 bytes (no NUL) stop
    // at their field's end.
    image_fields fields;
    for (std::uint32_t number : {0x80000000u, 0xFFFFFFFFu}) {
        fields.version_number = number;
        EXPECT_EQ(check(make_image(IMAGE_MIN, fields)).output, info_printout(fields));
    }
    fields.model_description = std::string(33, 'D');
    fields.version_string = std::string(33, 'S');
    fields.version_date = std::string(33, 'T');
    fields.version_time = std::string(33, 'U');
    EXPECT_EQ(check(make_image(IMAGE_MIN + 1, fields)).output, info_printout(fields));
}

} // namespace
