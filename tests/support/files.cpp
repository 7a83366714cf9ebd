#include "files.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

temp_dir::temp_dir()
{
    std::error_code ec;
    std::string pattern = (std::filesystem::temp_directory_path(ec) / "mervo-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("cannot create a temporary directory");
    path_ = pattern;
}

temp_dir::~temp_dir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::optional<std::vector<std::uint8_t>> read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::vector<std::uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return data;
}

std::optional<std::string> read_text(const std::string &path)
{
    const auto data = read_file(path);
    if (!data)
        return std::nullopt;
    return std::string(data->begin(), data->end());
}

bool write_file(const std::string &path, std::string_view content)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    out.close();
    return static_cast<bool>(out);
}

bool write_file(const std::string &path, const std::vector<std::uint8_t> &content)
{
    return write_file(path, std::string_view(reinterpret_cast<const char *>(content.data()), content.size()));
}

std::vector<std::string> files_in(const std::string &directory)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto &entry : std::filesystem::directory_iterator(directory, ec))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}
