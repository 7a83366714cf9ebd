#include "action/report.h"

#include "controller/transfer.h"

#include <algorithm>
#include <cstdio>

run_report &run_record()
{
    static run_report record;
    return record;
}

std::size_t record_step(const char *kind, const std::string &name, bool ok, std::uint64_t bytes,
                        const std::string &error)
{
    run_record().steps.push_back({kind, name, ok, bytes, ok ? std::string() : error});
    return run_record().steps.size() - 1;
}

void record_step_failed(std::size_t place, const std::string &error)
{
    if (place >= run_record().steps.size())
        return;
    report_step &step = run_record().steps[place];
    step.ok = false;
    step.error = error;
}

void record_identity(const std::optional<std::string> &model, const std::optional<std::string> &firmware,
                     const std::optional<std::string> &serial)
{
    run_report &record = run_record();
    if (record.model || record.firmware || record.serial)
        return;
    record.model = model;
    record.firmware = firmware;
    record.serial = serial;
}

std::string fetch_failure(int fetched)
{
    if (!transfer_last_error().empty())
        return transfer_last_error();
    if (transfer_last_response() >= 400)
        return "the controller answered with HTTP status " + std::to_string(transfer_last_response());
    if (fetched == 1)
        return "nothing arrived, or its archive holds no entry";
    return "its archive does not list to its end (tar error " + std::to_string(fetched) + ")";
}

void record_file(const std::string &path) { run_record().files.push_back(path); }

void missing_arguments(const char *action)
{
    std::printf("Missing arguments for action %s.", action);
    run_record().missing_arguments = true;
}

bool run_failed()
{
    const std::deque<report_step> &steps = run_record().steps;
    return std::any_of(steps.begin(), steps.end(), [](const report_step &step) { return !step.ok; });
}
