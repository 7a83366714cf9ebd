// The simulated controller on its own, driven by the curl command line and
// checked with Python and GNU tar: what every end-to-end test stands on. (Its
// fault modes are checked through the tool, by the tests that use them.)
#include "expect.h"
#include "files.h"
#include "run.h"
#include "sim.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

run_result curl(const std::vector<std::string> &args) { return run_program("curl", args); }

run_result python(const std::string &script, const std::vector<std::string> &args = {})
{
    std::vector<std::string> all = {"-c", script};
    all.insert(all.end(), args.begin(), args.end());
    return run_program("python3", all);
}

std::string text_of(const bytes &data) { return std::string(data.begin(), data.end()); }

// Uploads `file` by TFTP and asks for its restore; the controller's answer.
std::string upload_and_restore(const controller_sim &sim, const std::string &file)
{
    EXPECT_EQ(curl({"-s", "-T", file, "tftp://" + sim.address() + "/flashraw.bin"}).status, 0);
    return curl({"-s", sim.base() + "/api/v100/status.ssi?action=restoreconfig"}).out;
}

} // namespace

TEST(ControllerSim, ServesStatusAndEveryConfigurationToCurl)
{
    controller_sim sim(sim_options().firmware("1.5.0").model("VESTRA-4X"));
    temp_dir dir;
    const run_result status = curl({"-s", "-f", sim.base() + "/api/v100/status.ssi"});
    ASSERT_EQ(status.status, 0) << status.err;
    const run_result parsed = run_program("python3",
                                          {"-c", "import json,sys; d=json.load(sys.stdin); print(len(d), d['model_name'], "
                                                 "d['firmware_version'], all(isinstance(v, str) for v in d.values()))"},
                                          run_options().stdin_text(status.out));
    EXPECT_EQ(parsed.out, "22 VESTRA-4X 1.5.0 True\n") << parsed.err;

    // Each configuration: its file first, then status.txt, as Python's
    // tarfile lists them; GNU tar finds the same bytes.
    const char *const list = "import json, sys, tarfile\n"
                             "with tarfile.open(sys.argv[1]) as t:\n"
                             "    m = t.getmembers()\n"
                             "    s = json.loads(t.extractfile('status.txt').read())\n"
                             "    print(m[0].name, m[0].size, oct(m[0].mode), m[1].name, s['model_name'], s['firmware_version'])\n";
    for (const std::string &name : standard_configs()) {
        const std::string file = dir.file(name + ".tar");
        ASSERT_EQ(curl({"-s", "-f", "-o", file, sim.base() + "/api/v100/backup.ssi?config=" + name}).status, 0) << name;
        EXPECT_EQ(read_file(file), sim.stored_archive(name)) << name;
        const bytes content = sim.stored(name).value();
        EXPECT_EQ(python(list, {file}).out, config_path(name) + " " + std::to_string(content.size()) +
                                                " 0o664 status.txt VESTRA-4X 1.5.0\n");
        EXPECT_EQ(run_program("tar", {"-xOf", file, config_path(name)}).out, text_of(content)) << name;
    }
    EXPECT_EQ(sim.requests("/api/v100/backup.ssi").size(), standard_configs().size());

    // An unknown configuration: a 404 HTML page, logged.
    const run_result unknown = curl({"-s", "-w", "%{http_code}", sim.base() + "/api/v100/backup.ssi?config=dali5"});
    EXPECT_NE(unknown.out.find("<html>"), std::string::npos);
    EXPECT_EQ(unknown.out.substr(unknown.out.size() - 3), "404");
    EXPECT_EQ(sim.requests("/api/v100/backup.ssi", "config=dali5").at(0).get("status"), "404");
}

TEST(ControllerSim, FactoryChannelFilesAreLayoutOneWithValidChecksums)
{
    controller_sim sim;
    // An independent CRC-16/MCRF4XX, checked against its catalogue value first.
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
    std::string expected;
    for (int channel = 1; channel <= 4; ++channel)
        expected += "11168 11168 1 True True True\n";
    EXPECT_EQ(checked.out, expected) << checked.err;
    // The further channel sets carry a version field the restore accepts (2 or less).
    for (const char *name : {"cd1", "cd2", "cd3", "cd4"}) {
        const bytes cd = sim.stored(name).value();
        ASSERT_GE(cd.size(), 12u);
        EXPECT_LE(cd[8] | cd[9] << 8 | cd[10] << 16 | cd[11] << 24, 2) << name;
    }
}

TEST(ControllerSim, RestoresUploadedArchivesAndServesThemAfterwards)
{
    controller_sim sim;
    temp_dir dir;
    // A GNU tar archive (leading "/" kept) of a new dali3 file and a stray entry.
    const bytes content = pattern(11168, 7);
    ASSERT_TRUE(write_file(dir.file("upload.tar"),
                           gnu_tar({{"/etc/config/dali/dali3.bin", content}, {"/notes.txt", text_bytes("hello")}})));
    EXPECT_EQ(upload_and_restore(sim, dir.file("upload.tar")), RESTORE_OK);
    EXPECT_EQ(sim.flashraw(), read_file(dir.file("upload.tar")));
    EXPECT_EQ(sim.stored("dali3"), content);
    const std::vector<sim_event> stored = sim.events("config_stored");
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0].get("config"), "dali3");
    EXPECT_EQ(stored[0].get("checksum_valid"), "false");
    EXPECT_EQ(sim.events("restore_ignored").at(0).get("path"), "/notes.txt");
    // The next backup hands out the restored file.
    ASSERT_EQ(curl({"-s", "-o", dir.file("back.tar"), sim.base() + "/api/v100/backup.ssi?config=dali3"}).status, 0);
    EXPECT_EQ(run_program("tar", {"-xOf", dir.file("back.tar"), "/etc/config/dali/dali3.bin"}).out, text_of(content));

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
    const run_result made = python(make);
    ASSERT_EQ(made.out.size(), 12800u) << made.err;
    ASSERT_TRUE(write_file(dir.file("tool.tar"), made.out));
    EXPECT_EQ(upload_and_restore(sim, dir.file("tool.tar")), RESTORE_OK);
    EXPECT_EQ(text_of(sim.stored("dali4").value()), made.out.substr(512, 11168));

    // An upload that is no tar archive restores nothing and says so.
    ASSERT_TRUE(write_file(dir.file("junk"), std::string(700, 'x')));
    EXPECT_NE(upload_and_restore(sim, dir.file("junk")).find("\"result\":\"error\""), std::string::npos);
    EXPECT_EQ(sim.events("restore").at(2).get("result"), "error");
    EXPECT_EQ(sim.stored("dali3"), content);
    EXPECT_EQ(sim.stop(), 0);
    EXPECT_EQ(sim.error_output(), "");
}

TEST(ControllerSim, StateDirectoryHoldsTheConfigurationsAcrossRuns)
{
    temp_dir state, dir;
    ASSERT_TRUE(write_file(state.file("dali1.bin"), bytes(300, 0x5A)));
    ASSERT_TRUE(write_file(state.file("extra.bin"), std::string("extra configuration")));
    {
        controller_sim sim(sim_options().state(state.path()).no_defaults());
        EXPECT_EQ(sim.stored("dali2"), std::nullopt);
        EXPECT_NE(curl({"-s", sim.base() + "/api/v100/backup.ssi?config=dali2"}).out.find("404"), std::string::npos);
        // A name outside the standard set lives under /etc/config/other/.
        ASSERT_EQ(curl({"-s", "-o", dir.file("x.tar"), sim.base() + "/api/v100/backup.ssi?config=extra"}).status, 0);
        EXPECT_EQ(run_program("tar", {"-xOf", dir.file("x.tar"), "/etc/config/other/extra.bin"}).out, "extra configuration");
        // A new dali1, restored.
        ASSERT_TRUE(write_file(dir.file("up.tar"), gnu_tar({{"/etc/config/dali/dali1.bin", bytes(512, 0x11)}})));
        upload_and_restore(sim, dir.file("up.tar"));
    }
    // A later run starts from what the last one stored; factory content fills the rest.
    controller_sim again(sim_options().state(state.path()));
    EXPECT_EQ(again.stored("dali1"), bytes(512, 0x11));
    EXPECT_EQ(again.stored("dali2").value().size(), 11168u);
    EXPECT_EQ(again.tftp_dir(), state.path() + "/tftp");
}
