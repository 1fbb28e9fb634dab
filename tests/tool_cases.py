#!/usr/bin/env python3
"""Black-box runs of worm_export against the scripted WormAPI library.

Each case gives the tool's arguments and the script the library plays back, and
says what must come out: standard output to the byte, standard error, the exit
status and the calls the library recorded; a case with count_writes also runs
under strace and wants one write system call per line of output.  The cases
marked valgrind are the ones --valgrind-cases runs (under valgrind, through
--launcher).  The cases marked unix_host need strace or /dev/full from the
machine that runs the tests, so a native Windows run skips them.  A run in
which no case runs fails.

  tool_cases.py --tool worm_export --library path/to/scripted/libWormAPI.so
                [--platform posix|windows] [--launcher "wine"]

On posix the scripted library is swapped in with LD_LIBRARY_PATH; on windows the
tool is copied beside it, where Windows looks first.  Windows builds end lines
with CRLF, compared as lines.  Wine reduces a program's exit status to 8 bits for
its Unix parent, so on windows the tool runs under --exit-code-helper, a Windows
program that reports the whole 32-bit code.
"""
import argparse
import collections
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile

from common import read_bytes, tool_output

INT32_MIN, INT32_MAX = -2**31, 2**31 - 1
USAGE = "usage: worm_export <drive> <client>\n"
WRITE_ERROR = "worm_export: write error on standard output: "
CASE_SECONDS = 60  # a run that has not ended by then has hung: the case fails


class Sentinel:
    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return self.name


ANY_FAILURE = Sentinel("ANY_FAILURE")  # a status: any but 0
UNCHECKED = Sentinel("UNCHECKED")  # stdout or stderr: not compared

# What one run gave: its exit status, standard output and error, the calls the
# library recorded, and the write calls strace counted (None when not counted).
RunResult = collections.namedtuple("RunResult", "status stdout stderr calls writes")


# What the scripted library records: p1 is the address of the tool's handle, p2
# the handle it hands out, p3 the tool's callback and p4 its callback data.
def init_call(drive, code=0):
    return f'worm_init(p1, "{drive}") = {code}' + (", ctx p2" if code == 0 else "")


EXPORT_CALLS = {"full": "worm_export_tar(p2, p3, p4)",
                "filtered": "worm_export_tar_filtered_transaction(p2, 500, 600, null, p3, p4)"}
CLEANUP = "worm_cleanup(p2)"


def scripted_run(drive="E:", client="acme", init=0, full=(0, ()), filtered=(0, ()),
                 cleanup=0, crash=None):
    """A case's arguments and the library's script, with the output and calls
    that follow from them: init, cleanup and each export's (code, chunk lengths)
    are what the library returns and hands back; crash=(export, n) aborts after
    n chunks of that export."""
    exports = {"full": full, "filtered": filtered}
    script = [f"init {init}", f"cleanup {cleanup}"]
    script += [f"{e} {code}" + "".join(f" {n}" for n in lengths)
               for e, (code, lengths) in exports.items()]
    if crash:
        script.append(f"crash {crash[0]} {crash[1]}")
    calls = [init_call(drive, init)]
    if init == 0:
        for export, (_, lengths) in exports.items():
            stop = crash[1] if crash and crash[0] == export else None
            calls += [EXPORT_CALLS[export]] + [f"callback({n}) = 0" for n in lengths[:stop]]
            if stop is not None:
                calls.append("crash")
                break
        else:
            calls.append(CLEANUP)
    return dict(args=[drive, client], script=script, calls=calls,
                stdout=tool_output(drive, client, init, full, filtered, crash))


# Each case: name, args, script, stdout (text to the byte, or UNCHECKED), calls;
# and where they differ from the defaults, status (0; a number, ANY_FAILURE, or
# {"posix": N, "windows": M}), stderr ("": nothing), stdout_to ("pipe", "file",
# "closed pipe" or a path), encoding ("utf-8": how the tool sees the texts), and
# the marks count_writes, valgrind, posix_only, windows_only and unix_host.
CASES = [
    dict(scripted_run(full=(0, [512] * 300), filtered=(0, [512] * 200)), stdout_to="file",
         count_writes=True, unix_host=True, name="each line reaches a file in one write"),
    dict(scripted_run(full=(0, [512, 10240]), filtered=(0, [1024])), valgrind=True,
         name="chunks are numbered on across both exports"),
    dict(scripted_run(full=(0, [512, 10240]), filtered=(0, [1024])),
         args=["E:", "acme", "extra", "--help"], name="arguments after the second are ignored"),
    dict(scripted_run(), name="exports without chunks print their result at once"),
    dict(scripted_run(full=(0, [0, 7]), filtered=(0, [0])),
         name="a chunk of length 0 gets its line and its number"),
    dict(scripted_run(full=(-5, [512]), filtered=(INT32_MAX, []), cleanup=9), valgrind=True,
         name="failed exports and cleanup still run everything and exit 0"),
    dict(name="no arguments: usage, status 2, no library call",
         args=[], stdout="", stderr=USAGE, status=2, calls=[], valgrind=True),
    dict(name="one argument: usage, status 2, no library call",
         args=["E:"], stdout="", stderr=USAGE, status=2, calls=[]),
    dict(scripted_run(full=(0, [512, 512]), crash=("full", 1)), stdout_to="file",
         status=ANY_FAILURE, stderr=UNCHECKED,
         name="a crash in the full export keeps the lines so far (stdout a file)"),
    dict(scripted_run(full=(0, [512]), filtered=(0, [1024]), crash=("filtered", 1)),
         status=ANY_FAILURE, stderr=UNCHECKED,
         name="a crash in the filtered export keeps the lines so far (stdout a pipe)"),
    dict(scripted_run(full=(0, [512])), stdout_to="/dev/full", unix_host=True,
         stdout=UNCHECKED, status=1, stderr=WRITE_ERROR + "No space left on device\n",
         name="an unwritable stdout still cleans up, but exits 1 and says why"),
    dict(scripted_run(full=(0, [512])), stdout_to="closed pipe", posix_only=True,
         stdout=UNCHECKED, status=1, stderr=WRITE_ERROR + "Broken pipe\n",
         name="a closed pipe for stdout still cleans up, but exits 1 and says why"),
    dict(scripted_run(init=7), stdout_to="/dev/full", unix_host=True,
         stdout=UNCHECKED, status=7, stderr=WRITE_ERROR + "No space left on device\n",
         name="worm_init failing into an unwritable stdout: its code, and why lines are lost"),
    dict(scripted_run("%s%n%x%%", "%s%n"), valgrind=True,
         name="format directives print as data"),
    dict(scripted_run("", ""), name="empty strings pass and print unchanged"),
    dict(scripted_run("C:\\store dir\\", "a b"), name="backslashes and spaces pass unchanged"),
    dict(scripted_run("d" * 100_000, "c" * 100_000), posix_only=True,
         name="100 KB arguments pass and print unchanged"),
    dict(scripted_run("store-\udcff\udcfe", "caf\udce9 \u00e9"), posix_only=True,
         name="bytes that are not UTF-8 pass and print unchanged"),
    # Windows gives a program its arguments in the ANSI code page, 1252 in the
    # tests' Wine: text it holds arrives in its bytes, and is printed so.
    dict(scripted_run("Pr\u00fcfung-\u20ac-\u2014", "caf\u00e9"), windows_only=True,
         encoding="cp1252", name="arguments in the ANSI code page pass and print unchanged"),
]

# An argument the code page cannot hold reaches main best-fitted (Ω as O), and so
# would name another store: refused, with nothing called.
for args, which in [(["\u03a9mega", "acme"], "drive"), (["E:", "\u041a\u0438\u0435\u0432"], "client")]:
    CASES.append(dict(
        name=f"a {which} outside the ANSI code page is refused, status 3", args=args,
        windows_only=True, stdout="", status=3, calls=[],
        stderr=f"worm_export: the {which} has characters that this system's code page "
               "(1252) cannot carry\n"))

# worm_init failures: two lines, nothing else called, the code as the status.
# On posix the tool keeps the low 8 bits, or 1 where they are all zero; on
# Windows it exits with the whole code.
for code, posix_status in [(7, 7), (-1, 255), (256, 1), (INT32_MIN, 1), (INT32_MAX, 255)]:
    CASES.append(dict(
        scripted_run(init=code), name=f"worm_init fails with {code}",
        status={"posix": posix_status, "windows": code}, valgrind=True))


def raw(text, encoding="utf-8"):
    """Text as the bytes a program sees; lone surrogates stand for raw bytes."""
    return text.encode(encoding, "surrogateescape")


def run_bounded(command, **kwargs):
    """Runs command with a time limit; on overrun kills its whole process group
    (the tool under the exit-code helper is a grandchild) and raises TimeoutExpired."""
    with subprocess.Popen(command, stderr=subprocess.PIPE, stdin=subprocess.DEVNULL,
                          start_new_session=True, **kwargs) as process:
        try:
            stdout, stderr = process.communicate(timeout=CASE_SECONDS)
        except subprocess.TimeoutExpired:
            if os.name == "posix":
                os.killpg(process.pid, signal.SIGKILL)
            else:
                process.kill()
            process.wait()
            raise
    return subprocess.CompletedProcess(command, process.returncode, stdout, stderr)


def run_case(case, opts, workdir):
    with open(os.path.join(workdir, "script.txt"), "w") as f:
        f.write("".join(line + "\n" for line in case.get("script", [])))
    env = dict(os.environ, WORM_SCRIPT="script.txt", WORM_CALLS="calls.txt")
    tool = os.path.abspath(opts.tool)
    if opts.platform == "windows":
        shutil.copy(opts.tool, workdir)
        shutil.copy(opts.library, workdir)
        tool = os.path.join(workdir, os.path.basename(opts.tool))
    else:
        env["LD_LIBRARY_PATH"] = os.path.dirname(os.path.abspath(opts.library))
    command = [tool] + [raw(a) for a in case["args"]]
    if opts.exit_code_helper:
        command = [os.path.abspath(opts.exit_code_helper), "exit_code.txt"] + command
    command = shlex.split(opts.launcher) + command
    out_path = os.path.join(workdir, "stdout.txt")
    trace_path = os.path.join(workdir, "writes.txt")
    if case.get("count_writes"):
        command = strace_writes(out_path, trace_path) + command
        env["ASAN_OPTIONS"] = "detect_leaks=0"  # LeakSanitizer cannot run under ptrace

    def run(stdout):
        return run_bounded(command, cwd=workdir, env=env, stdout=stdout)

    target = case.get("stdout_to", "pipe")
    if target == "pipe":
        done = run(subprocess.PIPE)
        stdout = done.stdout
    elif target == "closed pipe":
        reader, writer = os.pipe()
        os.close(reader)
        done = run(writer)
        os.close(writer)
        stdout = None
    else:
        path = out_path if target == "file" else target
        with open(path, "wb") as out:
            done = run(out)
        stdout = read_bytes(path) if target == "file" else None

    status = done.returncode
    if opts.exit_code_helper:
        status = int(read_bytes(os.path.join(workdir, "exit_code.txt"))) if status == 0 else None
    calls_path = os.path.join(workdir, "calls.txt")
    calls = read_bytes(calls_path).splitlines() if os.path.exists(calls_path) else []
    writes = count_writes(trace_path) if case.get("count_writes") else None
    return RunResult(status, stdout, done.stderr, calls, writes)


WRITE_CALLS = ("write", "writev", "pwrite64", "pwritev", "pwritev2")


def strace_writes(path, trace_path):
    """A prefix that records every write system call on path, in any process."""
    strace = shutil.which("strace")
    if not strace:
        raise RuntimeError("strace is needed to count writes; install it")
    return [strace, "-f", "-qq", "--seccomp-bpf", "-e", "signal=none",
            "-e", "trace=" + ",".join(WRITE_CALLS), "-P", path, "-o", trace_path]


def count_writes(trace_path):
    """The write calls strace recorded; one cut in two by a thread switch counts once."""
    pattern = re.compile(r"^(\d+ +)?(" + "|".join(WRITE_CALLS) + r")\(")
    with open(trace_path) as trace:
        return sum(1 for line in trace if pattern.match(line))


def check(case, opts, run):
    """Returns what differs from the case's expectations, or an empty list."""
    def same_lines(data):
        return data.replace(b"\r\n", b"\n") if opts.platform == "windows" else data

    def want(text):  # as the tool sees and prints the case's text
        return raw(text, case.get("encoding", "utf-8"))

    problems = []
    want_status = case.get("status", 0)
    if isinstance(want_status, dict):
        want_status = want_status[opts.platform]
    if want_status is ANY_FAILURE:
        if run.status == 0:
            problems.append("exit status 0, want non-zero")
    elif run.status != want_status:
        problems.append(f"exit status {run.status}, want {want_status}")
    if case["stdout"] is not UNCHECKED and same_lines(run.stdout) != want(case["stdout"]):
        problems.append(f"stdout {run.stdout[:400]!r}, want {want(case['stdout'])[:400]!r}")
    want_stderr = case.get("stderr", "")
    if want_stderr is not UNCHECKED and same_lines(run.stderr) != want(want_stderr):
        problems.append(f"stderr {run.stderr[:400]!r}, want {want(want_stderr)!r}")
    line_count = run.stdout.count(b"\n") if run.stdout else 0
    if run.writes is not None and run.writes != line_count:
        problems.append(f"{run.writes} writes for {line_count} lines, want one a line")
    want_calls = [want(c) for c in case["calls"]]
    if run.calls != want_calls:
        problems.append(f"calls {[c[:200] for c in run.calls]}, "
                        f"want {[c[:200] for c in want_calls]}")
    return problems


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--tool", required=True)
    parser.add_argument("--library", required=True, help="the scripted WormAPI library")
    parser.add_argument("--platform", choices=["posix", "windows"], default="posix")
    parser.add_argument("--launcher", default="", help="command prefix, e.g. wine")
    parser.add_argument("--exit-code-helper", help="Windows program that reports exit codes")
    parser.add_argument("--only", help="run only the cases whose name matches this regex")
    parser.add_argument("--valgrind-cases", action="store_true",
                        help="run only the cases marked to run under valgrind")
    opts = parser.parse_args()

    selected = [case for case in CASES
                if (not opts.only or re.search(opts.only, case["name"]))
                and (not opts.valgrind_cases or case.get("valgrind"))]
    passed = failed = skipped = 0
    for case in selected:
        if case.get("posix_only") and opts.platform != "posix" or \
                case.get("windows_only") and opts.platform != "windows" or \
                case.get("unix_host") and os.name != "posix":
            skipped += 1
            continue
        with tempfile.TemporaryDirectory(prefix="worm_case_") as workdir:
            try:
                problems = check(case, opts, run_case(case, opts, workdir))
            except subprocess.TimeoutExpired:
                problems = [f"did not end within {CASE_SECONDS} s"]
        if problems:
            failed += 1
            print(f"FAIL {case['name']}")
            for p in problems:
                print(f"    {p}")
        else:
            passed += 1
            print(f"ok   {case['name']}")
    print(f"{passed} passed, {failed} failed, {skipped} skipped")
    if passed + failed == 0:
        print("FAIL no case ran: the selection matches none that runs here")
        return 1
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
