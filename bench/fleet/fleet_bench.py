#!/usr/bin/env python3
"""A building on this machine: N simulated controllers behind one emulated LAN
link, backed up, inspected and upgraded with the fleet examples as written,
and measured.

Two network namespaces, the technician's laptop (mervo-fleet-laptop-PID) and
the building (mervo-fleet-building-PID), are joined by mervo-link-emulator:
one link at --rate-mbit (a token bucket with a bounded queue that drops what
does not fit), --delay-us each way and --loss each way. In the building, N + S
simulated controllers (10.78.1.1, 10.78.1.2, ... port 6969), each with its own
state folder (a configuration of its own among the factory ones) and its own
TFTP server. In the laptop, mervo-cli (on PATH, each run's peak memory taken
by /usr/bin/time), Ansible and the examples. No traffic leaves the namespaces.

Phases, each timed, with the link's counts over it:
  sequential  the reference: S extra controllers, one after another: the
              backup (the command of backup.yml), show_backup of it, and the
              rollout (examples/fleet/rollout with BATCHES="1 1 1 ...")
  backup      examples/fleet/backup.yml over the N controllers, forks = N
  show        show_backup of every backup, xargs -P N
  rollout     examples/fleet/rollout.yml with the image, forks = N
Checks (outside the phases' time): every backup of the backup phase holds, byte
for byte, the archives its controller hands out; every one shown intact; every
controller that the rollout's summary calls upgraded runs the image's version
(read from the controller directly) and holds the image byte for byte (its
digest), and every other one does not (no false result either way); without
--refuse, every controller is upgraded. The backups the rollout took hold the
configuration files their controller holds.

Prints one JSON line per figure ("setup", "phase", "check", "pushes",
"memory", "link") and last a "verdict" with every check that failed (exit
status 1 then); bench/run_bench.py --only fleet makes the table.

Usage (as root): bench/fleet/fleet_bench.py BUILD_DIR [options]   (--help)
Bounded: every phase under a time limit, the emulator under --max-seconds and
--max-packets; the namespaces, the emulator and every process started here go
on any exit (signals included); children die with this process.
"""
import argparse
import ctypes
import io
import json
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.dirname(HERE))
sys.dont_write_bytecode = True  # no __pycache__ in the source tree
from run_bench import firmware_image  # noqa: E402  (bench/run_bench.py)

SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
EXAMPLES = os.path.join(SOURCE, "examples", "fleet")
PORT = 6969
LAPTOP_IP = "10.78.0.1"
BUILDING_NET = "10.78.1"
CONFIGURATIONS = ["systemconfig", "dali1", "dali2", "dali3", "dali4", "cd1", "cd2", "cd3", "cd4", "schedules", "rlc"]


def die_with_parent():
    """In a child: end (SIGTERM) when the bench ends, whatever ends it."""
    ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG


def emit(**fields):
    print(json.dumps(fields), flush=True)


def tar_members(data):
    """{path: bytes} of a tar archive held in memory (regular files only)."""
    import tarfile
    with tarfile.open(fileobj=io.BytesIO(data)) as tar:
        return {m.name.lstrip("/"): tar.extractfile(m).read() for m in tar.getmembers() if m.isfile()}


class MemorySampler(threading.Thread):
    """Sums the proportional set size (PSS) of the processes in each namespace
    twice a second; keeps the peaks, and the load average as it goes."""

    def __init__(self, namespaces):
        super().__init__(daemon=True)
        self.inodes = {name: os.stat("/var/run/netns/" + ns).st_ino for name, ns in namespaces.items()}
        self.peaks = {name: 0 for name in namespaces}
        self.peak_total = 0
        self.phase_peaks = {name: 0 for name in namespaces}  # since begin_phase()
        self.loads = []
        self.running = True

    def sample(self):
        sums = {name: 0 for name in self.inodes}
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                inode = int(os.readlink(f"/proc/{pid}/ns/net")[5:-1])
                name = next((n for n, i in self.inodes.items() if i == inode), None)
                if name is None:
                    continue
                with open(f"/proc/{pid}/smaps_rollup") as f:
                    for line in f:
                        if line.startswith("Pss:"):
                            sums[name] += int(line.split()[1])
                            break
            except (OSError, ValueError):
                continue
        for name, kib in sums.items():
            self.peaks[name] = max(self.peaks[name], kib)
            self.phase_peaks[name] = max(self.phase_peaks[name], kib)
        self.peak_total = max(self.peak_total, sum(sums.values()))
        with open("/proc/loadavg") as f:
            self.loads.append((time.time(), float(f.read().split()[0])))

    def run(self):
        while self.running:
            self.sample()
            time.sleep(0.5)

    def begin_phase(self):
        self.phase_peaks = {name: 0 for name in self.peaks}

    def end_phase(self):
        """The peaks since begin_phase(), with a last sample."""
        self.sample()
        return dict(self.phase_peaks)

    def loads_between(self, start, end):
        return [load for when, load in self.loads if start <= when <= end]


class Bench:
    def __init__(self, options):
        self.o = options
        self.build = os.path.abspath(options.build)
        self.cli = os.path.join(self.build, "mervo-cli")
        self.sim = os.path.join(self.build, "tools", "controller-sim", "mervo-controller-sim")
        self.emulator_program = os.path.join(self.build, "bench", "tftp_link", "mervo-link-emulator")
        for program in (self.cli, self.sim, self.emulator_program):
            if not os.access(program, os.X_OK):
                sys.exit(f"fleet_bench: {program} is not built")
        for program in ("ansible-playbook", "jq", "/usr/bin/time", "column"):
            if not shutil.which(program):
                sys.exit(f"fleet_bench: {program} is missing (scripts/install-deps)")
        self.laptop = f"mervo-fleet-laptop-{os.getpid()}"
        self.building = f"mervo-fleet-building-{os.getpid()}"
        self.namespaces = []
        self.processes = []
        self.emulator = None
        self.sampler = None
        self.work = options.keep or tempfile.mkdtemp(prefix="mervo-fleet-")
        os.makedirs(self.work, exist_ok=True)
        self.n = options.controllers
        self.s = options.sequential
        self.controllers = [f"c{k:02d}" for k in range(1, self.n + self.s + 1)]
        self.problems = []

    # ---- the building ----

    def address(self, k):
        return f"{BUILDING_NET}.{k}:{PORT}"

    def netns(self, ns, *command, **kwargs):
        return subprocess.run(["ip", "netns", "exec", ns, *command], check=True, **kwargs)

    def set_up(self):
        for ns in (self.laptop, self.building):
            subprocess.run(["ip", "netns", "add", ns], check=True)
            self.namespaces.append(ns)
            self.netns(ns, "sysctl", "-q", "-w", "net.ipv6.conf.all.disable_ipv6=1",
                       "net.ipv6.conf.default.disable_ipv6=1")
            subprocess.run(["ip", "-n", ns, "link", "set", "lo", "up"], check=True)
        self.link_out = os.path.join(self.work, "link.out")
        o = self.o
        with open(self.link_out, "w") as out, open(os.path.join(self.work, "link.err"), "w") as err:
            self.emulator = subprocess.Popen(
                [self.emulator_program, "--ns-a", self.laptop, "--ns-b", self.building,
                 "--delay-us", str(o.delay_us), "--loss", str(o.loss), "--seed", str(o.seed),
                 "--rate-mbit", str(o.rate_mbit), "--queue-bytes", str(o.queue_bytes),
                 "--max-seconds", str(o.max_seconds), "--max-packets", str(o.max_packets)],
                stdout=out, stderr=err, preexec_fn=die_with_parent)
        self.wait_for(self.link_out, "ready")
        ip = ["ip", "-n"]
        subprocess.run(ip + [self.laptop, "addr", "add", LAPTOP_IP + "/32", "dev", "mervo0"], check=True)
        subprocess.run(ip + [self.laptop, "link", "set", "mervo0", "mtu", "1500", "up"], check=True)
        subprocess.run(ip + [self.laptop, "route", "add", BUILDING_NET + ".0/24", "dev", "mervo0"], check=True)
        subprocess.run(ip + [self.building, "link", "set", "mervo0", "mtu", "1500", "up"], check=True)
        for k in range(1, len(self.controllers) + 1):
            subprocess.run(ip + [self.building, "addr", "add", f"{BUILDING_NET}.{k}/32", "dev", "mervo0"], check=True)
        subprocess.run(ip + [self.building, "route", "add", LAPTOP_IP + "/32", "dev", "mervo0"], check=True)
        # Every controller has an IP stack of its own; here they share the
        # building's, and with it the memory for reassembling fragmented
        # packets (4 MiB by default). Blocks larger than a frame arrive in
        # fragments, and with loss the pieces of incomplete packets wait there
        # for 30 s: 40 controllers' worth of them fills one stack's memory,
        # after which the kernel drops every new fragment and the transfers
        # stall together. So the building gets what its controllers would
        # have between them.
        frag = 4 * 1024 * 1024 * len(self.controllers)
        subprocess.run(["ip", "netns", "exec", self.building, "sysctl", "-q",
                        f"net.ipv4.ipfrag_high_thresh={frag}", f"net.ipv4.ipfrag_low_thresh={frag * 3 // 4}"],
                       check=True)

        # The controllers: factory configurations, and an rlc set and serial number of their own.
        for k, name in enumerate(self.controllers, 1):
            home = os.path.join(self.work, "building", name)
            os.makedirs(os.path.join(home, "state"))
            with open(os.path.join(home, "state", "rlc.bin"), "wb") as f:
                f.write(b"VRLC" + bytes(4) + os.urandom(632))
            faults = ["--fault", "upgrade=refuse"] if k == self.o.refuse else []
            with open(os.path.join(home, "log"), "w") as out, open(os.path.join(home, "err"), "w") as err:
                self.processes.append(subprocess.Popen(
                    ["ip", "netns", "exec", self.building, self.sim, "--host", f"{BUILDING_NET}.{k}",
                     "--port", str(PORT), "--state", os.path.join(home, "state"), "--serial", f"V4-FLEET-{k:03d}"]
                    + faults, stdout=out, stderr=err, preexec_fn=die_with_parent))
        for name in self.controllers:
            self.wait_for(os.path.join(self.work, "building", name, "log"), '"event":"listening"', 60)

        # The laptop: mervo-cli on PATH, each run's peak memory appended to one file.
        bindir = os.path.join(self.work, "bin")
        os.makedirs(bindir)
        self.times = os.path.join(self.work, "cli-times.txt")
        with open(os.path.join(bindir, "mervo-cli"), "w") as f:
            f.write("#!/bin/sh\nexec /usr/bin/time -a -o %s -f '%%M %%e %%x %%C' %s \"$@\"%s\n"
                    % (shlex.quote(self.times), shlex.quote(self.cli), " --verbose" if self.o.trace else ""))
        os.chmod(os.path.join(bindir, "mervo-cli"), 0o755)
        self.env = dict(os.environ, PATH=bindir + os.pathsep + os.environ["PATH"], LC_ALL="C.UTF-8",
                        ANSIBLE_NOCOLOR="1", ANSIBLE_LOCAL_TEMP=os.path.join(self.work, "ansible-tmp"),
                        ANSIBLE_RETRY_FILES_ENABLED="0")
        with open(os.path.join(self.work, "inventory.ini"), "w") as f:
            f.write("[controllers]\n")
            for k, name in enumerate(self.controllers[:self.n], 1):
                f.write(f"{name} controller_address={self.address(k)}\n")
            f.write("[controllers:vars]\nansible_python_interpreter=/usr/bin/python3\n")
        self.image = os.path.join(self.work, "vestra4-%s.binary" % self.o.version)
        self.image_sha256 = firmware_image(self.image, self.o.image_size, self.o.version)
        self.sampler = MemorySampler({"laptop": self.laptop, "building": self.building})
        self.sampler.start()

    def wait_for(self, path, text, seconds=10):
        deadline = time.time() + seconds
        while time.time() < deadline:
            try:
                with open(path) as f:
                    if text in f.read():
                        return
            except OSError:
                pass
            time.sleep(0.05)
        sys.exit(f"fleet_bench: no '{text}' in {path} within {seconds} s")

    def tear_down(self):
        if self.sampler:
            self.sampler.running = False
        for p in self.processes:
            if p.poll() is None:
                p.terminate()
        for p in self.processes:
            try:
                p.wait(15)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        self.processes = []
        if self.emulator and self.emulator.poll() is None:
            self.emulator.terminate()
            self.emulator.wait()
        for ns in self.namespaces:
            # Whatever still runs in the namespace was started here (TFTP servers, a stray client).
            pids = subprocess.run(["ip", "netns", "pids", ns], capture_output=True, text=True).stdout.split()
            for pid in pids:
                try:
                    os.kill(int(pid), signal.SIGKILL)
                except (ProcessLookupError, ValueError):
                    pass
            subprocess.run(["ip", "netns", "del", ns], stderr=subprocess.DEVNULL)
        self.namespaces = []
        if not self.o.keep:
            shutil.rmtree(self.work, ignore_errors=True)

    # ---- measuring ----

    def link_counts(self):
        """The emulator's counts now (it prints them on SIGUSR1)."""
        with open(self.link_out) as f:
            before = f.read().count('"link_counts"')
        self.emulator.send_signal(signal.SIGUSR1)
        deadline = time.time() + 5
        while time.time() < deadline:
            with open(self.link_out) as f:
                lines = [line for line in f if line.startswith('{"event":"link_counts"')]
            if len(lines) > before:
                return json.loads(lines[-1])
            time.sleep(0.02)
        sys.exit("fleet_bench: the link emulator gave no counts")

    def laptop_run(self, command, log, limit):
        """Runs a shell command in the laptop namespace, in the work folder;
        its exit status (output into `log`) and the CPU seconds it and its
        children used."""
        cpu = os.path.join(self.work, log + ".cpu")
        with open(os.path.join(self.work, log), "w") as out:
            try:
                status = subprocess.run(["ip", "netns", "exec", self.laptop, "/usr/bin/time", "-o", cpu, "-f", "%U %S",
                                         "bash", "-c", command], cwd=self.work, env=self.env, stdout=out,
                                        stderr=subprocess.STDOUT, timeout=limit, preexec_fn=die_with_parent).returncode
            except subprocess.TimeoutExpired:
                sys.exit(f"fleet_bench: '{command}' did not end within {limit} s")
        with open(cpu) as f:
            user, system = (float(x) for x in f.read().split()[-2:])
        return status, user + system

    def phase(self, name, mode, controllers, command, limit):
        before = self.link_counts()
        self.sampler.begin_phase()
        start = time.time()
        status, cpu = self.laptop_run(command, f"{mode}-{name}.log", limit)
        end = time.time()
        peaks = self.sampler.end_phase()
        after = self.link_counts()
        link = {}
        for way in ("a_to_b", "b_to_a"):
            link[way] = {key: round(after[way][key] - before[way][key], 1)
                         for key in ("packets", "bytes", "dropped_queue", "dropped_loss", "delivered_bytes", "busy_ms")}
        loads = self.sampler.loads_between(start, end)
        emit(event="phase", name=name, mode=mode, controllers=controllers, seconds=round(end - start, 3),
             status=status, cpu_seconds=round(cpu, 1), link=link, peak_pss_kib=peaks, load_max=max(loads, default=None),
             load_mean=round(sum(loads) / len(loads), 2) if loads else None)
        return status

    # ---- the work ----

    def run(self):
        self.set_up()
        o = self.o
        with open("/proc/loadavg") as f:
            load = f.read().split()[:3]
        emit(event="setup", controllers=self.n, sequential=self.s, loss=o.loss, delay_us=o.delay_us,
             rate_mbit=o.rate_mbit, queue_bytes=o.queue_bytes, image_bytes=o.image_size, image_version=o.version,
             blksize=o.blksize, refuse=o.refuse, load_before=load, work=self.work if o.keep else None)
        blksize = f" -e tftp_blksize={o.blksize}" if o.blksize else ""
        example = shlex.quote(EXAMPLES)

        # The reference: S controllers one after another, the same work.
        if self.s:
            seq = self.controllers[self.n:]
            with open(os.path.join(self.work, "sequential.txt"), "w") as f:
                f.write("".join(self.address(self.n + i) + "\n" for i in range(1, self.s + 1)))
            backup = " && ".join(
                f"mkdir -p seq-backups/{name} && mervo-cli --ip {self.address(self.n + i)} --action get_backup"
                f" --backupfileout seq-backups/{name} --backupfileouttype zip --report seq-backups/{name}/report.json"
                f" --exit-status --no-wait --quiet > seq-backups/{name}/console.log 2>&1"
                for i, name in enumerate(seq, 1))
            self.phase("backup", "sequential", self.s, backup, 600)
            self.phase("show", "sequential", self.s,
                       "for f in seq-backups/*/*.zip; do mervo-cli --action show_backup --backupfilein \"$f\""
                       " --exit-status --no-wait --quiet > \"$f.show\" 2>&1 || exit 1; done", 600)
            seq_blksize = f"TFTP_BLKSIZE={o.blksize} " if o.blksize else ""
            self.phase("rollout", "sequential", self.s,
                       f"{seq_blksize}ROLLOUT_ROOT=seq-rollout BATCHES='{' '.join(['1'] * self.s)}'"
                       f" {example}/rollout {shlex.quote(self.image)} sequential.txt", 600 * self.s + 600)

        self.phase("backup", "parallel", self.n,
                   f"ansible-playbook -i inventory.ini {example}/backup.yml -f {self.n} -e backup_root=$PWD/backups", 900)
        self.check_backups()
        self.phase("show", "parallel", self.n,
                   f"ls backups/*/*.zip | xargs -P {self.n} -I FILE sh -c 'mervo-cli --action show_backup"
                   " --backupfilein \"FILE\" --exit-status --no-wait --quiet > \"FILE.show\" 2>&1'", 600)
        self.check_shown()
        self.phase("rollout", "parallel", self.n,
                   f"ansible-playbook -i inventory.ini {example}/rollout.yml -f {self.n}"
                   f" -e firmware={shlex.quote(self.image)} -e rollout_root=$PWD/rollout{blksize}", 7200)
        self.laptop_run(f"{example}/summary rollout/*/", "rollout-summary.txt", 120)
        self.check_rollout()
        self.memory()
        self.reassembly()
        self.sampler.running = False
        self.emulator.terminate()
        self.emulator.wait()
        with open(self.link_out) as f:
            for line in f:
                if line.startswith('{"event":"link",'):
                    print(line.strip(), flush=True)
        emit(event="verdict", problems=self.problems)
        return 1 if self.problems else 0

    def reassembly(self):
        """What the IP stacks made of fragmented packets over the run, on each side."""
        for side, ns in (("laptop", self.laptop), ("building", self.building)):
            lines = subprocess.run(["ip", "netns", "exec", ns, "cat", "/proc/net/snmp"], capture_output=True,
                                   text=True, check=True).stdout.splitlines()
            names, values = [line.split()[1:] for line in lines if line.startswith("Ip:")][:2]
            counts = dict(zip(names, (int(v) for v in values)))
            emit(event="reassembly", side=side, **{k: counts[k] for k in ("ReasmReqds", "ReasmOKs", "ReasmFails",
                                                                          "ReasmTimeout")})

    # ---- checks ----

    def state_archives(self, name):
        state = os.path.join(self.work, "building", name, "state")
        return {c: open(os.path.join(state, c + ".tar"), "rb").read() for c in CONFIGURATIONS}

    def check_backups(self):
        """Every backup holds, byte for byte, the archives its controller hands out now."""
        identical, reports_ok, problems, archive_bytes = 0, 0, [], 0
        for name in self.controllers[:self.n]:
            folder = os.path.join(self.work, "backups", name)
            with open(os.path.join(folder, "report.json")) as f:
                report = json.load(f)
            reports_ok += report["result"] == "ok"
            with zipfile.ZipFile(os.path.join(self.work, report["files"][0])
                                 if not os.path.isabs(report["files"][0]) else report["files"][0]) as z:
                held = {entry[:-4]: z.read(entry) for entry in z.namelist()}
            archive_bytes += sum(len(data) for data in held.values())
            if held == self.state_archives(name):
                identical += 1
            else:
                problems.append(name)
        emit(event="check", what="backups identical to what the controller hands out", ok=identical,
             of=self.n, reports_ok=reports_ok, differing=problems, backup_bytes=archive_bytes)
        if identical < self.n or reports_ok < self.n:
            self.problems.append(f"backups: {identical} of {self.n} identical, {reports_ok} reports ok")

    def check_shown(self):
        intact = 0
        for name in self.controllers[:self.n]:
            shown = [f for f in os.listdir(os.path.join(self.work, "backups", name)) if f.endswith(".show")]
            with open(os.path.join(self.work, "backups", name, shown[0])) as f:
                intact += "every channel file intact (4)" in f.read()
        emit(event="check", what="backups shown intact", ok=intact, of=self.n)
        if intact < self.n:
            self.problems.append(f"show_backup: {intact} of {self.n} intact")

    def controller_now(self, name, k):
        """What the controller runs, asked directly (not through the tool), and its upgrade log."""
        status = subprocess.run(["ip", "netns", "exec", self.laptop, "curl", "-sS", "--max-time", "10",
                                 f"http://{self.address(k)}/api/v100/status.ssi"],
                                capture_output=True, text=True).stdout
        firmware = json.loads(status)["firmware_version"] if status.startswith("{") else None
        upgrades, pushes = [], []
        with open(os.path.join(self.work, "building", name, "log")) as f:
            for line in f:
                if '"event":"upgrade"' in line:
                    upgrades.append(json.loads(line))
                elif '"event":"tftp_transfer"' in line:
                    pushes.append(json.loads(line))
        return firmware, upgrades, pushes

    def check_rollout(self):
        with open(os.path.join(self.work, "rollout-summary.txt")) as f:
            rows = [re.split(r"\s{2,}", line.rstrip("\n")) for line in f]
        results = {row[0]: row[-1] for row in rows[1:]}
        runs_image = false_results = digests = 0
        details, durations = [], []
        for k, name in enumerate(self.controllers[:self.n], 1):
            firmware, upgrades, pushes = self.controller_now(name, k)
            # The push of the image: the TFTP transfer of its size.
            image = [p for p in pushes if p["result"] == "complete" and p["data_bytes"] == self.o.image_size]
            durations.append({"seconds": image[-1]["duration_ms"] / 1000, "blksize": image[-1]["blksize"],
                              "resent": image[-1]["data_resent"] + image[-1]["acks_resent"]} if image else None)
            upgraded = firmware == self.o.version
            runs_image += upgraded
            holds = any(u["result"] == "ok" and u["actual_hash"] == self.image_sha256 for u in upgrades)
            digests += holds and upgraded
            said = results.get(name, "(missing)")
            if (said == "upgraded") != (upgraded and holds):
                false_results += 1
                details.append(f"{name}: summary says '{said}', the controller runs {firmware}")
        emit(event="check", what="controllers running the image's version (asked directly)", ok=runs_image,
             of=self.n, image_received_whole=digests, false_results=false_results, details=details,
             summary_results={r: list(results.values()).count(r) for r in sorted(set(results.values()))})
        emit(event="pushes", controllers=durations)
        if false_results:
            self.problems.append(f"rollout: {false_results} false results in the summary")
        if self.o.refuse is None and (runs_image < self.n or digests < self.n):
            self.problems.append(f"rollout: {runs_image} of {self.n} run the image's version, {digests} received it whole")
        # The rollout's own backups, taken before the push: the configuration files the controller holds.
        same = total = archive_bytes = 0
        for name in self.controllers[:self.n]:
            folder = os.path.join(self.work, "rollout", name)
            zips = [f for f in os.listdir(folder) if f.endswith(".zip")] if os.path.isdir(folder) else []
            if not zips:
                continue
            total += 1
            state = os.path.join(self.work, "building", name, "state")
            with zipfile.ZipFile(os.path.join(folder, zips[0])) as z:
                archive_bytes += sum(info.file_size for info in z.infolist())
                # Each archive: the configuration's file, and status.txt.
                files = {c: next((data for path, data in tar_members(z.read(c + ".tar")).items()
                                  if path != "status.txt"), None)
                         for c in CONFIGURATIONS}
            same += all(files[c] == open(os.path.join(state, c + ".bin"), "rb").read() for c in CONFIGURATIONS)
        emit(event="check", what="rollout backups holding the controller's configuration files", ok=same, of=total,
             backup_bytes=archive_bytes)
        if same < total:
            self.problems.append(f"rollout backups: {same} of {total} hold the controller's files")

    def memory(self):
        peaks = {}
        with open(self.times) as f:
            for line in f:
                parts = line.split(" ", 3)
                if len(parts) < 4 or not parts[0].isdigit():
                    continue
                action = re.search(r"--action (\S+)", parts[3])
                key = action.group(1) if action else "other"
                peaks[key] = max(peaks.get(key, 0), int(parts[0]))
        emit(event="memory", laptop_peak_pss_kib=self.sampler.peaks["laptop"],
             building_peak_pss_kib=self.sampler.peaks["building"], whole_peak_pss_kib=self.sampler.peak_total,
             cli_peak_rss_kib=peaks)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("build")
    parser.add_argument("--controllers", type=int, default=40, help="controllers rolled out to (40)")
    parser.add_argument("--sequential", type=int, default=3, help="further controllers for the reference (3)")
    parser.add_argument("--loss", type=float, default=0.0, help="loss each way (0)")
    parser.add_argument("--delay-us", type=int, default=1200, help="delay each way (1200)")
    parser.add_argument("--rate-mbit", type=float, default=100, help="the link's rate (100)")
    parser.add_argument("--queue-bytes", type=int, default=131072, help="the link's queue each way (131072)")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--image-size", type=int, default=16777214, help="bytes of the firmware image (16777214)")
    parser.add_argument("--version", default="1.4.2", help="the image's version string (1.4.2)")
    parser.add_argument("--blksize", type=int, help="tftp_blksize of the rollout (default: the examples')")
    parser.add_argument("--refuse", type=int, help="controller K (1..N) refuses the upgrade")
    parser.add_argument("--keep", help="work in this folder and keep it (logs, transcripts, backups)")
    parser.add_argument("--trace", action="store_true", help="every run of mervo-cli with --verbose (in its console log)")
    parser.add_argument("--max-seconds", type=int, default=7200, help="the emulator ends after this (7200)")
    parser.add_argument("--max-packets", type=int, default=50000000, help="... or this many packets")
    options = parser.parse_args()
    if os.geteuid() != 0:
        sys.exit("fleet_bench: network namespaces need root")
    if not 1 <= options.controllers <= 200 or not 0 <= options.sequential <= 20:
        sys.exit("fleet_bench: 1 to 200 controllers, 0 to 20 for the reference")
    # A signal ends the run through the same clean-up as any other end.
    for number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, lambda n, _: sys.exit(128 + n))
    bench = Bench(options)
    try:
        status = bench.run()
    finally:
        bench.tear_down()
    sys.exit(status)


if __name__ == "__main__":
    main()
