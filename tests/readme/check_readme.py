#!/usr/bin/env python3
"""Runs the console transcripts of README.md against the simulated controller
and compares what the commands print with what the README shows.

    check_readme.py README CLI SIM [--update]

Every ```console block is a transcript: lines beginning with "$ " are
commands, the lines after one are its standard output. The blocks run in
order in one scratch directory holding a copy of examples/, against one
simulated controller started on the README's state (examples/controller-state)
at a free port. The README's address 127.0.0.1:8080 stands for that port;
backup time stamps are compared as patterns, and the carriage returns of the
tool's "\r\n" lines are left out of the README. With --update the README's
transcripts are rewritten from the real output.
"""
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time

README_ADDRESS = "127.0.0.1:8080"
STAMP = re.compile(r"_VESTRA_\d{8}_\d{6}")


def transcripts(lines):
    """Yields (first line, last line, commands) per console block; commands are (command, output lines)."""
    i = 0
    while i < len(lines):
        if lines[i].rstrip("\n") == "```console":
            start = i + 1
            j = start
            while lines[j].rstrip("\n") != "```":
                j += 1
            commands = []
            for line in lines[start:j]:
                if line.startswith("$ "):
                    commands.append((line[2:].rstrip("\n"), []))
                else:
                    commands[-1][1].append(line)
            yield start, j, commands
            i = j
        i += 1


def normalise(text):
    # Line ends are compared without the carriage returns some lines carry.
    return STAMP.sub("_VESTRA_YYYYMMDD_hhmmss", text.replace("\r\n", "\n"))


def start_simulator(sim, state):
    log = open(os.path.join(state, "..", "sim.log"), "w+")
    process = subprocess.Popen([sim, "--port", "0", "--state", state], stdout=log, stderr=subprocess.DEVNULL)
    for _ in range(200):
        log.seek(0)
        first = log.readline()
        if first.endswith("\n"):
            return process, json.loads(first)["address"]
        time.sleep(0.05)
    process.kill()
    sys.exit("check_readme: the simulated controller did not start")


def main():
    readme, cli, sim = sys.argv[1:4]
    update = "--update" in sys.argv[4:]
    source = os.path.dirname(os.path.abspath(readme))
    with open(readme, newline="") as f:
        lines = f.readlines()

    failures = 0
    with tempfile.TemporaryDirectory() as work:
        shutil.copytree(os.path.join(source, "examples"), os.path.join(work, "examples"))
        state = os.path.join(work, "state")
        shutil.copytree(os.path.join(source, "examples", "controller-state"), state)
        bindir = os.path.join(work, "bin")
        os.mkdir(bindir)
        os.symlink(os.path.abspath(cli), os.path.join(bindir, "mervo-cli"))
        env = dict(os.environ, PATH=bindir + os.pathsep + os.environ["PATH"])
        process, address = start_simulator(sim, state)
        try:
            replacements = []
            for start, end, commands in transcripts(lines):
                block = []
                for command, expected in commands:
                    run = subprocess.run(command.replace(README_ADDRESS, address), shell=True, cwd=work, env=env,
                                         stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=120)
                    output = run.stdout.decode("utf-8", "replace").replace(address, README_ADDRESS)
                    output = output.replace("\r\n", "\n")
                    if not output.endswith("\n") and output:
                        output += "\n"
                    actual = output.splitlines(keepends=True)
                    block.append("$ " + command + "\n")
                    block.extend(actual)
                    if run.returncode != 0:
                        print(f"README: `{command}` exited with {run.returncode}")
                        failures += 1
                    if normalise("".join(actual)) != normalise("".join(expected)):
                        print(f"README: output of `{command}` differs:\n--- README\n{''.join(expected)}--- actual\n{output}")
                        failures += 1
                replacements.append((start, end, block))
        finally:
            process.terminate()
            process.wait()

    if update:
        for start, end, block in reversed(replacements):
            lines[start:end] = block
        with open(readme, "w", newline="") as f:
            f.writelines(lines)
        print("README transcripts rewritten")
        return 0
    print(f"{sum(len(c) for _, _, c in transcripts(lines))} README commands checked, {failures} failures")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
