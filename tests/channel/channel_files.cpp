#include "channel_files.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace channel_test {

std::vector<std::uint8_t> patterned_file(std::uint32_t size, std::uint32_t layout_version, std::uint32_t seed)
{
    std::vector<std::uint8_t> file(size);
    for (std::uint32_t i = 0; i < size; ++i)
        file[i] = static_cast<std::uint8_t>((i * 7 + seed * 13 + i / 251) & 0xFF);
    if (size >= DALI_DEVICES) {
        dali_put_u32(file.data(), DALI_FILE_SIZE, size);
        dali_put_u32(file.data(), DALI_LAYOUT_VERSION, layout_version);
    }
    return file;
}

std::vector<std::uint8_t> make_archive(const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> &entries)
{
    tar_t tar;
    tar_mem_open_write(&tar);
    for (const auto &[name, data] : entries) {
        EXPECT_EQ(tar_write_file_header(&tar, name.c_str(), static_cast<std::uint32_t>(data.size())), 0);
        if (!data.empty()) {
            EXPECT_EQ(tar_write_data(&tar, data.data(), static_cast<std::uint32_t>(data.size())), 0);
        }
    }
    EXPECT_EQ(tar_finalize(&tar), 0);
    return tar_mem_take(&tar);
}

backup_download make_download(std::vector<std::uint8_t> archive, const char *firmware_version)
{
    backup_download download;
    download.size = static_cast<std::uint32_t>(archive.size());
    download.data = std::move(archive);
    if (firmware_version != nullptr)
        download.firmware_version = firmware_version;
    return download;
}

std::string scratch_dir()
{
    const auto *info = testing::UnitTest::GetInstance()->current_test_info();
    std::filesystem::path dir = std::filesystem::temp_directory_path() / "mervo-channel-tests" /
                                (std::string(info->test_suite_name()) + "." + info->name());
    std::filesystem::create_directories(dir);
    return dir.string();
}

std::string scratch_file(const std::string &name, const std::string &text)
{
    const std::string path = scratch_dir() + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::string huge_field_csv()
{
    const std::string path = scratch_dir() + "/huge.csv";
    std::ofstream out(path, std::ios::binary);
    out << "#dali-channel-csv-version: 1\n";
    const std::string block(1 << 20, 'a');
    for (int i = 0; i < 64; ++i)
        out << block;
    return path;
}

std::vector<std::uint8_t> read_bytes(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_bytes(const std::string &path, const std::vector<std::uint8_t> &bytes)
{
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                static_cast<std::streamsize>(bytes.size()));
}

namespace {
std::string run_capture(const std::string &command)
{
    std::string out;
    std::FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return out;
    char chunk[4096];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, pipe)) != 0;)
        out.append(chunk, n);
    EXPECT_EQ(pclose(pipe), 0) << command;
    return out;
}
}  // namespace

std::vector<std::uint8_t> gnu_tar_extract(const std::vector<std::uint8_t> &archive, const std::string &name)
{
    const std::string path = scratch_dir() + "/extract.tar";
    write_bytes(path, archive);
    const std::string data = run_capture("tar -PxOf '" + path + "' '" + name + "'");
    return {data.begin(), data.end()};
}

std::string gnu_tar_list(const std::vector<std::uint8_t> &archive)
{
    const std::string path = scratch_dir() + "/list.tar";
    write_bytes(path, archive);
    return run_capture("tar -Ptvf '" + path + "'");
}

std::vector<std::uint32_t> differing_offsets(const std::uint8_t *a, const std::uint8_t *b, std::uint32_t size)
{
    std::vector<std::uint32_t> offsets;
    for (std::uint32_t i = 0; i < size; ++i)
        if (a[i] != b[i])
            offsets.push_back(i);
    return offsets;
}

std::uint32_t expected_checksum(std::vector<std::uint8_t> file)
{
    dali_put_u32(file.data(), DALI_CHECKSUM, 0);
    return dali_file_crc(file.data(), static_cast<std::uint32_t>(file.size())) & 0xFFFF;
}

void apply_expected(std::uint8_t *file, std::uint32_t slot, const device_values &v)
{
    std::uint8_t *e = file + DALI_DEVICES + 152 * slot;
    e[36] = 255;
    dali_put_u32(e, 0, dali_get_u32(e, 0) | v.add_flags);
    if (v.short_address >= 0)
        e[11] = static_cast<std::uint8_t>(2 * v.short_address + 1);
    std::memset(e + 94, 0, 33);
    std::memcpy(e + 94, v.name, std::min<std::size_t>(std::strlen(v.name), 32));
    dali_put_u16(e, 18, v.groups);
    const std::uint8_t levels[] = {v.power_on, v.system_failure, v.min, v.max, v.fade_rate, v.fade_time};
    std::memcpy(e + 5, levels, sizeof levels);
    std::memset(e + 20, 255, 16);
    std::copy(v.scenes.begin(), v.scenes.end(), e + 20);
}

}  // namespace channel_test
