// The information block: size limits, model check and the printout.
#include "firmware/info.h"

#include "support.h"

namespace {

constexpr std::size_t INFO_OFFSET = 1835008, IMAGE_MIN = 1835192, IMAGE_MAX = 16777214;

struct image_fields {
    std::string model_name = "VESTRA-4";
    std::string model_description = "DALI gateway, 4 lines";
    std::string version_string = "1.4.2";
    std::uint32_t version_number = 0x00010402;
    std::string version_date = "2024-03-18";
    std::string version_time = "14:02:11";
};

// An image of `size` bytes of filler, and the information block at its fixed
// place when the image is long enough (text fields of 33 bytes, the rest zero).
bytes make_image(std::size_t size, const image_fields &fields = {})
{
    bytes image(size, 0x5A);
    if (size < IMAGE_MIN)
        return image;
    const auto put = [&](std::size_t at, const std::string &text) {
        for (std::size_t i = 0; i < 33; ++i)
            image[INFO_OFFSET + at + i] = i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0;
    };
    put(12, fields.model_name);
    put(45, fields.model_description);
    put(78, fields.version_string);
    for (int i = 0; i < 4; ++i)
        image[INFO_OFFSET + 112 + i] = static_cast<std::uint8_t>(fields.version_number >> (8 * i));
    put(116, fields.version_date);
    put(149, fields.version_time);
    return image;
}

std::string printout(const image_fields &f = {})
{
    return "\r\n== Firmware Info ==\r\nmodel_name=" + f.model_name.substr(0, 33) +
           "\r\nmodel_description=" + f.model_description.substr(0, 33) + "\r\nversion_string=" +
           f.version_string.substr(0, 33) + "\r\nversion_number=" + std::to_string(f.version_number) +
           "\r\nversion_date=" + f.version_date.substr(0, 33) + "\r\nversion_time=" + f.version_time.substr(0, 33) +
           "\r\n== ==\r\n\r\n";
}

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
        EXPECT_EQ(r.output, printout()) << size;
    }
    for (std::size_t size : {IMAGE_MIN - 1, IMAGE_MAX + 1}) {
        const check_outcome r = check(make_image(size));
        EXPECT_NE(r.result, 0) << size;
        EXPECT_EQ(r.output, "") << size;
    }
    EXPECT_NE(check(bytes{}, IMAGE_MIN).result, 0); // no image at all
    EXPECT_NE(check(make_image(IMAGE_MIN), 0).result, 0);
    // The block is read only from an image that holds it, whatever the buffer.
    firmware_info info{};
    const bytes whole = make_image(IMAGE_MIN);
    EXPECT_EQ(firmware_info_get(whole.data(), IMAGE_MIN, &info), 0);
    EXPECT_EQ(firmware_info_get(whole.data(), IMAGE_MIN - 1, &info), 1);
    EXPECT_EQ(firmware_info_get(nullptr, IMAGE_MIN, &info), 1);
    EXPECT_EQ(firmware_info_get(whole.data(), IMAGE_MIN, nullptr), 1);

    // Bytes after the name's NUL are not compared, but the name itself is,
    // whole and exactly.
    bytes image = make_image(IMAGE_MIN);
    image[INFO_OFFSET + 12 + 9] = 'x';
    image[INFO_OFFSET + 12 + 32] = 'y';
    EXPECT_EQ(check(image).output, printout());
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
        EXPECT_EQ(check(make_image(IMAGE_MIN, fields)).output, printout(fields));
    }
    fields.model_description = std::string(33, 'D');
    fields.version_string = std::string(33, 'S');
    fields.version_date = std::string(33, 'T');
    fields.version_time = std::string(33, 'U');
    EXPECT_EQ(check(make_image(IMAGE_MIN + 1, fields)).output, printout(fields));
}

} // namespace
