// Bringing channel files to the layout of the controller's firmware. The
// expected files are built here from literal offsets, independently of the
// layout table the conversion uses.
#include "model/convert.h"
#include "model/channel_file.h"

#include "channel_files.h"

#include <cstring>

namespace {

std::uint32_t u32(const bytes &b, std::size_t at)
{
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}

void put32(bytes &b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void copy(bytes &to, std::size_t to_at, const bytes &from, std::size_t from_at, std::size_t count)
{
    std::memcpy(to.data() + to_at, from.data() + from_at, count);
}

// Device types of the entries: with and without type data, and some others.
const std::uint8_t TYPES[] = {3, 5, 6, 8, 0, 255, 7, 5};

// A file of `size` bytes whose bytes differ from their neighbours, with the
// given layout version and revision, and device types set in entries of
// `entry_size` bytes.
bytes patterned(std::uint32_t size, std::uint32_t layout, std::uint32_t revision, std::uint32_t entry_size)
{
    bytes file(size);
    for (std::uint32_t i = 0; i < size; ++i)
        file[i] = static_cast<std::uint8_t>((i * 11 + 5 + i / 253) & 0xFF);
    put32(file, 0, size);
    put32(file, 8, layout);
    put32(file, 12, revision);
    for (std::uint32_t i = 0; i < 64 && 60 + entry_size * i + 42 < size; ++i)
        file[60 + entry_size * i + 42] = TYPES[i % 8];
    return file;
}

void finish(bytes &out, std::uint32_t layout, std::uint32_t revision)
{
    put32(out, 0, static_cast<std::uint32_t>(out.size()));
    put32(out, 8, layout);
    put32(out, 12, revision);
    put32(out, 4, channel_checksum(out));
}

bytes expected_1_to_2(const bytes &in)
{
    bytes out(10912, 0);
    copy(out, 0, in, 0, 59);
    for (std::size_t i = 0; i < 64; ++i) {
        const std::size_t s = 60 + 152 * i, d = 60 + 160 * i;
        const std::uint8_t type = in[s + 42];
        copy(out, d, in, s, 43);
        out[d + 44] = (type == 5 || type == 6 || type == 8) ? type : 255;
        out[d + 45] = 255;
        if (type == 5) {
            copy(out, d + 46, in, s + 44, 2);
            out[d + 48] = in[s + 46];
        }
        if (type == 6) {
            copy(out, d + 49, in, s + 44, 4);
            copy(out, d + 53, in, s + 48, 2);
            out[d + 55] = in[s + 50];
        }
        if (type == 8) {
            copy(out, d + 56, in, s + 44, 48);
            copy(out, d + 104, in, s + 92, 2);
        }
        copy(out, d + 106, in, s + 94, 33);
        out[d + 139] = in[s + 127];
        copy(out, d + 140, in, s + 128, 4);
        copy(out, d + 144, in, s + 136, 16);
    }
    copy(out, 10300, in, 9788, 608);
    copy(out, 10908, in, 11164, 4);
    finish(out, 2, u32(in, 12) + 1);
    return out;
}

bytes expected_2_to_3(const bytes &in)
{
    bytes out(7072, 0);
    copy(out, 0, in, 0, 59);
    for (std::size_t i = 0; i < 64; ++i) {
        const std::size_t s = 60 + 160 * i, d = 60 + 100 * i;
        copy(out, d, in, s, 43);
        out[d + 43] = in[s + 44];
        out[d + 44] = in[s + 45];
        copy(out, d + 45, in, s + 106, 33);
        out[d + 78] = in[s + 139];
        copy(out, d + 80, in, s + 140, 4);
        copy(out, d + 84, in, s + 144, 16);
    }
    copy(out, 6460, in, 10300, 608);
    copy(out, 7068, in, 10908, 4);
    finish(out, 3, u32(in, 12) + 1);
    return out;
}

struct outcome {
    unsigned result;
    bytes out;
    std::string output;
};

outcome convert(std::uint32_t kind, const char *firmware, const bytes &in)
{
    outcome o{};
    o.out = {0xEE};  // whatever the caller had is dropped
    o.output = capture_stdout(
        [&] { o.result = config_convert(kind, firmware, in.data(), static_cast<std::uint32_t>(in.size()), &o.out); });
    return o;
}

}  // namespace

TEST(ConfigConvert, EachStepByteForByte)
{
    // Entry 0 is of type 3 (no type data), entry 1 of type 5, 2 of type 6, 3 of type 8.
    const bytes in1 = patterned(11168, 1, 7, 152);
    bytes in2(10912, 0xCC), out(7072, 0xCC), direct(7072, 0xCC);
    ASSERT_EQ(dali_convert_1_to_2(in2.data(), in1.data()), 0);
    const bytes expected2 = expected_1_to_2(in1);
    EXPECT_EQ(in2, expected2) << where_different(in2, expected2);
    EXPECT_EQ(u32(in2, 12), 8u);

    ASSERT_EQ(dali_convert_2_to_3(out.data(), in2.data()), 0);
    const bytes expected3 = expected_2_to_3(in2);
    EXPECT_EQ(out, expected3) << where_different(out, expected3);
    EXPECT_EQ(u32(out, 12), 9u);

    // One step from layout 1: the same bytes, the revision raised once.
    ASSERT_EQ(dali_convert_1_to_3(direct.data(), in1.data()), 0);
    bytes two_steps = out;
    put32(two_steps, 12, 8);
    put32(two_steps, 4, channel_checksum(two_steps));
    EXPECT_EQ(direct, two_steps) << where_different(direct, two_steps);

    // A layout 2 file not made by this tool: marker bytes carried as they are.
    const bytes raw2 = patterned(10912, 2, 0xFFFFFFFF, 160);
    ASSERT_EQ(dali_convert_2_to_3(out.data(), raw2.data()), 0);
    const bytes expected_raw = expected_2_to_3(raw2);
    EXPECT_EQ(out, expected_raw) << where_different(out, expected_raw);

    EXPECT_EQ(dali_convert_1_to_2(nullptr, in1.data()), 1);
    EXPECT_EQ(dali_convert_1_to_2(out.data(), nullptr), 1);
    EXPECT_EQ(dali_convert_2_to_3(nullptr, in2.data()), 1);
    EXPECT_EQ(dali_convert_1_to_3(out.data(), nullptr), 1);
}

TEST(ConfigConvert, VersionIndex)
{
    struct row {
        const char *version;
        std::uint32_t index;
    };
    for (const row &r : {row{"1.10.0", 3}, row{"2.0.0", 3}, row{"1.5.1", 3}, row{"1.5.0", 3}, row{"1.4.0", 2},
                         row{"1.3.1", 2}, row{"1.3.0a", 1}, row{"1.3.0", 1}, row{"1.2.9", 0}, row{"1.0.0", 0},
                         row{"0.9", 0}, row{"", 0}, row{"x", 0}}) {
        EXPECT_EQ(config_version_index(r.version), r.index) << r.version;
    }
    EXPECT_EQ(config_version_index(nullptr), 0u);
}

TEST(ConfigConvert, ChannelFileRules)
{
    const bytes layout1 = patterned(11168, 1, 7, 152);
    const bytes layout0 = patterned(11168, 0, 7, 152);
    const bytes layout2 = patterned(10912, 2, 7, 160);
    const bytes layout3 = patterned(7072, 3, 7, 100);
    bytes to2(10912), to3(7072), from2(7072);
    dali_convert_1_to_2(to2.data(), layout1.data());
    dali_convert_1_to_3(to3.data(), layout1.data());
    dali_convert_2_to_3(from2.data(), layout2.data());
    const bytes to2_from0 = [&] {
        bytes b(10912);
        dali_convert_1_to_2(b.data(), layout0.data());
        return b;
    }();

    enum { same, converted_2, converted_3, converted_2_to_3, refused_loud, refused_quiet };
    struct rule {
        const bytes *file;
        const char *firmware;  // index 0: 1.0.0 or none, 1: 1.3.0, 2: 1.4.0, 3: 1.10.0
        int effect;
        const char *message;
    };
    const bytes layout4 = patterned(7072, 4, 7, 100);
    const bytes short1 = patterned(11000, 1, 7, 152);
    const bytes short2 = patterned(10000, 2, 7, 152);
    for (const rule &r : {
             rule{&layout1, "1.0.0", same, ""},
             rule{&layout1, nullptr, same, ""},
             rule{&layout0, "1.3.0", same, ""},
             rule{&layout1, "1.4.0", converted_2, ""},
             rule{&layout0, "1.3.1", converted_2, ""},
             rule{&layout1, "1.10.0", converted_3, ""},
             rule{&layout2, "1.4.0", same, ""},
             rule{&layout2, "1.5.0", converted_2_to_3, ""},
             rule{&layout2, "1.3.0", refused_loud, "CONFIGURATION CONVERSION VERSION 2 to 1 IS NOT SUPPORTED!"},
             rule{&layout2, "1.2.9", refused_loud, "CONFIGURATION CONVERSION VERSION 2 to 0 IS NOT SUPPORTED!"},
             rule{&layout2, nullptr, refused_loud, "CONFIGURATION CONVERSION VERSION 2 to 0 IS NOT SUPPORTED!"},
             rule{&layout3, "2.0.0", same, ""},
             rule{&layout3, "1.4.0", refused_loud, "CONFIGURATION CONVERSION VERSION 3 to 2 IS NOT SUPPORTED!"},
             rule{&layout3, "1.3.0", refused_loud, "CONFIGURATION CONVERSION VERSION 3 to 1 IS NOT SUPPORTED!"},
             rule{&layout3, "1.0.0", refused_loud, "CONFIGURATION CONVERSION VERSION 3 to 0 IS NOT SUPPORTED!"},
             rule{&layout4, "1.5.0", refused_quiet, ""},
             rule{&layout4, "1.0.0", refused_quiet, ""},
             rule{&short1, "1.4.0", refused_quiet, ""},
             rule{&short1, "1.5.0", refused_quiet, ""},
             rule{&short1, "1.3.0", same, ""},
             rule{&short2, "1.5.0", refused_quiet, ""},
         }) {
        for (std::uint32_t kind = 1; kind <= 4; ++kind) {
            const std::string label = std::string("layout ") + std::to_string(u32(*r.file, 8)) + ", size " +
                                      std::to_string(r.file->size()) + ", firmware " +
                                      (r.firmware ? r.firmware : "(none)") + ", kind " + std::to_string(kind);
            const outcome o = convert(kind, r.firmware, *r.file);
            EXPECT_EQ(o.output, r.message) << label;
            switch (r.effect) {
            case same: EXPECT_EQ(o.result, 0u) << label; EXPECT_EQ(o.out, *r.file) << label; break;
            case converted_2:
                EXPECT_EQ(o.result, 0u) << label;
                EXPECT_EQ(o.out, r.file == &layout0 ? to2_from0 : to2) << label;
                break;
            case converted_3: EXPECT_EQ(o.result, 0u) << label; EXPECT_EQ(o.out, to3) << label; break;
            case converted_2_to_3: EXPECT_EQ(o.result, 0u) << label; EXPECT_EQ(o.out, from2) << label; break;
            default: EXPECT_EQ(o.result, 2u) << label; EXPECT_TRUE(o.out.empty()) << label; break;
            }
        }
    }

    // A file too short to hold its layout version cannot be judged.
    const bytes tiny(10, 1);
    EXPECT_EQ(convert(1, "1.3.0", tiny).result, 2u);

    // No firmware version counts as the oldest.
    bytes out;
    EXPECT_EQ(config_convert(2, nullptr, layout1.data(), 11168, &out), 0u);
    EXPECT_EQ(out, layout1);
}

TEST(ConfigConvert, OtherKinds)
{
    const bytes cd2 = patterned(3000, 2, 1, 100);
    const bytes cd3 = patterned(3000, 3, 1, 100);
    const bytes cd0 = patterned(3000, 0, 1, 100);
    for (std::uint32_t kind = 5; kind <= 8; ++kind) {
        for (const char *firmware : {"1.0.0", "1.5.0"}) {
            outcome o = convert(kind, firmware, cd2);
            EXPECT_EQ(o.result, 0u);
            EXPECT_EQ(o.out, cd2);
            o = convert(kind, firmware, cd0);
            EXPECT_EQ(o.result, 0u);
            EXPECT_EQ(o.out, cd0);
            o = convert(kind, firmware, cd3);
            EXPECT_EQ(o.result, 2u) << kind;
            EXPECT_TRUE(o.out.empty());
            EXPECT_EQ(o.output, "");
        }
    }
    // System configuration, schedules and rlc go up as they are, whatever
    // their bytes say.
    for (std::uint32_t kind : {0u, 9u, 10u}) {
        outcome o = convert(kind, "1.5.0", cd3);
        EXPECT_EQ(o.result, 0u) << kind;
        EXPECT_EQ(o.out, cd3) << kind;
        o = convert(kind, "1.5.0", bytes{1, 2, 3});
        EXPECT_EQ(o.result, 0u) << kind;
        EXPECT_EQ(o.out, (bytes{1, 2, 3})) << kind;
    }
    // An unknown kind is refused without a message.
    for (std::uint32_t kind : {11u, 99u, 0xFFFFFFFFu}) {
        const outcome o = convert(kind, "1.3.0", cd2);
        EXPECT_EQ(o.result, 2u) << kind;
        EXPECT_TRUE(o.out.empty());
        EXPECT_EQ(o.output, "");
    }
    // Empty input that goes up unchanged: success without bytes. Null data: 1.
    const char *status = "1.3.0";
    const std::uint8_t none = 0;
    bytes out = {7};
    EXPECT_EQ(config_convert(0, status, &none, 0, &out), 0u);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(config_convert(0, status, nullptr, 5, &out), 1u);
    EXPECT_EQ(config_convert(0, status, &none, 1, nullptr), 1u);
}
