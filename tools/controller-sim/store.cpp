#include "store.h"

#include "archive.h"

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <memory>

namespace {

// Factory content carries one fixed time, so that its archives are the same on every run.
constexpr std::time_t FACTORY_MTIME = 1623672000; // 2021-06-14 12:00 UTC

struct file_closer {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using file_handle = std::unique_ptr<std::FILE, file_closer>;

} // namespace

std::optional<bytes> read_whole_file(const std::string &path)
{
    file_handle file(std::fopen(path.c_str(), "rb"));
    if (!file)
        return std::nullopt;
    bytes data;
    std::uint8_t block[16384];
    for (;;) {
        const std::size_t got = std::fread(block, 1, sizeof block, file.get());
        data.insert(data.end(), block, block + got);
        if (got < sizeof block)
            break;
    }
    if (std::ferror(file.get()))
        return std::nullopt;
    return data;
}

bool write_whole_file(const std::string &path, const bytes &data)
{
    const std::string part = path + ".part";
    {
        file_handle file(std::fopen(part.c_str(), "wb"));
        if (!file)
            return false;
        if (!data.empty() && std::fwrite(data.data(), 1, data.size(), file.get()) != data.size())
            return false;
        if (std::fclose(file.release()) != 0)
            return false;
    }
    return std::rename(part.c_str(), path.c_str()) == 0;
}

bool config_store::open(const std::string &state_dir, bool defaults, std::string &error)
{
    namespace fs = std::filesystem;
    const std::lock_guard<std::mutex> lock(mutex_);
    dir_ = state_dir;
    if (!dir_.empty()) {
        std::error_code ec;
        fs::create_directories(dir_, ec);
        for (fs::directory_iterator it(dir_, ec), end; !ec && it != end; it.increment(ec)) {
            const fs::path file = it->path();
            const std::string name = file.stem().string();
            if (file.extension() != ".bin" || !sim_config_name_valid(name) || !it->is_regular_file())
                continue;
            std::optional<bytes> data = read_whole_file(file.string());
            if (!data) {
                error = "cannot read " + file.string();
                return false;
            }
            struct stat info {};
            const std::time_t mtime = ::stat(file.c_str(), &info) == 0 ? info.st_mtime : FACTORY_MTIME;
            configs_[name] = stored{std::move(*data), mtime};
        }
        if (ec) {
            error = "cannot read the state directory " + dir_ + ": " + ec.message();
            return false;
        }
    }
    if (defaults)
        for (const config_entry &standard : config_catalogue)
            if (!configs_.count(standard.name))
                configs_[standard.name] = stored{default_config(standard.name), FACTORY_MTIME};
    for (const auto &[name, config] : configs_)
        if (!mirror(name, config)) {
            error = "cannot write " + name + " into " + dir_;
            return false;
        }
    return true;
}

bytes config_store::archive_of(const std::string &name, const stored &config, bool status_first) const
{
    const bytes status(status_txt_.begin(), status_txt_.end());
    tar_member file{config_path(name), config.data, config.mtime};
    tar_member document{"status.txt", status, config.mtime};
    return status_first ? tar_build({document, file}) : tar_build({file, document});
}

bool config_store::mirror(const std::string &name, const stored &config) const
{
    if (dir_.empty())
        return true;
    const std::string base = dir_ + "/" + name;
    return write_whole_file(base + ".bin", config.data) && write_whole_file(base + ".tar", archive_of(name, config));
}

std::optional<bytes> config_store::archive(const std::string &name, bool status_first) const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    const auto found = configs_.find(name);
    if (found == configs_.end())
        return std::nullopt;
    return archive_of(name, found->second, status_first);
}

bool config_store::put(const std::string &name, bytes data, std::time_t mtime)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    stored &config = configs_[name];
    config = stored{std::move(data), mtime};
    return mirror(name, config);
}

bool config_store::set_status_txt(std::string status_txt)
{
    const std::lock_guard<std::mutex> lock(mutex_);
    status_txt_ = std::move(status_txt);
    bool written = true;
    for (const auto &[name, config] : configs_)
        written = mirror(name, config) && written;
    return written;
}

std::vector<std::string> config_store::names() const
{
    const std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto &entry : configs_)
        out.push_back(entry.first);
    return out;
}
