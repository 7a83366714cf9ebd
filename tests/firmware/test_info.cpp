// The information block: size limits, model check and the printout.
#include "firmware/info.h"

#include "firmware_files.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

using namespace fwtest;

struct check_outcome {
    int result;
    std::string output;
};

check_outcome check(const bytes &image, std::uint32_t length)
{
    testing::internal::CaptureStdout();
    int result = firmware_info_check(image.empty() ? nullptr : image.data(), length);
    std::fflush(stdout);
    return {result, testing::internal::GetCapturedStdout()};
}

check_outcome check(const bytes &image) { return check(image, static_cast<std::uint32_t>(image.size())); }

TEST(FirmwareInfo, SizeLimits)
{
    check_outcome r = check(make_image(IMAGE_MIN - 1));
    EXPECT_NE(r.result, 0);
    EXPECT_EQ(r.output, "");

    // Exactly long enough: the block is the image's last 184 bytes.
    r = check(make_image(IMAGE_MIN));
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.output, info_printout());

    r = check(make_image(IMAGE_MAX));
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.output, info_printout());

    r = check(make_image(IMAGE_MAX + 1));
    EXPECT_NE(r.result, 0);
    EXPECT_EQ(r.output, "");

    EXPECT_NE(check(bytes{}, 0).result, 0);
    EXPECT_NE(check(bytes{}, IMAGE_MIN).result, 0); // no image at all
    const bytes image = make_image(IMAGE_MIN);
    EXPECT_NE(check(image, 0).result, 0);
}

TEST(FirmwareInfo, GetCopiesTheBlock)
{
    image_fields fields;
    fields.version_number = 0x12345678;
    const bytes image = make_image(IMAGE_MIN + 100, fields);
    firmware_info info;
    ASSERT_EQ(firmware_info_get(image.data(), static_cast<std::uint32_t>(image.size()), &info), 0);
    EXPECT_STREQ(info.model_name, "VESTRA-4");
    EXPECT_STREQ(info.model_description, fields.model_description.c_str());
    EXPECT_STREQ(info.version_string, "1.4.2");
    EXPECT_EQ(info.version_number, 0x12345678u);
    EXPECT_STREQ(info.version_date, "2024-03-18");
    EXPECT_STREQ(info.version_time, "14:02:11");
    EXPECT_EQ(info.leading[0], 0xA0);
    EXPECT_EQ(info.padding, 0xEE);

    firmware_info untouched{};
    untouched.version_number = 7;
    EXPECT_EQ(firmware_info_get(image.data(), IMAGE_MIN - 1, &untouched), 1);
    EXPECT_EQ(untouched.version_number, 7u);
    EXPECT_EQ(firmware_info_get(nullptr, IMAGE_MIN, &untouched), 1);
    EXPECT_EQ(firmware_info_get(image.data(), IMAGE_MIN, nullptr), 1);
}

TEST(FirmwareInfo, ModelName)
{
    // Bytes after the name's NUL are not compared.
    bytes image = make_image(IMAGE_MIN);
    image[INFO_OFFSET + 12 + 9] = 'x';
    image[INFO_OFFSET + 12 + 32] = 'y';
    check_outcome r = check(image);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.output, info_printout());

    for (const std::string &name : std::vector<std::string>{"VESTRA-4 ", "VESTRA-40", "VESTRA-4X long name", "vestra-4", "VESTRA-3", "",
                                   "VESTRA-", std::string(33, 'V')}) {
        image_fields fields;
        fields.model_name = name;
        r = check(make_image(IMAGE_MIN, fields));
        EXPECT_NE(r.result, 0) << "'" << name << "'";
        EXPECT_EQ(r.output, "") << "'" << name << "'";
    }
}

TEST(FirmwareInfo, Printout)
{
    image_fields fields;
    fields.version_number = 1;
    EXPECT_EQ(check(make_image(IMAGE_MIN, fields)).output, info_printout(fields));
    EXPECT_NE(info_printout(fields).find("version_number=1\r\n"), std::string::npos);

    fields.version_number = 0x80000000u;
    check_outcome r = check(make_image(IMAGE_MIN, fields));
    EXPECT_NE(r.output.find("version_number=2147483648\r\n"), std::string::npos);
    fields.version_number = 0xFFFFFFFFu;
    r = check(make_image(IMAGE_MIN, fields));
    EXPECT_NE(r.output.find("version_number=4294967295\r\n"), std::string::npos);

    // Texts filling their whole 33 bytes (no NUL) stop at the field's end.
    fields.model_description = std::string(33, 'D');
    fields.version_string = std::string(33, 'S');
    fields.version_date = std::string(33, 'T');
    fields.version_time = std::string(33, 'U');
    fields.version_number = 3;
    r = check(make_image(IMAGE_MIN + 1, fields));
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.output, info_printout(fields));
    EXPECT_EQ(r.output,
              "\r\n== Firmware Info ==\r\nmodel_name=VESTRA-4\r\nmodel_description=" + std::string(33, 'D') +
                  "\r\nversion_string=" + std::string(33, 'S') + "\r\nversion_number=3\r\nversion_date=" +
                  std::string(33, 'T') + "\r\nversion_time=" + std::string(33, 'U') + "\r\n== ==\r\n\r\n");
}

} // namespace
