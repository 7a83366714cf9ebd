// Every action against a controller that misbehaves, through the real binary:
// one row per action and outcome, listing the faults that lead to it, each
// fault one run of mervo-cli against its own simulated controller, with the
// action's whole output, the failure lines on standard error, exit status 0,
// and what the controller received (from its log): nothing is uploaded after
// a step that failed, get_backup's archive is sound and holds what did
// arrive, put_backup and setup_channel go on with the next configuration or
// pair, and a refused restore or upgrade request is no success (no "OK").
//
// Cells covered elsewhere, not repeated here:
//   get_status   status=404/empty/garbage/truncated/drop   status/test_get_status.cpp (OddAnswers)
//   get_status   no controller                              status/test_get_status.cpp (ControllerDown)
//   get_backup   backup:NAME=404/empty, zip and directory   action/test_get_backup.cpp (RefusedConfigurationsAreLeftOut)
//   put_backup   tftp=refuse, no controller                 action/test_put_backup.cpp (ControllerFailures)
//   setup_channel unknown channel (404)                     channel/test_setup.cpp (FailingPairsLeaveTheNextOneWorking)
//   push_firmware tftp=refuse                               action/test_push_firmware.cpp (RefusedUploadMakesNoRequest)
//   push_firmware no controller: like tftp=off below (libcurl's 60-second TFTP connect timeout), not run twice.
#include "action/get_backup.h"

#include "../firmware/firmware_files.h"
#include "e2e_checks.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

using namespace e2e;

namespace {

const std::string STATUS_PATH = "/api/v100/status.ssi";
const std::string PARTIAL = "Transferred a partial file";
const std::string REFUSED = "Couldn't connect to server";
const std::string HTTP_ERROR = "HTTP response code said error";

// One outcome of the matrix, shared by the faults that lead to it.
struct row {
    std::vector<std::string> faults;                      // one run each: "TARGET=MODE", "tftp=MODE" or "no controller"
    std::function<std::string(const finished_run &)> out; // the action's output
    std::vector<std::string> err;                         // failure lines on standard error
    std::function<void(const finished_run &)> received;   // what the controller must have (and not have) received
};

// Runs every fault of every row, all at once, and checks each run.
void run_rows(const std::vector<row> &rows, const argument_maker &arguments, int timeout_seconds = 120)
{
    std::vector<planned_run> plan;
    std::vector<const row *> row_of;
    for (const row &r : rows)
        for (const std::string &fault : r.faults) {
            planned_run p{fault, controller(), fault == "no controller", {}, {}};
            if (fault.rfind("tftp=", 0) == 0)
                p.options.tftp_mode(fault.substr(5));
            else if (!p.no_controller)
                p.options.fault(fault);
            plan.push_back(p);
            row_of.push_back(&r);
        }
    const std::vector<finished_run> runs = run_all(plan, arguments, timeout_seconds);
    for (std::size_t i = 0; i < runs.size(); ++i) {
        SCOPED_TRACE(plan[i].label);
        const finished_run &r = runs[i];
        // First what the controller received: the expected output asks it again.
        if (row_of[i]->received)
            row_of[i]->received(r);
        EXPECT_EQ(r.run.status, 0) << r.run.err;
        EXPECT_EQ(r.action_output(), row_of[i]->out(r));
        EXPECT_EQ(r.failure_lines(), row_of[i]->err) << r.run.err;
    }
}

std::vector<std::string> times(std::size_t count, const std::string &line) { return std::vector<std::string>(count, line); }

// Nothing was uploaded and nothing restored or upgraded.
void nothing_sent(const finished_run &r)
{
    if (!r.sim)
        return;
    EXPECT_FALSE(r.sim->flashraw().has_value());
    EXPECT_EQ(r.restore_requests(), 0u);
    EXPECT_EQ(r.upgrade_requests(), 0u);
    EXPECT_TRUE(r.stored_configs().empty());
}

std::string status_fetching(const finished_run &r) { return fetching_line("status", r.address + STATUS_PATH); }
// The status query's lines; an answer that is no status document names no model.
std::string status_named(const finished_run &r) { return status_query_lines(*r.sim); }
std::string status_unnamed(const finished_run &r)
{
    const std::string lines = status_query_lines(*r.sim);
    return lines.substr(0, lines.rfind("model_name="));
}

// ---- get_status ----

TEST(FaultMatrix, GetStatus)
{
    const std::vector<row> rows = {
        {{"status=500"}, status_unnamed, {}, nothing_sent},
        {{"status=slow:1000", "status=redirect"}, status_named, {}, nothing_sent},
    };
    run_rows(rows, [](const std::string &address, const temp_dir &) {
        return std::vector<std::string>{"--ip", address, "--action", "get_status"};
    });
}

// ---- get_backup ----

const std::vector<std::string> THREE = {"dali1", "dali2", "dali3"};

// dali1 and dali3 arrive; dali2 prints `middle`.
std::function<std::string(const finished_run &)> around_dali2(std::function<std::string(const finished_run &)> middle)
{
    return [middle](const finished_run &r) { return config_fetched(r, "dali1") + middle(r) + config_fetched(r, "dali3"); };
}

// dali2 arrives and is no archive: the listing fails with `code`.
std::function<std::string(const finished_run &)> dali2_unreadable(int code)
{
    return around_dali2([code](const finished_run &r) {
        return config_fetching(r, "dali2") + config_received(r, "dali2") + LIST_HEAD + file_error(code) + NO_STATUS_TXT;
    });
}

std::function<void(const finished_run &)> backup_holds(std::vector<std::string> names)
{
    return [names](const finished_run &r) {
        expect_backup_zip(r, r.scratch->path(), names);
        nothing_sent(r);
    };
}

TEST(FaultMatrix, GetBackup)
{
    const std::vector<std::string> dali1_dali3 = {"dali1", "dali3"};
    const std::vector<row> rows = {
        {{"backup:dali2=500"}, dali2_unreadable(-1), {}, backup_holds(dali1_dali3)},
        {{"backup:dali2=garbage"}, dali2_unreadable(-6), {}, backup_holds(dali1_dali3)},
        // Half an archive: its first entry's header arrived, its data did not.
        {{"backup:dali2=truncated"},
         around_dali2([](const finished_run &r) {
             const std::vector<tar_member> served = tar_members(r.sim->stored_archive("dali2").value_or(bytes{}));
             const std::string first =
                 served.empty() ? "" : entry_line(served[0].name, static_cast<long long>(served[0].data.size()));
             return config_fetching(r, "dali2") + config_received(r, "dali2") + LIST_HEAD + first + file_error(-1) +
                    NO_STATUS_TXT;
         }),
         {},
         backup_holds(dali1_dali3)},
        {{"backup:dali2=drop"}, around_dali2([](const finished_run &r) { return config_fetching(r, "dali2"); }),
         {curl_failure(PARTIAL)}, backup_holds(dali1_dali3)},
        {{"backup:dali2=slow:1000", "backup:dali2=redirect"},
         around_dali2([](const finished_run &r) { return config_fetched(r, "dali2"); }), {}, backup_holds(THREE)},
        // Nothing arrives: an empty archive, still sound.
        {{"backup=500"},
         [](const finished_run &r) {
             std::string out;
             for (const std::string &name : THREE)
                 out += config_fetching(r, name) + config_received(r, name) + LIST_HEAD + file_error(-1) + NO_STATUS_TXT;
             return out;
         },
         {},
         backup_holds({})},
        {{"no controller"},
         [](const finished_run &r) {
             std::string out;
             for (const std::string &name : THREE)
                 out += config_fetching(r, name);
             return out;
         },
         times(3, curl_failure(REFUSED)), backup_holds({})},
    };
    run_rows(rows, [](const std::string &address, const temp_dir &scratch) {
        return std::vector<std::string>{"--ip", address, "--action", "get_backup", "--backupfileout", scratch.path(),
                                        "--backupfileouttype", "zip", "--backupconfig", R"(["dali1","dali2","dali3"])"};
    });
}

// ---- put_backup ----

std::string tftp_pushing(const finished_run &r)
{
    return pushing_line("firmware_push_tftp", "tftp://" + r.address + "/flashraw.bin");
}

// The upload, the restore request and the controller's answer as it gives
// it, then "OK" for the request and "OK" for the configuration.
std::string restored(const finished_run &r) { return upload_lines(r.address, r.answer_to("action=restoreconfig")) + "OK\n"; }

// The upload went through, the restore request did not: no "OK" after the answer.
std::string restore_failed(const finished_run &r)
{
    const std::string lines = upload_lines(r.address, r.answer_to("action=restoreconfig"));
    return lines.substr(0, lines.size() - 3);
}

std::function<void(const finished_run &)> restores(std::size_t requests, std::vector<std::string> stored)
{
    return [requests, stored](const finished_run &r) {
        EXPECT_EQ(r.restore_requests(), requests);
        EXPECT_EQ(r.stored_configs(), stored);
        EXPECT_EQ(r.upgrade_requests(), 0u);
    };
}

// A backup of dali1 and rlc, taken from a controller like the ones below.
std::string backup_of_dali1_and_rlc(const temp_dir &dir)
{
    controller_sim source(controller());
    const std::vector<std::string> names = {"dali1", "rlc"};
    capture_stdout([&] { action_get_backup(source.address().c_str(), dir.path().c_str(), "zip", &names); });
    const std::vector<std::string> files = files_in(dir.path());
    return files.size() == 1 ? dir.file(files[0]) : "";
}

TEST(FaultMatrix, PutBackup)
{
    temp_dir source;
    const std::string zip = backup_of_dali1_and_rlc(source);
    ASSERT_FALSE(zip.empty());
    const std::vector<std::string> both = {"dali1", "rlc"};
    const auto whole = [](const finished_run &r) { return status_named(r) + restored(r) + restored(r); };
    const auto each_failed = [](const finished_run &r) { return status_named(r) + restore_failed(r) + restore_failed(r); };
    const std::vector<row> rows = {
        // No status document, nothing uploaded.
        {{"status=404", "status=500", "status=empty", "status=garbage"}, status_unnamed, {}, nothing_sent},
        {{"status=drop"}, status_fetching, {curl_failure(PARTIAL)}, nothing_sent},
        // Half the document still names the model and the firmware first.
        {{"status=truncated", "status=slow:1000", "status=redirect"}, whole, {}, restores(2, both)},
        // A refused restore request is a failure; the next configuration still goes up.
        {{"restore=404", "restore=500"}, each_failed, times(2, curl_failure(HTTP_ERROR)), restores(2, {})},
        // Answers the tool cannot tell from a restore: shown as they come.
        {{"restore=empty", "restore=garbage"}, whole, {}, restores(2, {})},
        {{"restore=truncated", "restore=slow:1000"}, whole, {}, restores(2, both)},
        {{"restore=drop"}, each_failed, times(2, curl_failure(PARTIAL)), restores(2, both)},
    };
    run_rows(rows, [&zip](const std::string &address, const temp_dir &) {
        return std::vector<std::string>{"--ip", address, "--action", "put_backup", "--backupfilein", zip};
    });
}

// ---- setup_channel ----

const std::string CSV = "#dali-channel-csv-version: 1\n0,5,12,Hall,\"[0,3]\",254,null,1,254,7,4,\"[254,200,null]\"\n";

std::string csv_path(const finished_run &r) { return r.scratch->file("hall.csv"); }

// A pair from the download's "OK" to the rebuilt archive's listing.
std::string pair_rebuilt(const finished_run &r, int channel)
{
    const std::string n = std::to_string(channel);
    return config_fetched(r, "dali" + n) + "CH=" + n + "\nFILE=" + csv_path(r) + "\n0 fields, 2 rows\n" + LIST_HEAD +
           entry_line("/etc/config/dali/dali" + n + ".bin", 11168);
}

// dali1's download goes wrong: it prints `listed` after its "received"
// line, and the second pair goes through.
std::function<std::string(const finished_run &)> first_pair_fails(std::string listed)
{
    return [listed](const finished_run &r) {
        return config_fetching(r, "dali1") + config_received(r, "dali1") + listed + pair_rebuilt(r, 2) + restored(r);
    };
}

std::string both_pairs_rebuilt(const finished_run &r, const std::function<std::string(const finished_run &)> &then)
{
    return pair_rebuilt(r, 1) + then(r) + pair_rebuilt(r, 2) + then(r);
}

TEST(FaultMatrix, SetupChannel)
{
    const auto second_only = restores(1, {"dali2"});
    const std::vector<row> rows = {
        {{"backup:dali1=500"}, first_pair_fails(LIST_HEAD + file_error(-1) + NO_STATUS_TXT), {}, second_only},
        {{"backup:dali1=empty"}, first_pair_fails(NO_STATUS_TXT), {}, second_only},
        {{"backup:dali1=garbage"}, first_pair_fails(LIST_HEAD + file_error(-6) + NO_STATUS_TXT), {}, second_only},
        {{"backup:dali1=truncated"},
         first_pair_fails(LIST_HEAD + entry_line("/etc/config/dali/dali1.bin", 11168) + file_error(-1) + NO_STATUS_TXT),
         {},
         second_only},
        {{"backup:dali1=drop"},
         [](const finished_run &r) { return config_fetching(r, "dali1") + pair_rebuilt(r, 2) + restored(r); },
         {curl_failure(PARTIAL)}, second_only},
        {{"restore=500"}, [](const finished_run &r) { return both_pairs_rebuilt(r, restore_failed); },
         times(2, curl_failure(HTTP_ERROR)), restores(2, {})},
        {{"restore=drop"}, [](const finished_run &r) { return both_pairs_rebuilt(r, restore_failed); },
         times(2, curl_failure(PARTIAL)), restores(2, {"dali1", "dali2"})},
        // The upload is refused: no restore request, and the next pair is tried.
        {{"tftp=refuse"}, [](const finished_run &r) { return both_pairs_rebuilt(r, tftp_pushing); },
         times(2, curl_failure("TFTP: File Not Found")), nothing_sent},
        {{"no controller"}, [](const finished_run &r) { return config_fetching(r, "dali1") + config_fetching(r, "dali2"); },
         times(2, curl_failure(REFUSED)), nothing_sent},
    };
    run_rows(rows, [](const std::string &address, const temp_dir &scratch) {
        write_file(scratch.file("hall.csv"), CSV);
        const std::string csv = "\"" + scratch.file("hall.csv") + "\"";
        return std::vector<std::string>{"--ip", address, "--action", "setup_channel", "--channel", "[1,2]",
                                        "--channelcsvfile", "[" + csv + "," + csv + "]"};
    });
}

// ---- push_firmware ----

const fwtest::bytes &image()
{
    static const fwtest::bytes made = fwtest::make_image(fwtest::IMAGE_MIN, {}, 11);
    return made;
}

// Read and checked.
std::string prepared(const finished_run &) { return "\nPreparing file...\n" + fwtest::info_printout(); }

// Uploaded; then the upgrade request and the controller's answer.
std::string upgrade_asked(const finished_run &r)
{
    return prepared(r) + tftp_pushing(r) + "OK\n" +
           pushing_line("firmware", r.address + STATUS_PATH + "?action=firmwareupgrade&hash=" +
                                        fwtest::to_hex(fwtest::openssl_sha256(image())) +
                                        "&size=" + std::to_string(image().size())) +
           r.answer_to("action=firmwareupgrade");
}

std::string upgraded(const finished_run &r) { return upgrade_asked(r) + "OK\n"; }

// The image arrived whole; `applied` upgrades were made of it.
std::function<void(const finished_run &)> image_sent(std::size_t applied)
{
    return [applied](const finished_run &r) {
        EXPECT_TRUE(r.sim->flashraw() == image());
        std::size_t upgrades = 0;
        for (const sim_event &e : r.sim->events("upgrade"))
            upgrades += e.get("result") == "ok";
        EXPECT_EQ(upgrades, applied);
        EXPECT_EQ(r.restore_requests(), 0u);
    };
}

// tftp=off is the one run of the whole suite that waits for libcurl's
// 60-second TFTP connect timeout: nobody answers the upload, so no upgrade is
// asked for. The other runs end long before it.
TEST(FaultMatrix, PushFirmware)
{
    const std::vector<row> rows = {
        {{"upgrade=404", "upgrade=500"}, upgrade_asked, {curl_failure(HTTP_ERROR)}, image_sent(0)},
        {{"upgrade=empty", "upgrade=garbage"}, upgraded, {}, image_sent(0)},
        {{"upgrade=truncated", "upgrade=slow:1000", "upgrade=redirect"}, upgraded, {}, image_sent(1)},
        {{"upgrade=drop"}, upgrade_asked, {curl_failure(PARTIAL)}, image_sent(1)},
        {{"tftp=off"}, [](const finished_run &r) { return prepared(r) + tftp_pushing(r); },
         {curl_failure("Timeout was reached")}, nothing_sent},
    };
    run_rows(
        rows,
        [](const std::string &address, const temp_dir &scratch) {
            write_file(scratch.file("fw.binary"), image());
            return std::vector<std::string>{"--ip", address, "--action", "push_firmware", "--firmwarefile",
                                            scratch.file("fw.binary")};
        },
        180);
}

} // namespace
