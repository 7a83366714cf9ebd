#include "e2e_checks.h"

#include "zip_check.h"

#include <archive.h>
#include <archive_entry.h>
#include <gtest/gtest.h>

#include <dirent.h>

#include <future>
#include <memory>

namespace e2e {

namespace {

// Runs at once at most: the runs mostly wait, but each is a process.
constexpr std::size_t RUNS_AT_ONCE = 8;

struct archive_free {
    void operator()(archive *a) const { archive_read_free(a); }
};

bool progress_meter_line(const std::string &line)
{
    // The meter's heading and its rows start with blanks or digits; the
    // tool's own lines never do.
    return line.empty() || line[0] == ' ' || (line[0] >= '0' && line[0] <= '9');
}

std::vector<std::string> files_in(const std::string &directory)
{
    std::vector<std::string> names;
    std::unique_ptr<DIR, int (*)(DIR *)> dir(opendir(directory.c_str()), closedir);
    if (!dir)
        return names;
    while (const dirent *entry = readdir(dir.get()))
        if (std::string(entry->d_name) != "." && std::string(entry->d_name) != "..")
            names.emplace_back(entry->d_name);
    return names;
}

} // namespace

sim_options controller(const std::vector<std::string> &faults, const std::string &tftp)
{
    sim_options options = sim_options().arg("--serial=" + SERIAL).arg("--mac=" + MAC).tftp_mode(tftp);
    options.faults = faults;
    return options;
}

std::string finished_run::action_output() const
{
    const std::string marker = "\noptBackupFileOutType=";
    const std::size_t at = run.out.find(marker);
    if (at == std::string::npos)
        return "(no front-end lines in: " + run.out + ")";
    const std::size_t end = run.out.find('\n', at + 1);
    return end == std::string::npos ? std::string() : run.out.substr(end + 1);
}

std::vector<std::string> finished_run::failure_lines() const
{
    std::vector<std::string> lines;
    std::string line;
    for (char c : run.err) {
        if (c != '\n' && c != '\r') {
            line += c;
            continue;
        }
        if (!progress_meter_line(line))
            lines.push_back(line);
        line.clear();
    }
    if (!progress_meter_line(line))
        lines.push_back(line);
    return lines;
}

std::vector<sim_event> finished_run::requests(const std::string &path, const std::string &query_part) const
{
    std::vector<sim_event> out;
    for (const sim_event &e : log)
        if (e.get("event") == "request" && e.get("path") == path && e.get("query").find(query_part) != std::string::npos)
            out.push_back(e);
    return out;
}

std::vector<std::string> finished_run::stored_configs() const
{
    std::vector<std::string> names;
    for (const sim_event &e : log)
        if (e.get("event") == "config_stored")
            names.push_back(e.get("config"));
    return names;
}

std::size_t finished_run::restore_requests() const
{
    return requests("/api/v100/status.ssi", "action=restoreconfig").size();
}

std::size_t finished_run::upgrade_requests() const
{
    return requests("/api/v100/status.ssi", "action=firmwareupgrade").size();
}

std::string finished_run::answer_to(const std::string &query_part) const
{
    const std::vector<sim_event> asked = requests("/api/v100/status.ssi", query_part);
    if (asked.empty())
        return "(no request with " + query_part + ")";
    const std::string url = base() + "/api/v100/status.ssi?" + asked.back().get("query");
    return run_program("curl", {"-s", url}).out;
}

std::vector<finished_run> run_all(const std::vector<planned_run> &plan, const argument_maker &arguments,
                                  int timeout_seconds)
{
    std::vector<finished_run> runs(plan.size());
    for (std::size_t first = 0; first < plan.size(); first += RUNS_AT_ONCE) {
        const std::size_t last = std::min(plan.size(), first + RUNS_AT_ONCE);
        std::vector<std::future<void>> waiting;
        for (std::size_t i = first; i < last; ++i) {
            finished_run &r = runs[i];
            r.scratch = std::make_unique<temp_dir>();
            if (plan[i].no_controller) {
                r.down = std::make_unique<refusing_port>();
                r.address = r.down->address();
            } else {
                r.sim = std::make_unique<controller_sim>(plan[i].options);
                r.address = r.sim->address();
            }
            const std::vector<std::string> args = (plan[i].arguments ? plan[i].arguments : arguments)(r.address, *r.scratch);
            const std::vector<std::string> &wrapper = plan[i].wrapper;
            waiting.push_back(std::async(std::launch::async, [&r, &wrapper, args, timeout_seconds] {
                if (wrapper.empty()) {
                    r.run = run_cli(args, run_options().timeout(timeout_seconds));
                } else {
                    std::vector<std::string> wrapped(wrapper.begin() + 1, wrapper.end());
                    wrapped.push_back(MERVO_CLI_PATH);
                    wrapped.insert(wrapped.end(), args.begin(), args.end());
                    r.run = run_program(wrapper.front(), wrapped, run_options().timeout(timeout_seconds));
                }
                if (r.sim)
                    r.log = r.sim->events();
            }));
        }
        for (std::future<void> &f : waiting)
            f.get();
    }
    return runs;
}

std::string fetching(const std::string &tag, const std::string &url) { return tag + "\tfetching URL '" + url + "'.\n"; }
std::string pushing(const std::string &tag, const std::string &url) { return tag + "\tpushing URL '" + url + "'.\n"; }
std::string received(const std::string &tag, std::size_t bytes)
{
    return tag + "\treceived " + std::to_string(bytes) + " bytes.\n";
}

std::string received_as_logged(const finished_run &r, const std::string &tag, const std::string &path,
                               const std::string &query_part)
{
    const std::vector<sim_event> asked = r.requests(path, query_part);
    if (asked.empty())
        return "(no request of " + path + " with " + query_part + ")";
    return received(tag, std::stoul(asked.back().get("bytes")));
}

const std::string CONTAINS = "backup\tbackup file contains: \r\n";
const std::string NO_STATUS = "backup\terror status.txt file not found.\r\n";

std::string file_error(int code) { return "\tfile error " + std::to_string(static_cast<std::uint32_t>(code)) + ".\r\n"; }

std::string config_fetching(const finished_run &r, const std::string &name)
{
    return fetching("backup", r.base() + "/api/v100/backup.ssi?config=" + name);
}

std::string config_fetched(const finished_run &r, const std::string &name)
{
    const bytes archive = r.sim ? r.sim->stored_archive(name).value_or(bytes{}) : bytes{};
    std::string out = config_fetching(r, name) + received("backup", archive.size()) + CONTAINS;
    std::string status;
    for (const tar_entry &entry : tar_entries(archive)) {
        out += "\t" + entry.name + " (" + std::to_string(entry.data.size()) + " bytes)\r\n";
        if (entry.name == "status.txt")
            status.assign(entry.data.begin(), entry.data.end());
    }
    return out + status + identity_lines() + "OK\n";
}

std::string identity_lines()
{
    return "backup\tmodel name: " + MODEL + "\r\nbackup\tfirmware version: " + FIRMWARE +
           "\r\nbackup\tserial number: " + SERIAL + "\r\nbackup\tmac: " + MAC + "\r\n";
}

std::string tftp_pushing(const finished_run &r) { return pushing("firmware_push_tftp", "tftp://" + r.address + "/flashraw.bin"); }

std::string restore_pushing(const finished_run &r)
{
    return pushing("backup_put", r.address + "/api/v100/status.ssi?action=restoreconfig");
}

std::string curl_failure(const std::string &reason) { return "curl_easy_perform() failed: " + reason; }

std::vector<tar_entry> tar_entries(const bytes &archive)
{
    std::vector<tar_entry> entries;
    std::unique_ptr<struct archive, archive_free> reader(archive_read_new());
    archive_read_support_format_tar(reader.get());
    if (archive_read_open_memory(reader.get(), archive.data(), archive.size()) != ARCHIVE_OK) {
        ADD_FAILURE() << "libarchive cannot open the archive";
        return entries;
    }
    archive_entry *entry = nullptr;
    int got;
    while ((got = archive_read_next_header(reader.get(), &entry)) == ARCHIVE_OK) {
        tar_entry e;
        e.name = archive_entry_pathname(entry);
        e.data.resize(static_cast<std::size_t>(archive_entry_size(entry)));
        if (!e.data.empty() && archive_read_data(reader.get(), e.data.data(), e.data.size()) !=
                                   static_cast<la_ssize_t>(e.data.size()))
            ADD_FAILURE() << "libarchive cannot read " << e.name;
        entries.push_back(std::move(e));
    }
    EXPECT_EQ(got, ARCHIVE_EOF) << archive_error_string(reader.get());
    return entries;
}

void expect_backup_zip(const finished_run &r, const std::string &directory, const std::vector<std::string> &names)
{
    const std::vector<std::string> files = files_in(directory);
    ASSERT_EQ(files.size(), 1u) << "one backup archive expected in " << directory;
    const std::string path = directory + "/" + files[0];
    EXPECT_EQ(files[0].substr(0, 7 + r.address.size()), "backup_" + r.address);
    if (names.empty()) {
        // unzip refuses to test an archive without entries: it must be the
        // bare end record, and Python must read it as empty.
        bytes end_only = {'P', 'K', 5, 6};
        end_only.resize(22);
        EXPECT_TRUE(read_file(path) == end_only);
    } else {
        expect_zip_sound(path);
    }
    const std::vector<zip_listing_entry> entries = python_zip_entries(path);
    ASSERT_EQ(entries.size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(entries[i].name, names[i] + ".tar");
        const auto served = r.sim->stored_archive(names[i]);
        ASSERT_TRUE(served.has_value()) << names[i];
        EXPECT_TRUE(entries[i].content == *served) << names[i];
    }
}

} // namespace e2e
