#!/usr/bin/env python3
"""Runs the benchmarks of a release build and prints one markdown table.

Every figure is set beside a reference measured in the same run, on the same
bytes: SHA-256 against OpenSSL, the JSON reader against plain scans of its
document, the tar and zip layers against libarchive, a firmware push to the
simulated controller against `curl -T` of the same image to the same TFTP server,
and the same over an emulated LAN link (bench/tftp_link/link_bench.sh, as root).

Usage: bench/run_bench.py BUILD_DIR [--only tftp-link]   (scripts/bench builds and calls it)
"""

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


def firmware_image(path):
    """Incompressible bytes with a valid information block for VESTRA-4."""
    image = bytearray(os.urandom(IMAGE_SIZE))

    def field(at, text):
        data = text.encode()
        image[INFO_OFFSET + at:INFO_OFFSET + at + 33] = data + bytes(33 - len(data))

    field(12, "VESTRA-4")
    field(45, "DALI gateway")
    field(78, "1.4.2")
    image[INFO_OFFSET + 112:INFO_OFFSET + 116] = (0x010402).to_bytes(4, "little")
    field(116, "2024-03-18")
    field(149, "14:02:11")
    with open(path, "wb") as f:
        f.write(image)


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


def main():
    if len(sys.argv) not in (2, 4) or (len(sys.argv) == 4 and sys.argv[2:] != ["--only", "tftp-link"]):
        sys.exit("usage: run_bench.py BUILD_DIR [--only tftp-link]")
    build = os.path.abspath(sys.argv[1])
    only_link = len(sys.argv) == 4
    rows, notes = [], []

    def row(measure, ours, reference, unit_format):
        rows.append((measure, unit_format % ours, unit_format % reference, "%.2f" % (ours / reference)))

    with tempfile.TemporaryDirectory(prefix="mervo-bench-") as work:
        if only_link:
            tftp_link(build, work, row, notes)
            return print_table(rows, notes)
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
    main()
