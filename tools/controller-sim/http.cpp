#include "http.h"

#include "archive.h"
#include "sim_log.h"

#include <httplib.h>
#include <openssl/evp.h>

#include <chrono>
#include <cstring>
#include <cstdio>
#include <memory>
#include <thread>

namespace {

struct reply {
    reply() = default;
    reply(int status_code, std::string content_type, std::string content, std::string redirect_to = {})
        : status(status_code), type(std::move(content_type)), body(std::move(content)), location(std::move(redirect_to))
    {
    }
    int status = 200;
    std::string type = "application/json";
    std::string body;
    std::string location;
};

std::string error_page(int status)
{
    const char *title = status == 404   ? "404 Not Found"
                        : status == 400 ? "400 Bad Request"
                        : status == 302 ? "302 Found"
                                        : "500 Internal Server Error";
    return std::string("<!DOCTYPE html>\n<html><head><title>") + title + "</title></head><body><h1>" + title +
           "</h1><p>VESTRA-4 web interface</p></body></html>\n";
}

reply html_error(int status) { return reply{status, "text/html", error_page(status)}; }

std::string bytes_text(const bytes &data) { return std::string(data.begin(), data.end()); }

std::string sha256_hex(const bytes &data)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(data.data(), data.size(), digest, &length, EVP_sha256(), nullptr) != 1)
        return {};
    std::string hex;
    char pair[3];
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(pair, sizeof pair, "%02x", digest[i]);
        hex += pair;
    }
    return hex;
}

std::string utc_text(std::time_t when)
{
    std::tm parts{};
    gmtime_r(&when, &parts);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &parts);
    return text;
}

sim_identity identity_of(const sim_context &context)
{
    const std::lock_guard<std::mutex> lock(context.identity_mutex);
    return context.identity;
}

std::string status_document(const sim_context &context)
{
    const sim_identity id = identity_of(context);
    const std::time_t now = std::time(nullptr);
    const long up = static_cast<long>(now - context.started);
    char uptime[48];
    std::snprintf(uptime, sizeof uptime, "%ldd %02ld:%02ld:%02ld", up / 86400, up / 3600 % 24, up / 60 % 60, up % 60);
    const std::pair<const char *, std::string> members[] = {
        {"model_name", id.model_name},       {"firmware_version", id.firmware_version},
        {"build_date", "2021-06-14"},        {"license", "standard"},
        {"license_number", "LIC-000482"},    {"hostname", id.hostname},
        {"serial_number", id.serial_number}, {"mac", id.mac},
        {"rtc_temperature", "31.5"},         {"ram_memory", "46%"},
        {"flash_memory", "12%"},             {"boot_count", "17"},
        {"time", utc_text(now)},             {"uptime", uptime},
        {"dali_channel_1", "ok"},            {"dali_channel_2", "ok"},
        {"dali_channel_3", "ok"},            {"dali_channel_4", "ok"},
        {"ip", id.ip},                       {"bacnet_ip", "disabled"},
        {"session_id", "0"},                 {"username", "admin"},
    };
    std::string out = "{";
    for (const auto &[name, value] : members)
        out += std::string(out.size() > 1 ? "," : "") + json_quote(name) + ":" + json_quote(value);
    return out + "}";
}

std::string tftp_file(const sim_context &context) { return context.tftp_dir + "/flashraw.bin"; }

reply action_result(const char *action, bool ok, const std::string &reason)
{
    std::string body = std::string("{\"action\":") + json_quote(action) + ",\"result\":" + (ok ? "\"ok\"" : "\"error\"");
    if (!ok)
        body += ",\"reason\":" + json_quote(reason);
    return reply{ok ? 200 : 400, "application/json", body + "}\n"};
}

bool checksum_valid(const bytes &file)
{
    if (file.size() < 8)
        return false;
    bytes copy = file;
    const std::uint32_t stored = copy[4] | copy[5] << 8 | copy[6] << 16 | static_cast<std::uint32_t>(copy[7]) << 24;
    std::fill(copy.begin() + 4, copy.begin() + 8, 0);
    return stored == channel_file_crc(copy.data(), copy.size());
}

// Takes flashraw.bin apart and stores every configuration it holds.
reply restore(sim_context &context)
{
    const std::optional<bytes> upload = read_whole_file(tftp_file(context));
    std::string error;
    std::optional<std::vector<tar_member>> members;
    if (!upload)
        error = "no flashraw.bin";
    else if (!(members = tar_parse(*upload, error)))
        error = "flashraw.bin is no tar archive: " + error;
    int stored = 0;
    for (const tar_member &member : members ? *members : std::vector<tar_member>{}) {
        const std::optional<std::string> name = config_name_for_path(member.path);
        if (!member.regular || !name) {
            log_line("restore_ignored").text("path", member.path).number("bytes", static_cast<long long>(member.data.size())).emit();
            continue;
        }
        log_line line("config_stored");
        line.text("config", *name).text("path", member.path).number("bytes", static_cast<long long>(member.data.size()));
        line.text("sha256", sha256_hex(member.data));
        if (name->rfind("dali", 0) == 0)
            line.flag("checksum_valid", checksum_valid(member.data));
        if (!context.store->put(*name, member.data, std::time(nullptr))) {
            error = "cannot store " + *name;
            break;
        }
        line.emit();
        ++stored;
    }
    if (error.empty() && stored == 0)
        error = "no configuration in flashraw.bin";
    log_line line("restore");
    line.text("result", error.empty() ? "ok" : "error").number("stored", stored);
    if (!error.empty())
        line.text("reason", error);
    line.emit();
    return action_result("restoreconfig", error.empty(), error);
}

// The firmware information block every image carries: where it lies, and
// its model name and version string (text fields of 33 bytes).
constexpr std::size_t INFO_OFFSET = 0x1C0000;
constexpr std::size_t INFO_SIZE = 184;
constexpr std::size_t INFO_MODEL = 12;
constexpr std::size_t INFO_VERSION = 78;
constexpr std::size_t INFO_FIELD = 33;

// A text field of the image's information block, up to its NUL.
std::string info_text(const bytes &image, std::size_t field)
{
    const auto *start = reinterpret_cast<const char *>(image.data() + INFO_OFFSET + field);
    return std::string(start, strnlen(start, INFO_FIELD));
}

const fault &fault_for(const sim_context &context, const std::string &target, const std::string &fallback)
{
    static const fault no_fault;
    auto found = context.faults.find(target);
    if (found == context.faults.end())
        found = context.faults.find(fallback);
    return found == context.faults.end() ? no_fault : found->second;
}

// Checks flashraw.bin against the digest and length the request quotes and
// against the controller's model, then runs the image: the status document
// and the archives' status.txt report its version string from then on
// (unless the upgrade is to be kept from taking effect, fault "keep").
reply upgrade(sim_context &context, const httplib::Request &request)
{
    const std::string hash = request.get_param_value("hash");
    const std::string size = request.get_param_value("size");
    const std::optional<bytes> image = read_whole_file(tftp_file(context));
    const std::string actual_hash = image ? sha256_hex(*image) : "";
    const std::string actual_size = image ? std::to_string(image->size()) : "";
    const bool has_block = image && image->size() >= INFO_OFFSET + INFO_SIZE;
    const std::string image_version = has_block ? info_text(*image, INFO_VERSION) : "";
    const bool keep = fault_for(context, "upgrade", "upgrade").kind == fault_kind::keep;
    sim_identity id = identity_of(context);
    const std::string before = id.firmware_version;
    std::string error;
    if (!request.has_param("hash") || !request.has_param("size"))
        error = "hash and size are required";
    else if (!image)
        error = "no flashraw.bin";
    else if (size != actual_size)
        error = "size mismatch";
    else if (hash != actual_hash)
        error = "hash mismatch";
    else if (!has_block || info_text(*image, INFO_MODEL) != id.model_name)
        error = "the image is not for this model";
    if (error.empty() && !keep && !image_version.empty() && image_version != before) {
        {
            const std::lock_guard<std::mutex> lock(context.identity_mutex);
            context.identity.firmware_version = image_version;
        }
        id.firmware_version = image_version;
        if (!context.store->set_status_txt(status_txt(id)))
            error = "cannot write the state directory";
    }
    log_line line("upgrade");
    line.text("result", error.empty() ? "ok" : "error").text("hash", hash).text("size", size);
    line.text("actual_hash", actual_hash).text("actual_size", actual_size);
    if (!error.empty())
        line.text("reason", error);
    line.text("image_version", image_version).text("firmware_before", before).text("firmware_version", id.firmware_version);
    if (keep)
        line.flag("kept", true);
    line.emit();
    return action_result("firmwareupgrade", error.empty(), error);
}

bytes noise(std::size_t length)
{
    bytes out(length);
    std::uint32_t state = 0x2545F491u;
    for (std::uint8_t &byte : out) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        byte = static_cast<std::uint8_t>(state);
    }
    return out;
}

// Answers a request at `target` (an endpoint of the fault table) with the
// answer `make` builds, unless a fault replaces or spoils it; logs the request.
template <typename Make>
void answer(const sim_context &context, const httplib::Request &request, httplib::Response &response,
            const std::string &target, const std::string &fallback, Make make)
{
    const fault &f = fault_for(context, target, fallback);
    reply out;
    switch (f.kind) {
    case fault_kind::http_400: out = html_error(400); break;
    case fault_kind::http_404: out = html_error(404); break;
    case fault_kind::http_500: out = html_error(500); break;
    case fault_kind::empty: out = reply{200, "application/octet-stream", ""}; break;
    case fault_kind::garbage: out = reply{200, "application/octet-stream", bytes_text(noise(4096))}; break;
    case fault_kind::body: {
        const std::optional<bytes> file = read_whole_file(f.file);
        out = file ? reply{200, "application/octet-stream", bytes_text(*file)} : html_error(500);
        break;
    }
    case fault_kind::redirect:
        if (!request.has_param("redirected")) {
            out = reply{302, "text/html", error_page(302), request.target + "&redirected=1"};
            if (request.target.find('?') == std::string::npos)
                out.location = request.target + "?redirected=1";
            break;
        }
        out = make();
        break;
    case fault_kind::loop: out = reply{302, "text/html", error_page(302), request.target}; break;
    case fault_kind::elsewhere: out = reply{302, "text/html", error_page(302), f.file}; break;
    case fault_kind::refuse: out = action_result("firmwareupgrade", false, "the controller refuses the upgrade"); break;
    case fault_kind::cut: {
        const std::string name = request.get_param_value("config");
        const std::optional<bytes> archive = context.store->archive(name, true);
        out = archive ? reply{200, "application/x-tar", bytes_text(*archive)} : make();
        if (archive && out.body.size() > f.cut_bytes)
            out.body.resize(f.cut_bytes);
        break;
    }
    default: out = make(); break;
    }
    if (f.kind == fault_kind::truncated)
        out.body.resize(out.body.size() / 2);
    const std::size_t sent = f.kind == fault_kind::drop ? out.body.size() / 2 : out.body.size();
    const std::size_t query = request.target.find('?');
    log_line("request")
        .text("method", request.method)
        .text("path", request.path)
        .text("query", query == std::string::npos ? "" : request.target.substr(query + 1))
        .number("status", out.status)
        .number("bytes", static_cast<long long>(sent))
        .text("fault", f.mode_text)
        .emit();
    if (f.kind == fault_kind::slow)
        std::this_thread::sleep_for(std::chrono::milliseconds(f.delay_ms));
    // A stalled answer holds the connection without a byte until the client
    // gives up and the simulator stops (or an hour has passed).
    for (int waited = 0; f.kind == fault_kind::stall && !context.stopping && waited < 36000; ++waited)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    response.status = out.status;
    if (!out.location.empty())
        response.set_header("Location", out.location);
    if (f.kind == fault_kind::trickle && !out.body.empty()) {
        auto body = std::make_shared<std::string>(std::move(out.body));
        const sim_context *running = &context;
        const int delay_ms = f.delay_ms;
        response.set_content_provider(body->size(), out.type.c_str(),
                                      [body, running, delay_ms](std::size_t offset, std::size_t, httplib::DataSink &sink) {
                                          // One byte, then the pause; the simulator's end ends it.
                                          for (int waited = 0; waited < delay_ms && !running->stopping; waited += 10)
                                              std::this_thread::sleep_for(std::chrono::milliseconds(10));
                                          return !running->stopping && sink.write(body->data() + offset, 1);
                                      });
        return;
    }
    if (f.kind != fault_kind::drop || out.body.empty()) {
        response.set_content(out.body, out.type.c_str());
        return;
    }
    auto body = std::make_shared<std::string>(std::move(out.body));
    response.set_content_provider(body->size(), out.type.c_str(),
                                  [body, sent](std::size_t offset, std::size_t, httplib::DataSink &sink) {
                                      // Half the body, then a refusal: the connection is closed mid-body.
                                      return offset < sent && sink.write(body->data() + offset, sent - offset);
                                  });
}

} // namespace

bool parse_fault(const std::string &setting, fault_table &faults, std::string &error)
{
    const std::size_t equals = setting.find('=');
    const std::string target = setting.substr(0, equals);
    const std::string mode = equals == std::string::npos ? "" : setting.substr(equals + 1);
    const bool known_target = target == "status" || target == "backup" || target == "restore" || target == "upgrade" ||
                              (target.rfind("backup:", 0) == 0 && sim_config_name_valid(target.substr(7)));
    if (!known_target) {
        error = "unknown fault target in '" + setting + "'";
        return false;
    }
    fault f;
    f.mode_text = mode;
    if (mode == "none") f.kind = fault_kind::none;
    else if (mode == "400") f.kind = fault_kind::http_400;
    else if (mode == "404") f.kind = fault_kind::http_404;
    else if (mode == "500") f.kind = fault_kind::http_500;
    else if (mode == "empty") f.kind = fault_kind::empty;
    else if (mode == "garbage") f.kind = fault_kind::garbage;
    else if (mode == "truncated") f.kind = fault_kind::truncated;
    else if (mode == "drop") f.kind = fault_kind::drop;
    else if (mode == "slow") f.kind = fault_kind::slow;
    else if (mode == "redirect") f.kind = fault_kind::redirect;
    else if (mode == "loop") f.kind = fault_kind::loop;
    else if (mode == "stall") f.kind = fault_kind::stall;
    else if (mode == "cut") f.kind = fault_kind::cut;
    else if (mode == "trickle") {
        f.kind = fault_kind::trickle;
        f.delay_ms = 500;
    }
    else if (mode.rfind("trickle:", 0) == 0 && mode.size() > 8 && mode.size() < 15 &&
             mode.find_first_not_of("0123456789", 8) == std::string::npos) {
        f.kind = fault_kind::trickle;
        f.delay_ms = std::stoi(mode.substr(8));
    }
    else if (mode.rfind("redirect:", 0) == 0 && mode.size() > 9) {
        f.kind = fault_kind::elsewhere;
        f.file = mode.substr(9);
    }
    else if ((mode == "refuse" || mode == "keep") && target == "upgrade")
        f.kind = mode == "refuse" ? fault_kind::refuse : fault_kind::keep;
    else if (mode.rfind("cut:", 0) == 0 && mode.size() > 4 && mode.size() < 12 &&
             mode.find_first_not_of("0123456789", 4) == std::string::npos) {
        f.kind = fault_kind::cut;
        f.cut_bytes = std::stoul(mode.substr(4));
    }
    else if (mode.rfind("slow:", 0) == 0 && mode.size() > 5 && mode.size() < 12 &&
             mode.find_first_not_of("0123456789", 5) == std::string::npos) {
        f.kind = fault_kind::slow;
        f.delay_ms = std::stoi(mode.substr(5));
    } else if (mode.rfind("body:", 0) == 0 && mode.size() > 5) {
        f.kind = fault_kind::body;
        f.file = mode.substr(5);
    } else {
        error = "unknown fault mode in '" + setting + "'";
        return false;
    }
    faults[target] = f;
    return true;
}

std::string status_txt(const sim_identity &identity)
{
    return "{\n  \"model_name\": " + json_quote(identity.model_name) + ",\n  \"firmware_version\": " +
           json_quote(identity.firmware_version) + ",\n  \"serial_number\": " + json_quote(identity.serial_number) +
           ",\n  \"mac\": " + json_quote(identity.mac) + "\n}\n";
}

void setup_routes(httplib::Server &server, sim_context &context)
{
    server.Get("/api/v100/status.ssi", [&context](const httplib::Request &request, httplib::Response &response) {
        if (!request.has_param("action")) {
            answer(context, request, response, "status", "status",
                   [&] { return reply{200, "application/json", status_document(context)}; });
            return;
        }
        const std::string action = request.get_param_value("action");
        if (action == "restoreconfig")
            answer(context, request, response, "restore", "restore", [&] { return restore(context); });
        else if (action == "firmwareupgrade")
            answer(context, request, response, "upgrade", "upgrade", [&] { return upgrade(context, request); });
        else
            answer(context, request, response, "status", "status", [] { return html_error(400); });
    });
    server.Get("/api/v100/backup.ssi", [&context](const httplib::Request &request, httplib::Response &response) {
        const std::string name = request.get_param_value("config");
        answer(context, request, response, "backup:" + name, "backup", [&] {
            const std::optional<bytes> archive = context.store->archive(name);
            return archive ? reply{200, "application/x-tar", bytes_text(*archive)} : html_error(404);
        });
    });
    const auto unknown = [&context](const httplib::Request &request, httplib::Response &response) {
        answer(context, request, response, "", "", [] { return html_error(404); });
    };
    server.Get(".*", unknown);
    server.Post(".*", unknown);
    server.Put(".*", unknown);
    server.Delete(".*", unknown);
}
