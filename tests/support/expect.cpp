#include "expect.h"

#include "run.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

bytes text_bytes(std::string_view text) { return bytes(text.begin(), text.end()); }

bytes pattern(std::size_t size, unsigned seed)
{
    bytes data(size);
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<std::uint8_t>((i * 31 + seed * 7 + i / 251) & 0xFF);
    return data;
}

std::vector<std::string> standard_configs()
{
    std::vector<std::string> names;
    for (const config_entry &config : config_catalogue)
        names.emplace_back(config.name);
    return names;
}

std::uint32_t channel_checksum(bytes file)
{
    for (std::size_t i = 4; i < 8 && i < file.size(); ++i)
        file[i] = 0;
    return channel_file_crc(file.data(), file.size());
}

bool channel_checksum_valid(const bytes &file)
{
    if (file.size() < 8)
        return false;
    const std::uint32_t stored = file[4] | file[5] << 8 | file[6] << 16 | static_cast<std::uint32_t>(file[7]) << 24;
    return stored == channel_checksum(file);
}

std::string where_different(const bytes &a, const bytes &b)
{
    if (a.size() != b.size())
        return "sizes " + std::to_string(a.size()) + " and " + std::to_string(b.size());
    std::string text;
    std::size_t count = 0;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i] && ++count <= 32)
            text += " " + std::to_string(i);
    if (count > 32)
        text += " ... (" + std::to_string(count) + " in all)";
    return count == 0 ? "equal" : "differ at" + text;
}

std::vector<tar_member> tar_members(const bytes &archive)
{
    std::vector<tar_member> members;
    std::unique_ptr<struct archive, int (*)(struct archive *)> reader(archive_read_new(), archive_read_free);
    archive_read_support_format_tar(reader.get());
    if (archive_read_open_memory(reader.get(), archive.data(), archive.size()) != ARCHIVE_OK) {
        ADD_FAILURE() << "libarchive cannot open the archive";
        return members;
    }
    archive_entry *entry = nullptr;
    int got;
    while ((got = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
        tar_member m;
        m.name = archive_entry_pathname(entry);
        m.mode = archive_entry_mode(entry) & 07777;
        m.uid = archive_entry_uid(entry);
        m.mtime = archive_entry_mtime(entry);
        m.regular = archive_entry_filetype(entry) == AE_IFREG;
        m.data.resize(static_cast<std::size_t>(archive_entry_size(entry)));
        if (!m.data.empty() &&
            archive_read_data(reader.get(), m.data.data(), m.data.size()) != static_cast<la_ssize_t>(m.data.size()))
            ADD_FAILURE() << "libarchive cannot read " << m.name;
        members.push_back(std::move(m));
    }
    EXPECT_EQ(got, ARCHIVE_EOF) << archive_error_string(reader.get());
    return members;
}

bytes gnu_tar(const std::vector<std::pair<std::string, bytes>> &members)
{
    temp_dir dir;
    const std::string root = dir.file("root");
    std::vector<std::string> args = {"-cf", dir.file("made.tar"), "-P", "--transform", "s,^" + root + ",,"};
    for (const auto &[name, content] : members) {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(root + name).parent_path(), ec);
        EXPECT_TRUE(write_file(root + name, content)) << name;
        args.push_back(root + name);
    }
    const run_result made = run_program("tar", args);
    EXPECT_EQ(made.status, 0) << made.err;
    return read_file(dir.file("made.tar")).value_or(bytes{});
}

sim_options controller_identity::options() const
{
    return sim_options().model(model).firmware(firmware).arg("--serial=" + serial).arg("--mac=" + mac);
}

std::string fetching_line(const std::string &tag, const std::string &url) { return tag + "\tfetching URL '" + url + "'.\n"; }
std::string pushing_line(const std::string &tag, const std::string &url) { return tag + "\tpushing URL '" + url + "'.\n"; }
std::string received_line(const std::string &tag, std::size_t size)
{
    return tag + "\treceived " + std::to_string(size) + " bytes.\n";
}

const std::string LIST_HEAD = "backup\tbackup file contains: \r\n";

std::string entry_line(const std::string &name, long long size)
{
    return "\t" + name + " (" + std::to_string(size) + " bytes)\r\n";
}

std::string file_error(std::uint32_t code) { return "\tfile error " + std::to_string(code) + ".\r\n"; }
const std::string NO_STATUS_TXT = "backup\terror status.txt file not found.\r\n";
const std::string RESTORE_OK = "{\"action\":\"restoreconfig\",\"result\":\"ok\"}\n";

std::string option_values(const std::string &action, const std::string &ip, const std::string &out,
                          const std::string &type)
{
    return "optAction=" + action + "\noptIP=" + ip + "\noptBackupFileOut=" + out + "\noptBackupFileOutType=" + type +
           "\n";
}

std::string identity_lines(const controller_identity &id)
{
    return "backup\tmodel name: " + id.model + "\r\nbackup\tfirmware version: " + id.firmware +
           "\r\nbackup\tserial number: " + id.serial + "\r\nbackup\tmac: " + id.mac + "\r\n";
}

std::string config_listing(const controller_sim &sim, const std::string &name, const controller_identity &id)
{
    const bytes archive = sim.stored_archive(name).value_or(bytes{});
    std::string out = fetching_line("backup", sim.base() + "/api/v100/backup.ssi?config=" + name) +
                      received_line("backup", archive.size()) + LIST_HEAD;
    std::string status;
    for (const tar_member &m : tar_members(archive)) {
        out += entry_line(m.name, static_cast<long long>(m.data.size()));
        if (m.name == "status.txt")
            status.assign(m.data.begin(), m.data.end());
    }
    return out + status + identity_lines(id);
}

std::string status_query_lines(const controller_sim &sim)
{
    std::string size = "(no status query)";
    for (const sim_event &e : sim.requests("/api/v100/status.ssi"))
        if (e.get("query").find("action=") == std::string::npos) // restore and upgrade requests share its path
            size = e.get("bytes");
    return fetching_line("status", sim.address() + "/api/v100/status.ssi") + "status\treceived " + size +
           " bytes.\nmodel_name=VESTRA-4\r\n";
}

std::string upload_lines(const std::string &address, const std::string &answer)
{
    return pushing_line("firmware_push_tftp", "tftp://" + address + "/flashraw.bin") + "OK\n" +
           pushing_line("backup_put", address + "/api/v100/status.ssi?action=restoreconfig") + answer + "OK\n";
}
