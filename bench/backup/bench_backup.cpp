// Round trip of a full eleven-configuration backup through the tar and zip
// layers, beside libarchive doing the same work on the same bytes in the same
// run:
//   tar: build the eleven archives the controller hands out (the configuration
//        file and "status.txt" each), then read each configuration file back;
//   zip: store the eleven archives as "<name>.tar" entries at level 6 in a zip
//        file, then read every entry back;
//   backup: both, as get_backup and put_backup do them one after the other.
// The configuration files are the simulated controller's factory content.
#include "controller-sim/configs.h"
#include "tar/tar.h"
#include "zip/zip_layer.h"

#include <archive.h>
#include <archive_entry.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace {

struct configuration {
    std::string name;  // "dali1"
    std::string path;  // "/etc/config/dali/dali1.bin", its file inside the archive
    bytes file;
};

const char STATUS_TXT[] = "{\n  \"model_name\": \"VESTRA-4\",\n  \"firmware_version\": \"1.3.0\",\n"
                          "  \"serial_number\": \"V4-2106-000482\",\n  \"mac\": \"00:1e:c0:4a:12:7f\"\n}\n";
constexpr int ZIP_LEVEL = 6;

const std::vector<configuration> &configurations()
{
    static const std::vector<configuration> all = [] {
        std::vector<configuration> list;
        for (const config_entry &config : config_catalogue)
            list.push_back({config.name, config.path, default_config(config.name)});
        return list;
    }();
    return all;
}

// A zip file of its own for each benchmark, removed when it ends.
struct scratch_zip {
    std::string path;
    double size() const
    {
        std::error_code ignored;
        return static_cast<double>(std::filesystem::file_size(path, ignored));
    }
    explicit scratch_zip(const char *tag)
        : path((std::filesystem::temp_directory_path() /
                ("mervo-bench-" + std::string(tag) + "-" + std::to_string(getpid()) + ".zip"))
                   .string())
    {
    }
    ~scratch_zip()
    {
        std::error_code ignored;
        std::filesystem::remove(path, ignored);
    }
};

bool same(const bytes &a, const configuration &c) { return a == c.file; }

// ---- our tar and zip layers -------------------------------------------------

bool own_tar_write(const configuration &c, bytes &archive)
{
    tar_t tar;
    const auto status_size = static_cast<std::uint32_t>(std::strlen(STATUS_TXT));
    const bool ok = tar_mem_open_write(&tar) == TAR_OK &&
                    tar_write_file_header(&tar, c.path.c_str(), static_cast<std::uint32_t>(c.file.size())) == TAR_OK &&
                    tar_write_data(&tar, c.file.data(), static_cast<std::uint32_t>(c.file.size())) == TAR_OK &&
                    tar_write_file_header(&tar, "status.txt", status_size) == TAR_OK &&
                    tar_write_data(&tar, STATUS_TXT, status_size) == TAR_OK && tar_finalize(&tar) == TAR_OK;
    archive = tar_mem_take(&tar);
    return ok;
}

bool own_tar_read(const bytes &archive, const configuration &c)
{
    tar_t tar;
    tar_header_t header;
    bytes file;
    bool ok = tar_mem_open_read(&tar, archive.data(), static_cast<std::uint32_t>(archive.size())) == TAR_OK &&
              tar_find(&tar, c.path.c_str(), &header) == TAR_OK && tar_entry_held(&tar, header.size);
    if (ok) {
        file.resize(header.size);
        ok = tar_read_data(&tar, file.data(), header.size) == TAR_OK;
    }
    tar_close(&tar);
    return ok && same(file, c);
}

bool own_zip_write(const std::string &path, const std::vector<bytes> &archives)
{
    mzip::zip_handle_t *zip = mzip::zip_open(path.c_str(), ZIP_LEVEL, 'w');
    if (!zip)
        return false;
    bool ok = true;
    for (std::size_t i = 0; i < archives.size(); ++i) {
        const std::string entry = configurations()[i].name + ".tar";
        ok = ok && mzip::zip_entry_open(zip, entry.c_str()) == 0 &&
             mzip::zip_entry_write(zip, archives[i].data(), archives[i].size()) == 0 &&
             mzip::zip_entry_close(zip) == 0;
    }
    return mzip::zip_close(zip) == 0 && ok;
}

bool own_zip_read(const std::string &path, std::vector<bytes> &archives)
{
    mzip::zip_handle_ptr zip(mzip::zip_open(path.c_str(), 0, 'r'));
    if (!zip)
        return false;
    archives.clear();
    const std::int64_t count = mzip::zip_entry_count(zip.get());
    for (std::int64_t i = 0; i < count; ++i) {
        bytes archive;
        if (mzip::zip_entry_open_at(zip.get(), i) != 0 || mzip::zip_entry_read(zip.get(), &archive, nullptr) < 0)
            return false;
        mzip::zip_entry_close(zip.get());
        archives.push_back(std::move(archive));
    }
    return true;
}

// ---- the same work with libarchive --------------------------------------------

struct archive_write_closer {
    void operator()(archive *a) const { archive_write_free(a); }
};
struct archive_read_closer {
    void operator()(archive *a) const { archive_read_free(a); }
};
struct entry_closer {
    void operator()(archive_entry *e) const { archive_entry_free(e); }
};
using write_ptr = std::unique_ptr<archive, archive_write_closer>;
using read_ptr = std::unique_ptr<archive, archive_read_closer>;
using entry_ptr = std::unique_ptr<archive_entry, entry_closer>;

bool lib_write_entry(archive *a, const std::string &name, const void *data, std::size_t size)
{
    entry_ptr entry(archive_entry_new());
    archive_entry_set_pathname(entry.get(), name.c_str());
    archive_entry_set_size(entry.get(), static_cast<la_int64_t>(size));
    archive_entry_set_filetype(entry.get(), AE_IFREG);
    archive_entry_set_perm(entry.get(), 0664);
    return archive_write_header(a, entry.get()) == ARCHIVE_OK &&
           archive_write_data(a, data, size) == static_cast<la_ssize_t>(size);
}

la_ssize_t append_to_vector(archive *, void *client, const void *data, std::size_t size)
{
    auto *out = static_cast<bytes *>(client);
    const auto *p = static_cast<const std::uint8_t *>(data);
    out->insert(out->end(), p, p + size);
    return static_cast<la_ssize_t>(size);
}

bool lib_tar_write(const configuration &c, bytes &archive)
{
    archive.clear();
    write_ptr a(archive_write_new());
    archive_write_set_format_ustar(a.get());
    archive_write_set_bytes_in_last_block(a.get(), 1);  // no padding past the end marker
    if (archive_write_open(a.get(), &archive, nullptr, append_to_vector, nullptr) != ARCHIVE_OK)
        return false;
    return lib_write_entry(a.get(), c.path, c.file.data(), c.file.size()) &&
           lib_write_entry(a.get(), "status.txt", STATUS_TXT, std::strlen(STATUS_TXT)) &&
           archive_write_close(a.get()) == ARCHIVE_OK;
}

// Reads the current entry's data whole.
bool lib_read_data(archive *a, archive_entry *entry, bytes &data)
{
    data.resize(static_cast<std::size_t>(archive_entry_size(entry)));
    return archive_read_data(a, data.data(), data.size()) == static_cast<la_ssize_t>(data.size());
}

bool lib_tar_read(const bytes &archive, const configuration &c)
{
    read_ptr a(archive_read_new());
    archive_read_support_format_tar(a.get());
    if (archive_read_open_memory(a.get(), archive.data(), archive.size()) != ARCHIVE_OK)
        return false;
    archive_entry *entry;
    while (archive_read_next_header(a.get(), &entry) == ARCHIVE_OK) {
        if (c.path == archive_entry_pathname(entry)) {
            bytes file;
            return lib_read_data(a.get(), entry, file) && same(file, c);
        }
    }
    return false;
}

bool lib_zip_write(const std::string &path, const std::vector<bytes> &archives)
{
    write_ptr a(archive_write_new());
    archive_write_set_format_zip(a.get());
    if (archive_write_set_format_option(a.get(), "zip", "compression-level", "6") != ARCHIVE_OK ||
        archive_write_open_filename(a.get(), path.c_str()) != ARCHIVE_OK)
        return false;
    for (std::size_t i = 0; i < archives.size(); ++i)
        if (!lib_write_entry(a.get(), configurations()[i].name + ".tar", archives[i].data(), archives[i].size()))
            return false;
    return archive_write_close(a.get()) == ARCHIVE_OK;
}

bool lib_zip_read(const std::string &path, std::vector<bytes> &archives)
{
    read_ptr a(archive_read_new());
    archive_read_support_format_zip(a.get());
    if (archive_read_open_filename(a.get(), path.c_str(), 65536) != ARCHIVE_OK)
        return false;
    archives.clear();
    archive_entry *entry;
    int status;
    while ((status = archive_read_next_header(a.get(), &entry)) == ARCHIVE_OK) {
        bytes archive;
        if (!lib_read_data(a.get(), entry, archive))
            return false;
        archives.push_back(std::move(archive));
    }
    return status == ARCHIVE_EOF;
}

// ---- the benchmarks -------------------------------------------------------------

struct implementation {
    bool (*tar_write)(const configuration &, bytes &);
    bool (*tar_read)(const bytes &, const configuration &);
    bool (*zip_write)(const std::string &, const std::vector<bytes> &);
    bool (*zip_read)(const std::string &, std::vector<bytes> &);
};
const implementation OWN{own_tar_write, own_tar_read, own_zip_write, own_zip_read};
const implementation LIBARCHIVE{lib_tar_write, lib_tar_read, lib_zip_write, lib_zip_read};

std::int64_t configuration_bytes()
{
    std::int64_t total = 0;
    for (const configuration &c : configurations())
        total += static_cast<std::int64_t>(c.file.size());
    return total;
}

bool tar_round_trip(const implementation &impl, std::vector<bytes> &archives)
{
    const auto &configs = configurations();
    archives.resize(configs.size());
    for (std::size_t i = 0; i < configs.size(); ++i)
        if (!impl.tar_write(configs[i], archives[i]) || !impl.tar_read(archives[i], configs[i]))
            return false;
    return true;
}

bool zip_round_trip(const implementation &impl, const std::string &path, const std::vector<bytes> &archives)
{
    std::vector<bytes> back;
    return impl.zip_write(path, archives) && impl.zip_read(path, back) && back == archives;
}

// The eleven archives as the controller hands them out (built once, by our layer).
const std::vector<bytes> &controller_archives()
{
    static const std::vector<bytes> archives = [] {
        std::vector<bytes> list;
        tar_round_trip(OWN, list);
        return list;
    }();
    return archives;
}

void tar_benchmark(benchmark::State &state, const implementation &impl)
{
    std::vector<bytes> archives;
    for (auto _ : state) {
        if (!tar_round_trip(impl, archives)) {
            state.SkipWithError("the tar round trip failed");
            break;
        }
        benchmark::DoNotOptimize(archives.data());
    }
    state.SetBytesProcessed(state.iterations() * configuration_bytes());
}

void zip_benchmark(benchmark::State &state, const implementation &impl, const char *tag)
{
    const scratch_zip zip(tag);
    const std::vector<bytes> &archives = controller_archives();
    for (auto _ : state) {
        if (!zip_round_trip(impl, zip.path, archives)) {
            state.SkipWithError("the zip round trip failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * configuration_bytes());
    state.counters["zip_bytes"] = zip.size();
}

void backup_benchmark(benchmark::State &state, const implementation &impl, const char *tag)
{
    const scratch_zip zip(tag);
    const auto &configs = configurations();
    for (auto _ : state) {
        // get_backup: each configuration as a tar archive, all stored in one zip file.
        std::vector<bytes> archives(configs.size());
        bool ok = true;
        for (std::size_t i = 0; ok && i < configs.size(); ++i)
            ok = impl.tar_write(configs[i], archives[i]);
        ok = ok && impl.zip_write(zip.path, archives);
        // put_backup: every entry back out, every configuration file out of its archive.
        std::vector<bytes> back;
        ok = ok && impl.zip_read(zip.path, back) && back.size() == configs.size();
        for (std::size_t i = 0; ok && i < configs.size(); ++i)
            ok = impl.tar_read(back[i], configs[i]);
        if (!ok) {
            state.SkipWithError("the backup round trip failed");
            break;
        }
    }
    state.SetBytesProcessed(state.iterations() * configuration_bytes());
}

void BM_tar_own(benchmark::State &state) { tar_benchmark(state, OWN); }
void BM_tar_libarchive(benchmark::State &state) { tar_benchmark(state, LIBARCHIVE); }
void BM_zip_own(benchmark::State &state) { zip_benchmark(state, OWN, "zip-own"); }
void BM_zip_libarchive(benchmark::State &state) { zip_benchmark(state, LIBARCHIVE, "zip-libarchive"); }
void BM_backup_own(benchmark::State &state) { backup_benchmark(state, OWN, "backup-own"); }
void BM_backup_libarchive(benchmark::State &state) { backup_benchmark(state, LIBARCHIVE, "backup-libarchive"); }

} // namespace

BENCHMARK(BM_tar_own)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_tar_libarchive)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_zip_own)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_zip_libarchive)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_backup_own)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_backup_libarchive)->Unit(benchmark::kMicrosecond);
