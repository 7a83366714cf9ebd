#include "channel_files.h"

#include <gtest/gtest.h>

#include <cstdio>
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

std::string temp_dir()
{
    const auto *info = testing::UnitTest::GetInstance()->current_test_info();
    std::filesystem::path dir = std::filesystem::temp_directory_path() / "mervo-channel-tests" /
                                (std::string(info->test_suite_name()) + "." + info->name());
    std::filesystem::create_directories(dir);
    return dir.string();
}

std::string temp_file(const std::string &name, const std::string &text)
{
    const std::string path = temp_dir() + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    return path;
}

std::vector<std::uint8_t> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void write_file(const std::string &path, const std::vector<std::uint8_t> &bytes)
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
    const std::string path = temp_dir() + "/extract.tar";
    write_file(path, archive);
    const std::string data = run_capture("tar -PxOf '" + path + "' '" + name + "'");
    return {data.begin(), data.end()};
}

std::string gnu_tar_list(const std::vector<std::uint8_t> &archive)
{
    const std::string path = temp_dir() + "/list.tar";
    write_file(path, archive);
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

}  // namespace channel_test
