#!/usr/bin/env python3
"""Runs the benchmarks of a release build and prints one markdown table.

Every figure is set beside a reference measured in the same run, on the same
bytes: SHA-256 against OpenSSL, the JSON reader against plain scans of its
document, the tar and zip layers against libarchive, a firmware push to the
simulated controller against `curl -T` of the same image to the same TFTP server,
and the same over an emulated LAN link (bench/tftp_link/link_bench.sh, as root).
With --only fleet: a building of simulated controllers behind one emulated
link, backed up and upgraded with the fleet examples, against the same work
one controller after another (bench/fleet/fleet_bench.py, as root; not part of
the full run). MERVO_FLEET_ARGS passes options to fleet_bench.py
(--controllers N, ...), MERVO_FLEET_LOSS the loss of its second run (0.01
each way), MERVO_FLEET_KEEP a folder prefix where both runs keep their work
(logs, transcripts, backups).

Usage: bench/run_bench.py BUILD_DIR [--only tftp-link|fleet]   (scripts/bench builds and calls it)
"""

import hashlib
import json
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

REPETITIONS = 3      # repetitions of each in-process benchmark (the median counts)
PUSH_RUNS = 5        # pushes of each kind (the median counts)
FINAL_WAIT = 2.0     # seconds mervo-cli waits before it ends
IMAGE_SIZE = 16777214  # the largest firmware image, 2 bytes short of 16 MiB
INFO_OFFSET = 1835008


def google_benchmark(program, work):
    """Median CPU time (ns) and bytes per second of each benchmark in `program`."""
    out = os.path.join(work, os.path.basename(program) + ".json")
    run = subprocess.run([program, "--benchmark_repetitions=%d" % REPETITIONS,
                          "--benchmark_report_aggregates_only=true",
                          "--benchmark_out=" + out, "--benchmark_out_format=json"],
                         stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    if run.returncode != 0:
        sys.exit("%s ended with status %d:\n%s" % (program, run.returncode, run.stderr.decode(errors="replace")))
    with open(out) as f:
        report = json.load(f)
    results = {}
    for b in report["benchmarks"]:
        if b.get("aggregate_name") != "median":
            continue
        if b.get("error_occurred"):
            sys.exit("%s: %s failed: %s" % (program, b["run_name"], b.get("error_message")))
        scale = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
        results[b["run_name"]] = {"cpu_ns": b["cpu_time"] * scale,
                                  "bytes_per_second": b.get("bytes_per_second"),
                                  "zip_bytes": b.get("zip_bytes")}
    return results


def firmware_image(path, size=IMAGE_SIZE, version="1.4.2"):
    """Incompressible bytes with a valid information block for VESTRA-4 naming
    `version`; the image's SHA-256 in hexadecimal."""
    image = bytearray(os.urandom(size))

    def field(at, text):
        data = text.encode()
        image[INFO_OFFSET + at:INFO_OFFSET + at + 33] = data + bytes(33 - len(data))

    field(12, "VESTRA-4")
    field(45, "DALI gateway")
    field(78, version)
    image[INFO_OFFSET + 112:INFO_OFFSET + 116] = (0x010402).to_bytes(4, "little")
    field(116, "2024-03-18")
    field(149, "14:02:11")
    with open(path, "wb") as f:
        f.write(image)
    return hashlib.sha256(image).hexdigest()


def timed(command, work, name):
    """Runs `command` under /usr/bin/time -v: (wall seconds, peak RSS KiB, stdout)."""
    time_file = os.path.join(work, name + ".time")
    start = time.perf_counter()
    run = subprocess.run(["/usr/bin/time", "-v", "-o", time_file] + command,
                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    wall = time.perf_counter() - start
    if run.returncode != 0:
        sys.exit("%s ended with status %d" % (command[0], run.returncode))
    with open(time_file) as f:
        peak = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", f.read()).group(1))
    return wall, peak, run.stdout.decode(errors="replace")


class Simulator:
    """The simulated controller on a free loopback port, stopped on exit."""

    def __init__(self, program, work):
        self.log_path = os.path.join(work, "sim.log")
        self.log = open(self.log_path, "w")
        self.process = subprocess.Popen([program, "--port", "0"], stdout=self.log,
                                        stderr=subprocess.DEVNULL)
        self.address = None
        for _ in range(100):
            with open(self.log_path) as f:
                m = re.search(r'"address":"([^"]+)"', f.read())
            if m:
                self.address = m.group(1)
                break
            time.sleep(0.05)
        if not self.address:
            self.stop()
            sys.exit("the simulated controller did not start")

    def upgrades(self):
        with open(self.log_path) as f:
            return sum(1 for line in f if '"event":"upgrade"' in line and '"result":"ok"' in line)

    def stop(self):
        self.process.terminate()
        self.process.wait()
        self.log.close()


def firmware_push(build, work):
    cli = os.path.join(build, "mervo-cli")
    sim_program = os.path.join(build, "tools", "controller-sim", "mervo-controller-sim")
    image = os.path.join(work, "vestra4.binary")
    firmware_image(image)
    sim = Simulator(sim_program, work)
    ours, curl = [], []
    try:
        for i in range(PUSH_RUNS):
            wall, peak, out = timed([cli, "--ip", sim.address, "--action", "push_firmware",
                                     "--firmwarefile", image], work, "push%d" % i)
            if sim.upgrades() != i + 1:
                sys.exit("push %d did not reach the upgrade:\n%s" % (i, out))
            ours.append((wall - FINAL_WAIT, peak))
            wall, peak, _ = timed(["curl", "-sS", "-T", image,
                                   "tftp://%s/flashraw.bin" % sim.address], work, "curl%d" % i)
            curl.append((wall, peak))
    finally:
        sim.stop()
    return ({"wall": statistics.median(w for w, _ in ours), "peak": max(p for _, p in ours)},
            {"wall": statistics.median(w for w, _ in curl), "peak": max(p for _, p in curl)})


def tftp_link(build, work, row, notes):
    """Rows of the pushes over the emulated link: throughput against curl -T (512-byte blocks)."""
    if os.geteuid() != 0:
        notes.append("TFTP over an emulated link: left out, its network namespaces need root.")
        return
    image = os.path.join(work, "vestra4-link.binary")
    if not os.path.exists(image):
        firmware_image(image)
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tftp_link", "link_bench.sh")
    run = subprocess.run([script, build, image], stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=3600)
    if run.returncode != 0:
        sys.exit("link_bench.sh ended with status %d:\n%s" % (run.returncode, run.stderr.decode(errors="replace")))
    lines = [json.loads(line) for line in run.stdout.decode().splitlines() if line.startswith("{")]
    rtt = next(line["ms"] for line in lines if line["event"] == "rtt")

    def median_of(event, label, key):
        return statistics.median(line[key] for line in lines if line["event"] == event and line["label"] == label)

    mb = 1e6
    reference = IMAGE_SIZE / median_of("push", "curl -T 512", "seconds") / mb
    for blksize, text in (("512", "--tftp-blksize 512"), ("default", "default (1468)"),
                          ("8192", "--tftp-blksize 8192"), ("65464", "--tftp-blksize 65464")):
        row("TFTP push of the 16 MiB image over a %.1f ms round trip, MB/s: mervo-cli %s vs curl -T (512)"
            % (rtt, text), IMAGE_SIZE / median_of("push", "mervo-cli " + blksize, "seconds") / mb, reference, "%.3f")
    windows = {line["label"]: line for line in lines if line["event"] == "window"}
    ours, curl = windows["mervo-cli default"], windows["curl -T 512"]
    loss = next(line["loss"] for line in lines if line["event"] == "link" and line["phase"] == "loss")
    row("TFTP push over the same link with %g %% loss each way, MB delivered in %d s: mervo-cli default vs curl -T (512)"
        % (loss * 100, ours["seconds"]), ours["bytes"] / mb, curl["bytes"] / mb, "%.3f")
    row("TFTP push over the link, 16 MiB image, peak resident MiB: mervo-cli default vs curl -T",
        max(line["peak_kib"] for line in lines if line["event"] == "push" and line["label"] == "mervo-cli default") / 1024,
        max(line["peak_kib"] for line in lines if line["event"] == "push" and line["label"] == "curl -T 512") / 1024,
        "%.1f")
    for line in lines:
        if line["event"] == "link":
            notes.append("link, %s: held %d us each way, seed %d; dropped %d of %d packets client to server, %d of %d back"
                         % (line["phase"], line["delay_us"], line["seed"], line["a_to_b"]["dropped"],
                            line["a_to_b"]["packets"], line["b_to_a"]["dropped"], line["b_to_a"]["packets"]))
    for label, line in sorted(windows.items()):
        tftp = line["tftp"] or {}
        notes.append("loss window, %s: %s blocks of %s bytes, %s DATA and %s ACK retransmissions seen at the server"
                     % (label, tftp.get("data_packets"), tftp.get("blksize"), tftp.get("data_resent"),
                        tftp.get("acks_resent")))


def fleet(build, row, notes):
    """Rows of a building (bench/fleet/fleet_bench.py, as root): N controllers
    backed up, their backups shown and the 16 MiB image rolled out with the
    fleet examples, against the same work one controller after another
    (measured on a few and scaled to N); without loss and with it."""
    if os.geteuid() != 0:
        notes.append("Fleet: left out, its network namespaces need root.")
        return
    script = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fleet", "fleet_bench.py")
    extra = os.environ.get("MERVO_FLEET_ARGS", "").split()
    loss_each_way = float(os.environ.get("MERVO_FLEET_LOSS", "0.01"))
    mb, mib = 1e6, 1024.0
    failed_checks = []
    for label, loss in (("no loss", 0.0), ("%g %% loss each way" % (loss_each_way * 100), loss_each_way)):
        keep = ["--keep", "%s-loss-%g" % (os.environ["MERVO_FLEET_KEEP"], loss)] if os.environ.get("MERVO_FLEET_KEEP") else []
        run = subprocess.run([sys.executable, script, build, "--loss", str(loss)] + keep + extra,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=4 * 3600)
        lines = [json.loads(line) for line in run.stdout.decode().splitlines() if line.startswith("{")]
        verdict = next((line for line in lines if line["event"] == "verdict"), None)
        if run.returncode != 0 and not verdict:
            sys.exit("fleet_bench.py ended with status %d:\n%s" % (run.returncode, run.stderr.decode(errors="replace")))
        for problem in verdict["problems"]:
            notes.append("%s: CHECK FAILED: %s" % (label, problem))
            failed_checks.append(problem)
        setup = next(line for line in lines if line["event"] == "setup")
        n, s = setup["controllers"], setup["sequential"]
        phases = {(line["mode"], line["name"]): line for line in lines if line["event"] == "phase"}
        where = "%d controllers, %g Mbit/s, %.1f ms each way, %s" % (n, setup["rate_mbit"], setup["delay_us"] / 1000, label)
        totals = [0.0, 0.0]
        for name, text in (("backup", "backup (backup.yml, forks %d)" % n),
                           ("show", "show_backup of every backup (xargs -P %d)" % n),
                           ("rollout", "rollout of the %.0f MiB image (rollout.yml, forks %d)" % (setup["image_bytes"] / 2**20, n))):
            ours = phases[("parallel", name)]["seconds"]
            scaled = phases[("sequential", name)]["seconds"] * n / s
            totals[0] += ours
            totals[1] += scaled
            row("%s, %s, s: at once vs one after another (%d measured, scaled)" % (where, text, s), ours, scaled, "%.1f")
        row("%s, total, s: at once vs one after another (scaled)" % where, totals[0], totals[1], "%.1f")
        limit = n * setup["image_bytes"] * 8 / (setup["rate_mbit"] * 1e6)
        row("%s, rollout, s: measured vs the pushes alone at the link's rate" % where,
            phases[("parallel", "rollout")]["seconds"], limit, "%.1f")
        moved = sum(line["link"][way]["delivered_bytes"] for line in phases.values() if line["mode"] == "parallel"
                    for way in ("a_to_b", "b_to_a"))
        payload = n * setup["image_bytes"] + sum(check.get("backup_bytes", 0) for check in lines
                                                  if check["event"] == "check")
        row("%s, MB moved over the link (IP packets, both ways) vs the payload (backups and images)" % where,
            moved / mb, payload / mb, "%.1f")
        memory = next(line for line in lines if line["event"] == "memory")
        sequential_peak = max(line["peak_pss_kib"]["laptop"] for (mode, _), line in phases.items() if mode == "sequential")
        row("%s, peak memory of the laptop side (tool and Ansible), MiB PSS: at once vs one after another" % where,
            memory["laptop_peak_pss_kib"] / mib, sequential_peak / mib, "%.0f")
        notes.append("%s: peak memory of the whole run (laptop and building) %.0f MiB PSS; peak of one mervo-cli run, "
                     "MiB RSS: %s" % (where, memory["whole_peak_pss_kib"] / mib,
                                      ", ".join("%s %.1f" % (k, v / mib) for k, v in sorted(memory["cli_peak_rss_kib"].items()))))
        for (mode, name), line in sorted(phases.items()):
            down, up = line["link"]["a_to_b"], line["link"]["b_to_a"]
            notes.append("%s, %s %s: %.1f s, %.1f s of CPU on the laptop side; link to the building %d packets "
                         "(%d dropped by the queue, %d by loss), busy %.0f %%; back %d packets (%d, %d), busy %.0f %%; "
                         "load %s (mean %s)"
                         % (label, mode, name, line["seconds"], line["cpu_seconds"], down["packets"], down["dropped_queue"],
                            down["dropped_loss"], 100 * down["busy_ms"] / 1000 / max(line["seconds"], 1e-9),
                            up["packets"], up["dropped_queue"], up["dropped_loss"],
                            100 * up["busy_ms"] / 1000 / max(line["seconds"], 1e-9),
                            "-" if line["load_max"] is None else line["load_max"],
                            "-" if line["load_mean"] is None else line["load_mean"]))
        pushes = next(line["controllers"] for line in lines if line["event"] == "pushes")
        batches, first = [], 0
        for size in (1, 5, n):
            batch = [p for p in pushes[first:first + size] if p]
            if batch:
                batches.append("%d pushes %.1f to %.1f s" % (len(batch), min(p["seconds"] for p in batch),
                                                             max(p["seconds"] for p in batch)))
            first += size
        notes.append("%s, rollout: TFTP transfer times at the controllers, batch by batch: %s (block size %s)"
                     % (label, "; ".join(batches), pushes[0]["blksize"] if pushes[0] else "?"))
        for line in lines:
            if line["event"] == "check":
                notes.append("%s, check: %s: %d of %d%s" % (label, line["what"], line["ok"], line["of"],
                             "".join(", %s %s" % (k, v) for k, v in line.items()
                                     if k in ("false_results", "image_received_whole", "differing", "details") and v not in ([], None))))
            if line["event"] == "reassembly":
                notes.append("%s, IP reassembly on the %s side: %d fragments in, %d packets made whole, %d failures"
                             " (%d timeouts)" % (label, line["side"], line["ReasmReqds"], line["ReasmOKs"],
                                                 line["ReasmFails"], line["ReasmTimeout"]))
            if line["event"] == "link":
                notes.append("%s, the link over the whole run: %s" % (label, json.dumps(
                    {k: v for k, v in line.items() if k not in ("event",)})))
        notes.append("%s: load average before the run %s" % (label, " ".join(setup["load_before"])))
    return failed_checks


def main():
    choices = ("tftp-link", "fleet")
    if len(sys.argv) not in (2, 4) or (len(sys.argv) == 4 and (sys.argv[2] != "--only" or sys.argv[3] not in choices)):
        sys.exit("usage: run_bench.py BUILD_DIR [--only tftp-link|fleet]")
    build = os.path.abspath(sys.argv[1])
    only = sys.argv[3] if len(sys.argv) == 4 else None
    rows, notes = [], []

    def row(measure, ours, reference, unit_format):
        rows.append((measure, unit_format % ours, unit_format % reference, "%.2f" % (ours / reference)))

    with tempfile.TemporaryDirectory(prefix="mervo-bench-") as work:
        if only == "tftp-link":
            tftp_link(build, work, row, notes)
            return print_table(rows, notes)
        if only == "fleet":
            failed_checks = fleet(build, row, notes)
            print_table(rows, notes)
            return 1 if failed_checks else 0
        mb = 1e6
        sha = google_benchmark(os.path.join(build, "bench", "firmware", "bench_firmware_sha256"), work)
        openssl = sha["BM_openssl_sha256"]["bytes_per_second"] / mb
        row("SHA-256, 16 MiB image, MB/s: own (fastest engine) vs OpenSSL",
            sha["BM_own_sha256"]["bytes_per_second"] / mb, openssl, "%.0f")
        row("SHA-256, 16 MiB image, MB/s: own portable engine vs OpenSSL",
            sha["BM_own_sha256_portable"]["bytes_per_second"] / mb, openssl, "%.0f")

        js = google_benchmark(os.path.join(build, "bench", "json", "bench_json"), work)
        reader = js["BM_json_read"]["bytes_per_second"] / mb
        row("JSON reader, 1 MiB document, MB/s vs a byte-classifying loop",
            reader, js["BM_reference_byte_loop"]["bytes_per_second"] / mb, "%.0f")
        row("JSON reader, 1 MiB document, MB/s vs a memchr scan for quotes",
            reader, js["BM_reference_memchr"]["bytes_per_second"] / mb, "%.0f")

        bk = google_benchmark(os.path.join(build, "bench", "backup", "bench_backup"), work)
        us = 1e3
        row("tar: 11 configuration archives built and read back, us (CPU) vs libarchive",
            bk["BM_tar_own"]["cpu_ns"] / us, bk["BM_tar_libarchive"]["cpu_ns"] / us, "%.1f")
        row("zip: the 11 archives stored at level 6 and read back, us (CPU) vs libarchive",
            bk["BM_zip_own"]["cpu_ns"] / us, bk["BM_zip_libarchive"]["cpu_ns"] / us, "%.0f")
        row("zip: size of that backup file, bytes vs libarchive",
            bk["BM_zip_own"]["zip_bytes"], bk["BM_zip_libarchive"]["zip_bytes"], "%.0f")
        row("backup round trip (tar + zip, 11 configurations), us (CPU) vs libarchive",
            bk["BM_backup_own"]["cpu_ns"] / us, bk["BM_backup_libarchive"]["cpu_ns"] / us, "%.0f")

        ours, curl = firmware_push(build, work)
        row("firmware push, 16 MiB raw image, s (wall, less the 2 s final wait) vs curl -T",
            ours["wall"], curl["wall"], "%.2f")
        row("firmware push, 16 MiB raw image, peak resident MiB vs curl -T",
            ours["peak"] / 1024, curl["peak"] / 1024, "%.1f")
        tftp_link(build, work, row, notes)
        notes.append("A building (40 controllers behind one emulated link, about 20 minutes, as root): "
                     "scripts/bench BUILD_DIR --only fleet.")
    print_table(rows, notes)


def print_table(rows, notes):
    print("| measure | ours | reference | ratio |")
    print("|---|---:|---:|---:|")
    for r in rows:
        print("| %s | %s | %s | %s |" % r)
    print("\nratio = ours / reference; MB/s, MB: higher is better; times, sizes, memory: lower is better.")
    for note in notes:
        print(note)


if __name__ == "__main__":
    sys.exit(main())
