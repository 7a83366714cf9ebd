// The simulated controller on its own, driven by the curl command line and
// checked with Python's tarfile: what every end-to-end test stands on.
#include "files.h"
#include "run.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const std::vector<std::string> CONFIGS = {"systemconfig", "dali1", "dali2", "dali3", "dali4", "cd1",
                                          "cd2",          "cd3",   "cd4",   "schedules", "rlc"};

run_result curl(const std::vector<std::string> &args) { return run_program("curl", args, {}); }

run_result python(const std::string &script, const std::vector<std::string> &args = {})
{
    std::vector<std::string> all = {"-c", script};
    all.insert(all.end(), args.begin(), args.end());
    return run_program("python3", all);
}

std::string text_of(const std::vector<std::uint8_t> &data) { return std::string(data.begin(), data.end()); }

// Lists a tar file as "path size" lines, then prints the JSON members of status.txt.
const char *const LIST_ARCHIVE = R"(
import json, sys, tarfile
with tarfile.open(sys.argv[1]) as t:
    for m in t.getmembers():
        print(m.name, m.size, oct(m.mode), m.type.decode())
    s = json.loads(t.extractfile('status.txt').read())
    print(s['model_name'], s['firmware_version'], s['serial_number'], s['mac'])
)";

} // namespace

TEST(ControllerSim, ServesStatusAndEveryConfigurationToCurl)
{
    controller_sim sim(sim_options().firmware("1.5.0").model("VESTRA-4X"));
    temp_dir dir;

    const run_result status = curl({"-s", "-f", "http://" + sim.address() + "/api/v100/status.ssi"});
    ASSERT_EQ(status.status, 0) << status.err;
    const run_result parsed = run_program("python3",
                                          {"-c", "import json,sys; d=json.load(sys.stdin); print(len(d), "
                                                 "d['model_name'], d['firmware_version'], "
                                                 "all(isinstance(v, str) for v in d.values()))"},
                                          run_options().stdin_text(status.out));
    EXPECT_EQ(parsed.out, "22 VESTRA-4X 1.5.0 True\n") << parsed.err;

    for (const std::string &name : CONFIGS) {
        const std::string file = dir.file(name + ".tar");
        const run_result got =
            curl({"-s", "-f", "-o", file, "http://" + sim.address() + "/api/v100/backup.ssi?config=" + name});
        ASSERT_EQ(got.status, 0) << name << got.err;
        // Byte for byte what the simulator says it serves, with its file first and status.txt second.
        EXPECT_EQ(read_file(file), sim.stored_archive(name)) << name;
        const std::vector<std::uint8_t> content = sim.stored(name).value();
        const run_result listed = python(LIST_ARCHIVE, {file});
        ASSERT_EQ(listed.status, 0) << listed.err;
        const std::string first = listed.out.substr(0, listed.out.find(' '));
        EXPECT_EQ(listed.out.substr(listed.out.find('\n') + 1, 11), "status.txt ") << listed.out;
        EXPECT_NE(listed.out.find(" " + std::to_string(content.size()) + " 0o664 0\n"), std::string::npos)
            << listed.out;
        EXPECT_NE(listed.out.find("VESTRA-4X 1.5.0 "), std::string::npos) << listed.out;
        if (name.rfind("dali", 0) == 0) {
            EXPECT_EQ(first, "/etc/config/dali/" + name + ".bin");
        }
        // GNU tar reads it too, and finds the same bytes.
        const run_result extracted = run_program("tar", {"-xOf", file, first});
        EXPECT_EQ(extracted.out, text_of(content)) << name << extracted.err;
    }
    EXPECT_EQ(sim.requests("/api/v100/backup.ssi").size(), CONFIGS.size());
    EXPECT_EQ(sim.requests("/api/v100/backup.ssi", "config=rlc").at(0).get("status"), "200");

    // An unknown configuration or path: a 404 HTML page, logged.
    const run_result unknown = curl({"-s", "-w", "%{http_code}", "http://" + sim.address() + "/api/v100/backup.ssi?config=dali5"});
    EXPECT_NE(unknown.out.find("<html>"), std::string::npos);
    EXPECT_EQ(unknown.out.substr(unknown.out.size() - 3), "404");
    EXPECT_EQ(sim.requests("/api/v100/backup.ssi", "config=dali5").at(0).get("status"), "404");
}

TEST(ControllerSim, FactoryChannelFilesAreLayoutOneWithValidChecksums)
{
    controller_sim sim;
    // An independent CRC-16/MCRF4XX: table-free, checked against its catalogue value first.
    const char *const check = R"(
import struct, sys
def crc(data):
    c = 0xFFFF
    for b in data:
        c ^= b
        for _ in range(8):
            c = (c >> 1) ^ 0x8408 if c & 1 else c >> 1
    return c
assert crc(b'123456789') == 0x6F91
for path in sys.argv[1:]:
    d = bytearray(open(path, 'rb').read())
    size, checksum, layout = struct.unpack_from('<III', d, 0)
    d[4:8] = b'\0\0\0\0'
    names = [d[60 + 152*i + 94: 60 + 152*i + 127].split(b'\0')[0].decode() for i in range(64)]
    named = [n for n in names if n]
    addresses = [d[60 + 152*i + 11] for i in range(64) if names[i]]
    print(len(d), size, layout, checksum == crc(d), len(named) >= 3, addresses == [2*i+1 for i in range(len(named))])
)";
    std::vector<std::string> files;
    for (int channel = 1; channel <= 4; ++channel)
        files.push_back(sim.state_dir() + "/dali" + std::to_string(channel) + ".bin");
    const run_result checked = python(check, files);
    EXPECT_EQ(checked.out, "11168 11168 1 True True True\n11168 11168 1 True True True\n"
                           "11168 11168 1 True True True\n11168 11168 1 True True True\n")
        << checked.err;
    // The further channel sets carry a version field the restore accepts (2 or less).
    for (const char *name : {"cd1", "cd2", "cd3", "cd4"}) {
        const std::vector<std::uint8_t> cd = sim.stored(name).value();
        ASSERT_GE(cd.size(), 12u);
        EXPECT_LE(cd[8] | cd[9] << 8 | cd[10] << 16 | cd[11] << 24, 2) << name;
    }
    for (const char *name : {"systemconfig", "schedules", "rlc"})
        EXPECT_GT(sim.stored(name).value().size(), 0u) << name;
}

TEST(ControllerSim, RestoresAnArchiveUploadedByTftpAndServesItAfterwards)
{
    controller_sim sim;
    temp_dir dir;
    // A GNU tar archive (leading "/" kept) of a new dali3 file and a stray entry.
    const std::string root = dir.file("root");
    ASSERT_EQ(run_program("mkdir", {"-p", root + "/etc/config/dali"}).status, 0);
    std::vector<std::uint8_t> content(11168);
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = static_cast<std::uint8_t>(i * 7);
    ASSERT_TRUE(write_file(root + "/etc/config/dali/dali3.bin", content));
    ASSERT_TRUE(write_file(root + "/notes.txt", std::string("hello")));
    const std::string upload = dir.file("upload.tar");
    ASSERT_EQ(run_program("tar", {"-cf", upload, "-P", "--transform", "s,^" + root + ",,",
                                  root + "/etc/config/dali/dali3.bin", root + "/notes.txt"})
                  .status,
              0);

    const run_result put = curl({"-s", "-S", "-T", upload, "tftp://" + sim.address() + "/flashraw.bin"});
    ASSERT_EQ(put.status, 0) << put.err;
    EXPECT_EQ(sim.flashraw(), read_file(upload));
    const run_result restore = curl({"-s", "http://" + sim.address() + "/api/v100/status.ssi?action=restoreconfig"});
    EXPECT_EQ(restore.out, "{\"action\":\"restoreconfig\",\"result\":\"ok\"}\n");
    EXPECT_EQ(sim.stored("dali3"), content);

    const std::vector<sim_event> stored = sim.events("config_stored");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].get("config"), "dali3");
    EXPECT_EQ(stored[0].get("checksum_valid"), "false");
    EXPECT_EQ(sim.events("restore_ignored").at(0).get("path"), "/notes.txt");
    EXPECT_EQ(sim.events("restore").at(0).get("result"), "ok");

    // The next backup hands out the restored file.
    const std::string back = dir.file("back.tar");
    ASSERT_EQ(curl({"-s", "-o", back, "http://" + sim.address() + "/api/v100/backup.ssi?config=dali3"}).status, 0);
    EXPECT_EQ(run_program("tar", {"-xOf", back, "/etc/config/dali/dali3.bin"}).out, text_of(content));

    // An upload that is no tar archive restores nothing and says so.
    ASSERT_TRUE(write_file(dir.file("junk"), std::string(700, 'x')));
    ASSERT_EQ(curl({"-s", "-T", dir.file("junk"), "tftp://" + sim.address() + "/flashraw.bin"}).status, 0);
    const run_result bad = curl({"-s", "http://" + sim.address() + "/api/v100/status.ssi?action=restoreconfig"});
    EXPECT_NE(bad.out.find("\"result\":\"error\""), std::string::npos) << bad.out;
    EXPECT_EQ(sim.events("restore").at(1).get("result"), "error");
    EXPECT_EQ(sim.stored("dali3"), content);
}

TEST(ControllerSim, RestoresTheArchiveFormTheToolWrites)
{
    // The tool's own header records: no format magic, octal numbers without
    // padding, the checksum as six digits, a NUL and a space.
    const char *const make = R"(
import sys
def header(name, size):
    h = bytearray(512)
    h[0:len(name)] = name.encode()
    for offset, text in ((100, b'664'), (108, b'0'), (124, b'%o' % size), (136, b'%o' % 1700000000)):
        h[offset:offset + len(text)] = text
    h[156] = ord('0')
    h[148:156] = b'%06o\0 ' % (256 + sum(h[:148]) + sum(h[156:]))
    return bytes(h)
data = bytes((i * 13) & 0xFF for i in range(11168))
sys.stdout.buffer.write(header('/etc/config/dali/dali4.bin', len(data)) + data + bytes(11264 - 11168) + bytes(1024))
)";
    controller_sim sim;
    temp_dir dir;
    const run_result made = python(make);
    ASSERT_EQ(made.out.size(), 12800u) << made.err;
    ASSERT_TRUE(write_file(dir.file("tool.tar"), made.out));
    ASSERT_EQ(curl({"-s", "-T", dir.file("tool.tar"), "tftp://" + sim.address() + "/flashraw.bin"}).status, 0);
    curl({"-s", "http://" + sim.address() + "/api/v100/status.ssi?action=restoreconfig"});
    EXPECT_EQ(text_of(sim.stored("dali4").value()), made.out.substr(512, 11168));
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_EQ(sim.error_output(), "");
}

TEST(ControllerSim, UpgradeRequestIsCheckedAgainstTheUploadedImage)
{
    controller_sim sim;
    temp_dir dir;
    const std::string image = dir.file("image.binary");
    std::string bytes(70000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 31 + 5);
    ASSERT_TRUE(write_file(image, bytes));
    ASSERT_EQ(curl({"-s", "-T", image, "tftp://" + sim.address() + "/flashraw.bin"}).status, 0);
    const std::string hash = run_program("sha256sum", {image}).out.substr(0, 64);
    const std::string url = "http://" + sim.address() + "/api/v100/status.ssi?action=firmwareupgrade&hash=";

    EXPECT_EQ(curl({"-s", url + hash + "&size=70000"}).out, "{\"action\":\"firmwareupgrade\",\"result\":\"ok\"}\n");
    curl({"-s", url + hash + "&size=69999"});
    curl({"-s", url + std::string(64, '0') + "&size=70000"});
    const std::vector<sim_event> upgrades = sim.events("upgrade");
    ASSERT_EQ(upgrades.size(), 3u);
    EXPECT_EQ(upgrades[0].get("result"), "ok");
    EXPECT_EQ(upgrades[0].get("actual_hash"), hash);
    EXPECT_EQ(upgrades[1].get("reason"), "size mismatch");
    EXPECT_EQ(upgrades[2].get("reason"), "hash mismatch");
}

TEST(ControllerSim, FaultModesSpoilTheChosenEndpointsOnly)
{
    temp_dir dir;
    ASSERT_TRUE(write_file(dir.file("doc.json"), std::string("{\"model_name\":\"X1\"}")));
    sim_options options;
    options.tftp = "refuse";
    options.faults = {"backup:dali2=404",  "backup:dali3=drop", "backup:cd1=truncated",
                      "backup:cd2=garbage", "backup:cd3=empty", "backup:cd4=500",
                      "status=body:" + dir.file("doc.json"), "restore=500"};
    controller_sim sim(options);
    const std::string api = "http://" + sim.address() + "/api/v100/";

    const run_result missing = curl({"-s", "-w", "%{http_code}", api + "backup.ssi?config=dali2"});
    EXPECT_NE(missing.out.find("<title>404 Not Found</title>"), std::string::npos);
    EXPECT_EQ(curl({"-s", "-w", "%{http_code}", api + "backup.ssi?config=cd4"}).out.substr(0, 15), "<!DOCTYPE html>");
    EXPECT_EQ(curl({"-s", api + "backup.ssi?config=dali3"}).status, 18); // transfer closed with bytes remaining
    EXPECT_EQ(curl({"-s", api + "backup.ssi?config=cd1"}).out.size(), sim.stored_archive("cd1")->size() / 2);
    EXPECT_EQ(curl({"-s", api + "backup.ssi?config=cd2"}).out.size(), 4096u);
    const run_result empty = curl({"-s", "-w", "%{http_code}", api + "backup.ssi?config=cd3"});
    EXPECT_EQ(empty.out, "200");
    EXPECT_EQ(curl({"-s", api + "status.ssi"}).out, "{\"model_name\":\"X1\"}");
    // Endpoints without a fault answer normally.
    ASSERT_EQ(curl({"-s", "-o", dir.file("d1.tar"), api + "backup.ssi?config=dali1"}).status, 0);
    EXPECT_EQ(read_file(dir.file("d1.tar")), sim.stored_archive("dali1"));

    // The TFTP server refuses the upload at once; nothing arrives.
    ASSERT_TRUE(write_file(dir.file("up"), std::string(100, 'u')));
    const run_result refused = curl({"-s", "-T", dir.file("up"), "tftp://" + sim.address() + "/flashraw.bin"});
    EXPECT_EQ(refused.status, 68); // TFTP: file not found
    EXPECT_EQ(sim.flashraw(), std::nullopt);
    // A replaced answer applies nothing.
    curl({"-s", api + "status.ssi?action=restoreconfig"});
    EXPECT_TRUE(sim.events("restore").empty());

    const std::vector<sim_event> requests = sim.requests("/api/v100/backup.ssi");
    ASSERT_EQ(requests.size(), 7u);
    EXPECT_EQ(requests[0].get("fault"), "404");
    EXPECT_EQ(requests[1].get("fault"), "500");
    EXPECT_EQ(requests[2].get("fault"), "drop");
    EXPECT_EQ(requests[6].get("fault"), "none");
}

TEST(ControllerSim, StateDirectoryHoldsTheConfigurationsAcrossRuns)
{
    temp_dir state;
    std::vector<std::uint8_t> custom(300, 0x5A);
    ASSERT_TRUE(write_file(state.file("dali1.bin"), custom));
    ASSERT_TRUE(write_file(state.file("extra.bin"), std::string("extra configuration")));
    temp_dir dir;
    {
        controller_sim sim(sim_options().state(state.path()).no_defaults());
        const std::string api = "http://" + sim.address() + "/api/v100/";
        EXPECT_EQ(sim.stored("dali1"), custom);
        EXPECT_EQ(sim.stored("dali2"), std::nullopt);
        EXPECT_NE(curl({"-s", api + "backup.ssi?config=dali2"}).out.find("404"), std::string::npos);
        // A name outside the standard set lives under /etc/config/other/.
        ASSERT_EQ(curl({"-s", "-o", dir.file("x.tar"), api + "backup.ssi?config=extra"}).status, 0);
        EXPECT_EQ(run_program("tar", {"-xOf", dir.file("x.tar"), "/etc/config/other/extra.bin"}).out,
                  "extra configuration");
        // Restore a new dali1 through the archive the simulator itself hands out for it.
        std::vector<std::uint8_t> changed(512, 0x11);
        ASSERT_TRUE(write_file(dir.file("root.bin"), changed));
        ASSERT_EQ(run_program("tar", {"-cf", dir.file("up.tar"), "-P", "--transform",
                                      "s,.*root.bin,/etc/config/dali/dali1.bin,", dir.file("root.bin")})
                      .status,
                  0);
        ASSERT_EQ(curl({"-s", "-T", dir.file("up.tar"), "tftp://" + sim.address() + "/flashraw.bin"}).status, 0);
        curl({"-s", api + "status.ssi?action=restoreconfig"});
        EXPECT_EQ(sim.stored("dali1"), changed);
    }
    // A later run starts from what the last one stored; factory content fills the rest.
    controller_sim again(sim_options().state(state.path()));
    EXPECT_EQ(again.stored("dali1"), std::vector<std::uint8_t>(512, 0x11));
    EXPECT_EQ(again.stored("dali2").value().size(), 11168u);
    EXPECT_EQ(again.tftp_dir(), state.path() + "/tftp");
}

TEST(ControllerSim, WithoutTftpServerNobodyAnswersAndHelpDescribesTheOptions)
{
    controller_sim sim(sim_options().tftp_mode("off"));
    temp_dir dir;
    ASSERT_TRUE(write_file(dir.file("up"), std::string(10, 'u')));
    const run_result silent =
        curl({"-s", "--connect-timeout", "2", "-T", dir.file("up"), "tftp://" + sim.address() + "/flashraw.bin"});
    EXPECT_NE(silent.status, 0);
    EXPECT_EQ(sim.flashraw(), std::nullopt);
    EXPECT_EQ(curl({"-s", "-o", "/dev/null", "-w", "%{http_code}", "http://" + sim.address() + "/api/v100/status.ssi"}).out,
              "200");

    const run_result help = run_program(MERVO_SIM_PATH, {"--help"});
    EXPECT_EQ(help.status, 0);
    for (const char *option : {"--port", "--state", "--no-defaults", "--tftp-dir", "--tftp ", "--model", "--firmware",
                               "--fault", "truncated", "drop", "slow"})
        EXPECT_NE(help.out.find(option), std::string::npos) << option;
    EXPECT_EQ(run_program(MERVO_SIM_PATH, {"--fault", "status=sideways"}).status, 2);
    EXPECT_EQ(run_program(MERVO_SIM_PATH, {"--tftp", "maybe"}).status, 2);
}
