#!/usr/bin/env python3
"""A push of the largest firmware image (16 MiB) by the Windows build under
Wine, against the same push by the Linux build, in the same run, to the same
simulated controller on loopback: the wall time of each (median of the runs,
--no-wait) and their ratio, and Wine's own start-up (`wine cmd /c exit`) as
the part of the difference that is Wine's.

Usage: bench/windows/push_under_wine.py LINUX_BUILD WINDOWS_BUILD [WINE_PREFIX]
"""
import os
import statistics
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from run_bench import IMAGE_SIZE, Simulator, firmware_image  # noqa: E402

RUNS = 5


def wall(command, env=None):
    start = time.perf_counter()
    run = subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    seconds = time.perf_counter() - start
    if run.returncode != 0:
        sys.exit("%s ended with status %d" % (" ".join(command), run.returncode))
    return seconds, run.stdout.decode(errors="replace")


def main():
    if len(sys.argv) not in (3, 4):
        sys.exit(__doc__.strip().splitlines()[-1])
    linux, windows = (os.path.abspath(p) for p in sys.argv[1:3])
    prefix = os.path.abspath(sys.argv[3] if len(sys.argv) == 4 else os.path.join(linux, "wine-prefix"))
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all")
    subprocess.run(["wineserver", "-p", "60"], env=env)
    with tempfile.TemporaryDirectory(prefix="mervo-bench-wine-") as work:
        image = os.path.join(work, "vestra4.binary")
        firmware_image(image)
        sim = Simulator(os.path.join(linux, "tools", "controller-sim", "mervo-controller-sim"), work)
        times = {"linux": [], "windows": [], "wine": []}
        try:
            for i in range(RUNS):
                for name, command in (("linux", [os.path.join(linux, "mervo-cli")]),
                                      ("windows", ["wine", os.path.join(windows, "mervo-cli.exe")])):
                    seconds, out = wall(command + ["--ip", sim.address, "--action", "push_firmware",
                                                   "--firmwarefile", image, "--no-wait", "--quiet"], env)
                    if not out.rstrip().endswith("OK") or sim.upgrades() != 2 * i + (1 if name == "linux" else 2):
                        sys.exit("the %s push %d did not reach the upgrade:\n%s" % (name, i, out))
                    times[name].append(seconds)
                times["wine"].append(wall(["wine", "cmd", "/c", "exit"], env)[0])
        finally:
            sim.stop()
            subprocess.run(["wineserver", "-k"], env=env)
    linux_s, windows_s, wine_s = (statistics.median(times[k]) for k in ("linux", "windows", "wine"))
    mb = IMAGE_SIZE / 1e6
    print("| measure | Windows build under Wine | Linux build | ratio |")
    print("|---|---|---|---|")
    print("| push_firmware of the %d-byte image on loopback, s (median of %d) | %.3f | %.3f | %.2f |"
          % (IMAGE_SIZE, RUNS, windows_s, linux_s, windows_s / linux_s))
    print("| the same, MB/s | %.1f | %.1f | %.2f |" % (mb / windows_s, mb / linux_s, linux_s / windows_s))
    print("\nWine's own start and end of a program (wine cmd /c exit): %.3f s (median)" % wine_s)


if __name__ == "__main__":
    main()
