#!/usr/bin/env python3
"""Runs transcript cases (tests/cases/**/*.case) against the real mervo-cli and
simulated controllers, and compares what every command printed with what the
case shows. tests/cases/README.md describes the format.

    run_case.py --cli PATH --sim PATH [--fixtures DIR] [--sanitized] [--update] [-j N] CASE...
    run_case.py --windows BUILD-FOLDER --cli BUILD-FOLDER/mervo-cli.exe --sim PATH [--wine-prefix DIR] CASE...

Exit status: 0 when every case passed, 1 when one failed, 77 when the only
case was skipped. --update rewrites each case's expected output from the real
output, keeping the pattern lines that still match.

    run_case.py --cli PATH --sim PATH --readme README.md [--update]

runs the README's ```console transcripts instead (see readme() below).

With --windows the cases run against the Windows build's mervo-cli.exe under
Wine (and its test programs, such as hold-file, on PATH too), with the Linux
simulated controllers; see "The Windows build" in tests/cases/README.md.

    run_case.py simlog [--all] [NAME]

(only inside a case, where it is on PATH as `simlog`) prints what the
controller NAME (default SIM) logged since the last `simlog` of it, one
readable line per event.
"""
import argparse
import ctypes
import fcntl
import difflib
import fnmatch
import glob
import json
import os
import re
import shlex
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_FIXTURES = os.path.normpath(os.path.join(HERE, "..", "fixtures"))
INDENT = "  "
DIRECTIVES = ("sim", "limit", "timeout", "skip-if", "require", "parallel")
SKIPPED = 77

# ---- The Windows build under Wine ----

# Wine's own diagnostics ("fixme:...") would mix with the program's standard error.
WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}


def ensure_wine_prefix(prefix):
    """Creates the Wine prefix (a Windows system folder) once; cases running
    side by side wait for the one that makes it."""
    os.makedirs(os.path.dirname(os.path.abspath(prefix)), exist_ok=True)
    with open(prefix + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        if os.path.exists(os.path.join(prefix, ".complete")):
            return
        shutil.rmtree(prefix, ignore_errors=True)
        env = dict(os.environ, WINEPREFIX=prefix, **WINE_ENV)
        subprocess.run(["wineboot", "--init"], env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True, timeout=300)
        subprocess.run(["wineserver", "--wait"], env=env, check=False, timeout=300)
        open(os.path.join(prefix, ".complete"), "w").close()


def keep_wineserver(prefix):
    """Starts Wine's server for the prefix in a session of its own, staying a
    minute after its last program, unless one runs already, and with it
    Wine's own background programs (services, the desktop), from "/". Started
    by a case's command instead, they would be ended with the case's process
    group while other cases' programs still wait on them, and they would keep
    the case's folder as theirs."""
    env = dict(os.environ, WINEPREFIX=prefix, **WINE_ENV)
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                 start_new_session=True, cwd="/")
    if subprocess.run(["wineserver", "-p60"], env=env, **quiet).returncode == 0:
        subprocess.run(["wine", "cmd", "/c", "exit"], env=env, timeout=120, **quiet)


def file_name_form(address):
    """An address as the Windows build writes it in a file name: ':' as '_'."""
    return re.sub(r'[<>:"/\\|?*]', "_", address)


# ---- Rendering output as transcript lines ----

# Local time stamps a run writes: each is shown as its format when it lies
# within the case's run, so a stamp of another time fails the comparison.
STAMPS = [
    (re.compile(r"(?<!\d)\d{8}_\d{6}(?!\d)"), "%Y%m%d_%H%M%S", "YYYYMMDD_hhmmss", 1),
    (re.compile(r"(?<!\d)\d{4}-\d\d-\d\d \d\d:\d\d:\d\d(?!\d)"), "%Y-%m-%d %H:%M:%S", "YYYY-MM-DD hh:mm:ss", 1),
    (re.compile(r"(?<!\d)\d{4}-\d\d-\d\d \d\d:\d\d(?![\d:])"), "%Y-%m-%d %H:%M", "YYYY-MM-DD hh:mm", 60),
    (re.compile(r"\b[A-Z][a-z]{2} [ 123]\d \d\d:\d\d(?![\d:])"), "%b %d %H:%M", "Mmm dd hh:mm", 60),
]

METER_HEAD = re.compile(r"^ +% Total +% Received % Xferd +Average Speed")
METER_HEAD2 = re.compile(r"^ +Dload +Upload +Total +Spent +Left +Speed$")
METER_ROW = re.compile(r"^(\r[ 0-9.:kMGT-]*)+$")


def stamp_in_window(text, fmt, granularity, window):
    try:
        parsed = time.strptime(text if "%b" not in fmt else time.strftime("%Y ", time.localtime(window[1])) + text,
                               fmt if "%b" not in fmt else "%Y " + fmt)
    except ValueError:
        return False
    when = time.mktime(parsed)
    return window[0] - granularity - 1 <= when <= window[1] + 1


def normalise_stamps(text, window):
    for pattern, fmt, token, granularity in STAMPS:
        text = pattern.sub(lambda m: token if stamp_in_window(m.group(0), fmt, granularity, window) else m.group(0), text)
    return text


def collapse_meter(lines):
    """libcurl's progress meter (two heading lines, then rows drawn over each
    other with carriage returns) becomes one line "(progress meter)"."""
    out = []
    i = 0
    while i < len(lines):
        if METER_HEAD.match(lines[i]) and i + 1 < len(lines) and METER_HEAD2.match(lines[i + 1]):
            i += 2
            while i < len(lines) and METER_ROW.match(lines[i]):
                i += 1
            out.append("(progress meter)")
            continue
        out.append(lines[i])
        i += 1
    return out


def escape(line):
    out = []
    for c in line:
        code = ord(c)
        if c == "\\":
            out.append("\\\\")
        elif c == "\r":
            out.append("\\r")
        elif 0xDC80 <= code <= 0xDCFF:  # a byte that is not UTF-8
            out.append("\\x%02x" % (code - 0xDC00))
        elif (code < 0x20 and c != "\t") or code == 0x7F:
            out.append("\\x%02x" % code)
        else:
            out.append(c)
    text = "".join(out)
    if text.endswith(" ") or text.endswith("\t"):  # keep trailing blanks visible
        text = text[:-1] + ("\\x20" if text.endswith(" ") else "\\x09")
    return text


def render(data, substitutions, window, prefix="", meter=False):
    """The bytes a command wrote, as transcript lines."""
    text = data.decode("utf-8", "surrogateescape")
    for value, name in substitutions:
        text = value.sub(name, text)
    text = normalise_stamps(text, window)
    if not text:
        return []
    lines = text.split("\n")
    no_eol = lines[-1] != ""
    if not no_eol:
        lines.pop()
    if meter:
        lines = collapse_meter(lines)
    out = [prefix + escape(line) for line in lines]
    if no_eol:
        out[-1] += " (no-eol)"
    return compact(out)


def compact(lines):
    """Three or more equal lines in a row become one, "LINE (N times)"."""
    out = []
    i = 0
    while i < len(lines):
        j = i
        while j < len(lines) and lines[j] == lines[i]:
            j += 1
        out.extend([lines[i] + f" ({j - i} times)"] if j - i >= 3 else lines[i:j])
        i = j
    return out


# ---- Expected lines ----

def line_matches(expected, actual):
    if expected.endswith(" (re)"):
        try:
            return re.fullmatch(expected[:-5], actual) is not None
        except re.error:
            return False
    if expected.endswith(" (glob)"):
        return fnmatch.fnmatchcase(actual, expected[:-7])
    return expected == actual or (expected == "2>" and actual == "2> ")


def align(expected, actual):
    """Aligns expected lines (patterns, "..." for any number of lines) with the
    actual ones. Returns (whole match?, steps); a step is ("=", e, a),
    ("-", e, None), ("+", None, a) or ("~", e, a) for a line "..." took."""
    n, m = len(expected), len(actual)
    matches = [[line_matches(e, a) for a in actual] for e in expected]
    # whole[i][j]: expected[i:] matches actual[j:] entirely.
    whole = [[False] * (m + 1) for _ in range(n + 1)]
    whole[n][m] = True
    # score[i][j]: the best alignment of expected[i:] and actual[j:]; a matched
    # line counts 2, a line "..." takes counts 1, so matching lines come first.
    score = [[0] * (m + 1) for _ in range(n + 1)]
    for i in range(n - 1, -1, -1):
        for j in range(m, -1, -1):
            if expected[i] == "...":
                whole[i][j] = whole[i + 1][j] or (j < m and whole[i][j + 1])
            else:
                whole[i][j] = j < m and matches[i][j] and whole[i + 1][j + 1]
            best = score[i + 1][j]
            if j < m:
                best = max(best, score[i][j + 1])
                if expected[i] == "...":
                    best = max(best, score[i][j + 1] + 1)
                elif matches[i][j]:
                    best = max(best, score[i + 1][j + 1] + 2)
            score[i][j] = best
    steps = []
    i = j = 0
    while i < n or j < m:
        if i < n and j < m and expected[i] != "..." and matches[i][j] and score[i][j] == score[i + 1][j + 1] + 2:
            steps.append(("=", expected[i], actual[j]))
            i += 1
            j += 1
        elif i < n and j < m and expected[i] == "..." and score[i][j] == score[i][j + 1] + 1:
            steps.append(("~", expected[i], actual[j]))
            j += 1
        elif i < n and score[i][j] == score[i + 1][j]:
            steps.append(("~" if expected[i] == "..." else "-", expected[i], None))
            i += 1
        else:
            steps.append(("+", None, actual[j]))
            j += 1
    return whole[0][0], steps


def updated(steps):
    """The expected lines rewritten from the actual ones, patterns kept where they matched."""
    out = []
    for kind, e, a in steps:
        if kind == "=":
            out.append(e)
        elif kind == "~":
            if not out or out[-1] != "...":
                out.append("...")
        elif kind == "+":
            out.append(a)
    return out


def diff(steps, label):
    left, right = [], []
    for kind, e, a in steps:
        if kind in "=~":
            shown = a if a is not None else "..."
            left.append(shown)
            right.append(shown)
        elif kind == "-":
            left.append(e)
        else:
            right.append(a)
    return "\n".join(difflib.unified_diff(left, right, "expected (" + label + ")", "actual", lineterm="", n=3))


# ---- Case files ----

class Command:
    def __init__(self, line_number, lines):
        self.line_number = line_number
        self.lines = lines  # as written, "$ ..." then "> ..."
        self.expected = []

    @property
    def text(self):
        return "\n".join(line[2:] for line in self.lines)


def complete(text):
    """Whether bash reads `text` as a whole command: no open quote, no
    here-document waiting for its end, no trailing backslash."""
    check = subprocess.run(["bash", "-n", "-c", text], stdin=subprocess.DEVNULL, capture_output=True, text=True)
    return check.returncode == 0 and "here-document" not in check.stderr and not text.endswith("\\")


def parse(path):
    """The case as a list of items: text lines kept as they are, directives
    (name, value, line number) and commands."""
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    if lines and lines[-1] == "":
        lines.pop()
    items = []
    command = None
    pending_blank = []
    for number, line in enumerate(lines, 1):
        if line.startswith(INDENT + "$ "):
            command = Command(number, [line[len(INDENT):]])
            items.extend(pending_blank)
            pending_blank = []
            items.append(command)
        elif line.startswith(INDENT + "> ") and command and not command.expected and not pending_blank \
                and not complete(command.text):
            command.lines.append(line[len(INDENT):])
        elif line.startswith(INDENT) or (line == "" and command is not None):
            if command is None:
                raise SyntaxError(f"{path}:{number}: output line before any command")
            if line == "":
                pending_blank.append(line)  # output only if more output follows
                continue
            command.expected.extend([""] * len(pending_blank))
            pending_blank = []
            command.expected.append(line[len(INDENT):])
        else:
            items.extend(pending_blank)
            pending_blank = []
            command = None
            if line.startswith("#") or line == "":
                items.append(line)
                continue
            name, colon, value = line.partition(":")
            if not colon or name.split(" ")[0] not in DIRECTIVES:
                raise SyntaxError(f"{path}:{number}: not a comment, directive or indented transcript line: {line!r}")
            items.append((name.strip(), value.strip(), number))
    items.extend(pending_blank)
    return items


def write(path, items):
    out = []
    for item in items:
        if isinstance(item, str):
            out.append(item)
        elif isinstance(item, tuple):
            out.append(f"{item[0]}: {item[1]}".rstrip())
        else:
            out.extend(INDENT + line for line in item.lines)
            out.extend(INDENT + line if line else "" for line in item.expected)
            # an empty last line would read as a separator: keep its indent
            if item.expected and item.expected[-1] == "":
                out[-1] = INDENT
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")


# ---- Controllers ----

def die_with_parent():
    """In a child: end (SIGTERM) when the harness ends, whatever ends it."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except (OSError, AttributeError):
        pass


FIXED_MTIME = 1700000000  # state files get one time stamp, so served archives do not vary


class Controller:
    """A simulated controller, or a closed port ("down")."""

    def __init__(self, name, value, root, work, sim_path, fixtures, variables, windows=False):
        self.name = name
        self.windows = windows
        self.process = None
        self.socket = None
        self.home = os.path.join(root, "sims", name)
        shutil.rmtree(self.home, ignore_errors=True)
        os.makedirs(self.home)
        self.state = os.path.join(self.home, "state")
        self.log = os.path.join(self.home, "log")
        self.errors = os.path.join(self.home, "err")
        if value == "down":
            # A socket bound to a port that never listens: every connection is refused.
            self.socket = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
            self.socket.bind(("127.0.0.1", 0))
            self.address = "127.0.0.1:%d" % self.socket.getsockname()[1]
            return
        args = shlex.split(value)
        for i, arg in enumerate(args):
            for var, text in variables.items():
                args[i] = args[i].replace("$" + var, text)
        if "--state" in args and os.path.isabs(args[args.index("--state") + 1]):
            # A folder of the case's own, used as it is (kept across controllers).
            at = args.index("--state")
            self.state = args[at + 1]
            del args[at:at + 2]
        elif "--state" in args:
            # A state folder of the fixtures, copied: the controller writes into it.
            at = args.index("--state")
            shutil.copytree(os.path.join(fixtures, args[at + 1]), self.state)
            for entry in os.scandir(self.state):
                os.utime(entry.path, (FIXED_MTIME, FIXED_MTIME))
            del args[at:at + 2]
        else:
            os.makedirs(self.state)
        with open(self.log, "wb") as out, open(self.errors, "wb") as err:
            self.process = subprocess.Popen([sim_path, "--port", "0", "--state", self.state] + args, cwd=work,
                                            stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                            preexec_fn=die_with_parent, start_new_session=True)
        deadline = time.time() + 60
        while time.time() < deadline:
            with open(self.log, "rb") as f:
                first = f.readline()
            if first.endswith(b"\n"):
                event = json.loads(first)
                self.address = event["address"]
                self.tftp = event["tftp_dir"]
                return
            if self.process.poll() is not None:
                break
            time.sleep(0.02)
        self.stop()
        raise RuntimeError(f"controller {name} did not start: " + open(self.errors, errors="replace").read())

    def variables(self):
        # NAME_NAME: the address as the build under test writes it into a
        # file name (the Windows build: '_' for the port's ':').
        names = {self.name: self.address, self.name + "_NAME": file_name_form(self.address) if self.windows
                 else self.address}
        if self.process:
            names.update({self.name + "_STATE": self.state, self.name + "_TFTP": self.tftp})
        return names

    def stop(self):
        """Stops the controller; what it wrote on standard error when that is not empty."""
        if self.socket:
            self.socket.close()
            self.socket = None
        if not self.process:
            return ""
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(10)
            except subprocess.TimeoutExpired:
                pass
        try:
            os.killpg(self.process.pid, signal.SIGKILL)  # its TFTP server too, if still there
        except ProcessLookupError:
            pass
        self.process.wait()
        status = self.process.returncode
        self.process = None
        text = open(self.errors, errors="replace").read()
        if status != 0:
            text += f"(controller {self.name} ended with status {status})\n"
        return text


# ---- Running a case ----

class Case:
    def __init__(self, path, options):
        self.path = path
        self.options = options
        self.label = os.path.relpath(os.path.abspath(path), os.path.join(HERE, "..", ".."))

    def run(self, update):
        """Returns (status, report text)."""
        items = parse(self.path)
        directives = [item for item in items if isinstance(item, tuple)]
        report = []
        if self.options.sanitized and ("skip-if", "sanitized") in [(d[0], d[1]) for d in directives]:
            return SKIPPED, f"{self.label}: skipped in a sanitized build\n"
        # "skip-if: windows REASON": a case that cannot apply to the Windows
        # build under Wine; "skip-if: linux REASON": one of the Windows build's own.
        system = "windows" if self.options.windows else "linux"
        for name, value, _ in directives:
            condition, _, reason = value.partition(" ")
            if name == "skip-if" and condition == system:
                return SKIPPED, f"{self.label}: skipped on {system}: {reason.strip()}\n"
        # What the machine must allow (root, a mount): without it the case is skipped, saying why.
        for name, value, _ in directives:
            if name == "require" and subprocess.run(["bash", "-c", value], cwd=tempfile.gettempdir(),
                                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL).returncode:
                return SKIPPED, f"{self.label}: skipped, this machine does not allow: {value}\n"
        root = tempfile.mkdtemp(prefix="mervo-case-")
        controllers = {}
        failures = 0
        try:
            work = os.path.join(root, "work")
            bindir = os.path.join(root, "bin")
            os.makedirs(work)
            os.makedirs(bindir)
            self.write_tools(bindir, root, limit=None)
            self.timeout = 120
            start = time.time()
            variables = {"FIXTURES": self.options.fixtures, "SCRATCH": work,
                         "SANITIZED": "1" if self.options.sanitized else "0"}
            if self.options.windows:
                # The case's folder as Windows names it (drive Z: is Wine's "/").
                variables.update(WINDOWS_BUILD=self.options.windows, WINE_PREFIX=self.options.wine_prefix,
                                 SCRATCH_WIN="Z:" + work.replace("/", "\\"))
            at_once = False
            i = 0
            while i < len(items):
                item = items[i]
                i += 1
                if isinstance(item, tuple):
                    name, value, number = item
                    if name == "timeout":
                        self.timeout = int(value)
                    elif name == "limit":
                        self.write_tools(bindir, root, limit=None if value == "none" else value)
                    elif name == "parallel":
                        at_once = True
                    elif name.startswith("sim"):
                        sim_name = name[3:].strip() or "SIM"
                        if sim_name in controllers:
                            leftover = controllers.pop(sim_name).stop()
                            if leftover:
                                report.append(f"{self.label}: controller {sim_name} wrote on standard error:\n{leftover}")
                                failures += 1
                        controllers[sim_name] = Controller(sim_name, value, root, work, self.options.sim,
                                                           self.options.fixtures, variables,
                                                           bool(self.options.windows))
                    continue
                if not isinstance(item, Command):
                    continue
                # One command, or after "parallel:" every command up to the next other line, at once.
                group = [item]
                while at_once and i < len(items) and isinstance(items[i], Command):
                    group.append(items[i])
                    i += 1
                at_once = False
                names = dict(variables)
                for c in controllers.values():
                    names.update(c.variables())
                deadline = time.time() + self.timeout
                running = [self.launch(command, names, bindir, work) for command in group]
                for command, process in zip(group, running):
                    actual = self.finish(process, deadline, names, work, start)
                    whole, steps = align(command.expected, actual)
                    if not whole and not update:
                        failures += 1
                        report.append(f"{self.label}:{command.line_number}: output of `{command.text}` differs:\n"
                                      + diff(steps, self.label) + "\n")
                    if update and not whole:
                        command.expected = updated(steps)
            for name, c in controllers.items():
                leftover = c.stop()
                if leftover:
                    report.append(f"{self.label}: controller {name} wrote on standard error:\n{leftover}")
                    failures += 1
        finally:
            for c in controllers.values():
                c.stop()
            make_writable(root)
            shutil.rmtree(root, ignore_errors=True)
        if update:
            write(self.path, items)
            report.append(f"{self.label}: rewritten\n")
            return 0, "".join(report)
        report.append(f"{self.label}: {'FAILED' if failures else 'passed'}\n")
        return (1 if failures else 0), "".join(report)

    def write_tools(self, bindir, root, limit):
        """mervo-cli (under a limit of its address space, if any) and simlog on
        PATH; for the Windows build, mervo-cli.exe and the test programs beside
        it under Wine, where no address-space limit applies (Wine itself
        reserves far more than any limit a case sets)."""
        cli = os.path.join(bindir, "mervo-cli")
        wrapper = shlex.split(os.environ.get("MERVO_CLI_WRAPPER", ""))
        if self.options.windows:
            wrapper = ["wine"]
            limit = None
            for program in glob.glob(os.path.join(self.options.windows, "tests", "windows", "*.exe")):
                tool = os.path.join(bindir, os.path.basename(program)[:-4])
                with open(tool, "w") as f:
                    f.write("#!/bin/sh\nexec wine " + shlex.quote(program) + ' "$@"\n')
                os.chmod(tool, 0o755)
        if limit and not self.options.sanitized:  # a sanitized binary reserves far more for its shadow memory
            resource, _, size = limit.partition("=")
            wrapper = ["prlimit", f"--{resource}={parse_size(size)}", "--"] + wrapper
        with open(cli, "w") as f:
            f.write("#!/bin/sh\nexec " + " ".join(shlex.quote(w) for w in wrapper + [self.options.cli]) + ' "$@"\n')
        simlog = os.path.join(bindir, "simlog")
        with open(simlog, "w") as f:
            f.write("#!/bin/sh\nexec " + shlex.quote(sys.executable) + " " + shlex.quote(os.path.abspath(__file__))
                    + " simlog --root " + shlex.quote(root) + ' "$@"\n')
        for path in (cli, simlog):
            os.chmod(path, 0o755)

    def launch(self, command, names, bindir, work):
        env = dict(os.environ, PATH=bindir + os.pathsep + os.environ["PATH"], LC_ALL="C.UTF-8", **names)
        env.pop("MERVO_CLI_WRAPPER", None)
        if self.options.windows:
            env.update(WINEPREFIX=self.options.wine_prefix, **WINE_ENV)
            keep_wineserver(self.options.wine_prefix)
        return subprocess.Popen(["bash", "-c", command.text], cwd=work, env=env, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                preexec_fn=die_with_parent, start_new_session=True)

    def finish(self, process, deadline, names, work, start):
        """Waits for a command until the deadline; what it printed, as transcript lines."""
        try:
            out, err = process.communicate(timeout=max(0.1, deadline - time.time()))
            status = f"[{process.returncode}]" if process.returncode > 0 else \
                f"[signal {-process.returncode}]" if process.returncode < 0 else None
        except subprocess.TimeoutExpired:
            os.killpg(process.pid, signal.SIGKILL)
            out, err = process.communicate()
            status = f"[no end after {self.timeout} s]"
        try:
            os.killpg(process.pid, signal.SIGKILL)  # whatever it left running
        except ProcessLookupError:
            pass
        # Values that differ from run to run are shown by name, longest first.
        values = {v: "$" + k for k, v in names.items() if k not in ("SANITIZED",) and not k.endswith("_NAME") and v}
        values[os.path.realpath(work)] = "$SCRATCH"
        values[self.options.cli] = "mervo-cli"  # the binary's own path, as getopt prints it
        if self.options.windows:
            # The program's own path as Wine hands it over (drive Z: is "/").
            values["Z:" + self.options.cli.replace("/", "\\")] = "mervo-cli"
            # The Windows build writes a controller's address into a file name
            # with '_' for ':' (a documented difference): shown by its name too.
            for name, value in names.items():
                if value and value.startswith("127.0.0.1:"):
                    values[file_name_form(value)] = "$" + name
        substitutions = [(re.compile(re.escape(v) + (r"(?!\d)" if v[-1].isdigit() else "")), n.replace("\\", "\\\\"))
                         for v, n in sorted(values.items(), key=lambda kv: -len(kv[0]))]
        window = (start, time.time())
        lines = render(out, substitutions, window) + render(err, substitutions, window, prefix="2> ", meter=True)
        if status:
            lines.append(status)
        return lines


def parse_size(text):
    """"256M" -> bytes; K, M and G are powers of 1024."""
    factor = {"K": 1 << 10, "M": 1 << 20, "G": 1 << 30}.get(text[-1:].upper(), 1)
    return int(text[:-1] if factor > 1 else text) * factor


def make_writable(root):
    """Read-only folders a case made must not stop their removal."""
    for path, dirs, _ in os.walk(root):
        for d in dirs:
            full = os.path.join(path, d)
            try:
                if not os.path.islink(full):
                    os.chmod(full, os.stat(full).st_mode | stat.S_IRWXU)
            except OSError:
                pass


# ---- simlog ----

def event_line(e):
    kind = e.get("event")
    if kind == "request":
        target = e["path"] + ("?" + e["query"] if e.get("query") else "")
        fault = "" if e.get("fault") in (None, "none") else f" [fault {e['fault']}]"
        return f"{e['method']} {target} -> {e['status']}, {e['bytes']} bytes{fault}"
    if kind == "config_stored":
        check = ""
        if "checksum_valid" in e:
            check = ", checksum " + ("valid" if e["checksum_valid"] else "INVALID")
        return f"stored {e['config']} from {e['path']}: {e['bytes']} bytes, sha256 {e['sha256'][:16]}{check}"
    if kind == "restore_ignored":
        return f"restore ignored {e['path']}: {e['bytes']} bytes"
    if kind == "restore":
        return f"restore {e['result']}: {e['stored']} stored" + (f" ({e['reason']})" if "reason" in e else "")
    if kind == "upgrade":
        line = f"upgrade {e['result']}: hash {e['hash']}, size {e['size']}"
        if (e.get("actual_hash"), e.get("actual_size")) != (e["hash"], e["size"]):
            line += f"; flashraw.bin has hash {e.get('actual_hash')}, size {e.get('actual_size')}"
        if e.get("kept"):
            line += f"; firmware {e.get('firmware_version')} kept, the image holds {e.get('image_version')}"
        return line + (f" ({e['reason']})" if "reason" in e else "")
    if kind == "tftp_transfer":
        asked = e.get("request_options", "")
        answered = e.get("reply_options", "")
        reply = e.get("reply", "none") + ("" if answered == asked else f" ({answered})" if answered else " (no options)")
        line = f"tftp {e['request']} {e['file']} ({asked}) -> {reply}, blocks {e.get('data_sizes') or 'none'}"
        resent = [f"{e[k]} {k.split('_')[0]}" for k in ("data_resent", "acks_resent") if e.get(k)]
        if resent:
            line += ", resent " + " and ".join(resent)
        line += f", {e['result']}"
        if "error_code" in e:
            line += f" (error {e['error_code']} from {e.get('error_from')}: {e.get('error_message', '')})"
        return line
    return json.dumps(e)


def simlog(argv):
    parser = argparse.ArgumentParser(prog="simlog")
    parser.add_argument("--root", required=True)
    parser.add_argument("--all", action="store_true", help="everything, not only what came since the last simlog")
    parser.add_argument("name", nargs="?", default="SIM")
    a = parser.parse_args(argv)
    home = os.path.join(a.root, "sims", a.name)
    cursor_file = os.path.join(home, "cursor")
    seen = 0 if a.all or not os.path.exists(cursor_file) else int(open(cursor_file).read())
    with open(os.path.join(home, "log"), "rb") as f:
        lines = f.read().split(b"\n")[:-1]  # a last line without its end is still being written
    for raw in lines[seen:]:
        event = json.loads(raw)
        if event.get("event") not in ("listening", "stopped"):
            print(event_line(event))
    with open(cursor_file, "w") as f:
        f.write(str(len(lines)))
    return 0


# ---- The README's transcripts ----

README_ADDRESS = "127.0.0.1:8080"
README_STAMP = re.compile(r"(?<=_VESTRA_)\d{8}_\d{6}")


def readme(options):
    """Runs every ```console block of the README in order, in one scratch
    folder holding a copy of examples/, against one simulated controller on a
    copy of examples/controller-state. A block's "$ " lines are commands, the
    lines after one its standard output: the README's address stands for the
    controller's, backup time stamps are patterns, the carriage returns of
    the tool's lines are left out; a command must exit with 0."""
    path = options.cases[0]
    with open(path, encoding="utf-8") as f:
        lines = f.read().split("\n")
    root = tempfile.mkdtemp(prefix="mervo-readme-")
    work, bindir, state = (os.path.join(root, name) for name in ("work", "bin", "state"))
    shutil.copytree(os.path.join(os.path.dirname(os.path.abspath(path)), "examples"), os.path.join(work, "examples"))
    shutil.copytree(os.path.join(work, "examples", "controller-state"), state)
    os.makedirs(bindir)
    case = Case(path, options)
    case.write_tools(bindir, root, limit=None)
    sim = Controller("SIM", "--state " + state, root, work, options.sim, options.fixtures, {})
    out, failures, i, inside = [], 0, 0, False
    try:
        while i < len(lines):
            line = lines[i]
            inside = line == "```console" or (inside and line != "```")
            i += 1
            if not (inside and line.startswith("$ ")):
                out.append(line)
                continue
            number, expected = i, []
            while lines[i] != "```" and not lines[i].startswith("$ "):
                expected.append(lines[i])
                i += 1
            process = case.launch(Command(0, [line.replace(README_ADDRESS, sim.address)]), {}, bindir, work)
            actual = process.communicate(timeout=120)[0].decode("utf-8", "replace").replace(sim.address, README_ADDRESS)
            actual = actual.replace("\r\n", "\n").splitlines()
            same = [README_STAMP.sub("STAMP", a) for a in actual] == [README_STAMP.sub("STAMP", e) for e in expected]
            out += [line] + (expected if same else actual)
            if process.returncode or not same:
                failures += 1
                print(f"{path}:{number}: `{line[2:]}` exited with {process.returncode}, printed:\n"
                      + "\n".join(difflib.unified_diff(expected, actual, "README", "actual", lineterm="")))
    finally:
        sim.stop()
        shutil.rmtree(root, ignore_errors=True)
    if options.update:
        with open(path, "w", encoding="utf-8") as f:
            f.write("\n".join(out))
        return 0
    print(f"{path}: {failures} of its commands failed")
    return 1 if failures else 0


# ---- Main ----

def main(argv):
    if argv[:1] == ["simlog"]:
        return simlog(argv[1:])
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--cli", required=True, help="the mervo-cli binary")
    parser.add_argument("--sim", required=True, help="the mervo-controller-sim binary")
    parser.add_argument("--fixtures", default=DEFAULT_FIXTURES)
    parser.add_argument("--sanitized", action="store_true", help="the binaries are built with the sanitizers")
    parser.add_argument("--update", action="store_true", help="rewrite the expected output from the real output")
    parser.add_argument("-j", type=int, default=1, help="cases run at once")
    parser.add_argument("--readme", action="store_true", help="the one file named is the README")
    parser.add_argument("--windows", metavar="BUILD", help="run the Windows build of this folder under Wine")
    parser.add_argument("--wine-prefix", help="the Wine prefix for --windows (made when missing)")
    parser.add_argument("cases", nargs="+")
    options = parser.parse_args(argv)
    options.cli = os.path.abspath(options.cli)
    options.sim = os.path.abspath(options.sim)
    options.fixtures = os.path.abspath(options.fixtures)
    if options.windows:
        options.windows = os.path.abspath(options.windows)
        options.wine_prefix = os.path.abspath(options.wine_prefix or os.path.join(options.windows, "wine-prefix"))
        ensure_wine_prefix(options.wine_prefix)
    # A harness ended by a signal still stops its controllers and removes its folders.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    if options.readme:
        return readme(options)

    if options.j > 1 and len(options.cases) > 1:
        return run_apart(argv, options)
    worst = 0
    for path in options.cases:
        try:
            status, text = Case(path, options).run(options.update)
        except (SyntaxError, RuntimeError, OSError, ValueError) as error:
            status, text = 1, f"{path}: {error}\n"
        sys.stdout.write(text)
        sys.stdout.flush()
        worst = max(worst, status) if status != SKIPPED else worst
    if worst == 0 and len(options.cases) == 1 and status == SKIPPED:
        return SKIPPED
    return worst


def run_apart(argv, options):
    """Each case in a process of its own, `options.j` at a time."""
    common = [a for a in argv if a not in options.cases]
    waiting = list(options.cases)
    running = []
    worst = 0
    while waiting or running:
        while waiting and len(running) < options.j:
            path = waiting.pop(0)
            running.append(subprocess.Popen([sys.executable, os.path.abspath(__file__)] + common + ["-j", "1", path],
                                            stdout=subprocess.PIPE, stderr=subprocess.STDOUT))
        done = running.pop(0)
        sys.stdout.write(done.communicate()[0].decode("utf-8", "replace"))
        sys.stdout.flush()
        if done.returncode not in (0, SKIPPED):
            worst = 1
    return worst


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
