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
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile

INT32_MIN, INT32_MAX = -2**31, 2**31 - 1
USAGE = "usage: worm_export <drive> <client>\n"
WRITE_ERROR = "worm_export: write error on standard output: "
CASE_SECONDS = 60  # a run that has not ended by then has hung: the case fails


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def lines(*texts):
    return "".join(t + "\n" for t in texts)


# What the scripted library records: p1 is the address of the tool's handle, p2
# the handle it hands out, p3 the tool's callback and p4 its callback data.
def init_call(drive, code=0):
    return f'worm_init(p1, "{drive}") = {code}' + (", ctx p2" if code == 0 else "")


FULL = "worm_export_tar(p2, p3, p4)"
FILTERED = "worm_export_tar_filtered_transaction(p2, 500, 600, null, p3, p4)"
CLEANUP = "worm_cleanup(p2)"


def chunk_call(length):
    return f"callback({length}) = 0"


def plain_run(drive, client):
    """A run of the default script: both exports succeed without a chunk."""
    return dict(
        args=[drive, client],
        stdout=lines(f"using drive {drive}", "result worm_init(): 0",
                     "result worm_export_tar(): 0", "", f"using client {client}",
                     "result worm_export...(): 0"),
        calls=[init_call(drive), FULL, FILTERED, CLEANUP])


NUMBERED_RUN = dict(
    script=["full 0 512 10240", "filtered 0 1024"],
    stdout=lines("using drive E:", "result worm_init(): 0",
                 "chunk no: 0\tlength: 512 bytes",
                 "chunk no: 1\tlength: 10240 bytes",
                 "result worm_export_tar(): 0", "", "using client acme",
                 "chunk no: 2\tlength: 1024 bytes",
                 "result worm_export...(): 0"),
    calls=[init_call("E:"), FULL, chunk_call(512), chunk_call(10240), FILTERED,
           chunk_call(1024), CLEANUP])


def many_chunks_run(full, filtered):
    """A run whose exports hand back full and filtered chunks of 512 bytes."""
    chunk_lines = [f"chunk no: {n}\tlength: 512 bytes" for n in range(full + filtered)]
    return dict(
        args=["E:", "acme"],
        script=["full 0" + " 512" * full, "filtered 0" + " 512" * filtered],
        stdout=lines("using drive E:", "result worm_init(): 0", *chunk_lines[:full],
                     "result worm_export_tar(): 0", "", "using client acme",
                     *chunk_lines[full:], "result worm_export...(): 0"),
        calls=[init_call("E:"), FULL, *[chunk_call(512)] * full, FILTERED,
               *[chunk_call(512)] * filtered, CLEANUP])


CASES = [
    dict(many_chunks_run(300, 200), stdout_to="file", count_writes=True, unix_host=True,
         name="each line reaches a file in one write"),
    dict(NUMBERED_RUN, name="chunks are numbered on across both exports",
         args=["E:", "acme"], valgrind=True),
    dict(NUMBERED_RUN, name="arguments after the second are ignored",
         args=["E:", "acme", "extra", "--help"]),
    dict(plain_run("E:", "acme"), name="exports without chunks print their result at once"),
    dict(name="a chunk of length 0 gets its line and its number",
         args=["E:", "acme"], script=["full 0 0 7", "filtered 0 0"],
         stdout=lines("using drive E:", "result worm_init(): 0",
                      "chunk no: 0\tlength: 0 bytes", "chunk no: 1\tlength: 7 bytes",
                      "result worm_export_tar(): 0", "", "using client acme",
                      "chunk no: 2\tlength: 0 bytes", "result worm_export...(): 0"),
         calls=[init_call("E:"), FULL, chunk_call(0), chunk_call(7), FILTERED,
                chunk_call(0), CLEANUP]),
    dict(name="failed exports and cleanup still run everything and exit 0",
         args=["E:", "acme"], valgrind=True,
         script=["full -5 512", f"filtered {INT32_MAX}", "cleanup 9"],
         stdout=lines("using drive E:", "result worm_init(): 0",
                      "chunk no: 0\tlength: 512 bytes", "result worm_export_tar(): -5",
                      "", "using client acme", f"result worm_export...(): {INT32_MAX}"),
         calls=[init_call("E:"), FULL, chunk_call(512), FILTERED, CLEANUP]),
    dict(name="no arguments: usage, status 2, no library call",
         args=[], stdout="", stderr=USAGE, status=2, calls=[], valgrind=True),
    dict(name="one argument: usage, status 2, no library call",
         args=["E:"], stdout="", stderr=USAGE, status=2, calls=[]),
    dict(name="a crash in the full export keeps the lines so far (stdout a file)",
         args=["E:", "acme"], script=["full 0 512 512", "crash full 1"],
         stdout_to="file", status=None, stderr=None,
         stdout=lines("using drive E:", "result worm_init(): 0",
                      "chunk no: 0\tlength: 512 bytes"),
         calls=[init_call("E:"), FULL, chunk_call(512), "crash"]),
    dict(name="a crash in the filtered export keeps the lines so far (stdout a pipe)",
         args=["E:", "acme"], script=["full 0 512", "filtered 0 1024", "crash filtered 1"],
         status=None, stderr=None,
         stdout=lines("using drive E:", "result worm_init(): 0",
                      "chunk no: 0\tlength: 512 bytes", "result worm_export_tar(): 0", "",
                      "using client acme", "chunk no: 1\tlength: 1024 bytes"),
         calls=[init_call("E:"), FULL, chunk_call(512), FILTERED, chunk_call(1024),
                "crash"]),
    dict(name="an unwritable stdout still cleans up, but exits 1 and says why",
         args=["E:", "acme"], script=["full 0 512"], stdout_to="/dev/full", unix_host=True,
         stdout=None, status=1, stderr=WRITE_ERROR + "No space left on device\n",
         calls=[init_call("E:"), FULL, chunk_call(512), FILTERED, CLEANUP]),
    dict(name="a closed pipe for stdout still cleans up, but exits 1 and says why",
         args=["E:", "acme"], script=["full 0 512"], stdout_to="closed pipe",
         stdout=None, status=1, posix_only=True, stderr=WRITE_ERROR + "Broken pipe\n",
         calls=[init_call("E:"), FULL, chunk_call(512), FILTERED, CLEANUP]),
    dict(name="worm_init failing into an unwritable stdout: its code, and why lines are lost",
         args=["E:", "acme"], script=["init 7"], stdout_to="/dev/full", unix_host=True,
         stdout=None, status=7, stderr=WRITE_ERROR + "No space left on device\n",
         calls=[init_call("E:", 7)]),
    dict(plain_run("%s%n%x%%", "%s%n"), name="format directives print as data",
         valgrind=True),
    dict(plain_run("", ""), name="empty strings pass and print unchanged"),
    dict(plain_run("C:\\store dir\\", "a b"), name="backslashes and spaces pass unchanged"),
    dict(plain_run("d" * 100_000, "c" * 100_000), posix_only=True,
         name="100 KB arguments pass and print unchanged"),
    dict(plain_run("store-\udcff\udcfe", "caf\udce9 \u00e9"), posix_only=True,
         name="bytes that are not UTF-8 pass and print unchanged"),
    # Windows gives a program its arguments in the ANSI code page, 1252 in the
    # tests' Wine: text it holds arrives in its bytes, and is printed so.
    dict(plain_run("Pr\u00fcfung-\u20ac-\u2014", "caf\u00e9"), windows_only=True,
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
        name=f"worm_init fails with {code}", args=["E:", "acme"], script=[f"init {code}"],
        stdout=lines("using drive E:", f"result worm_init(): {code}"),
        status={"posix": posix_status, "windows": code}, calls=[init_call("E:", code)],
        valgrind=True))


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
    return status, stdout, done.stderr, calls, writes


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


def check(case, opts, status, stdout, stderr, calls, writes):
    """Returns what differs from the case's expectations, or an empty list."""
    def same_lines(data):
        return data.replace(b"\r\n", b"\n") if opts.platform == "windows" else data

    def want(text):  # as the tool sees and prints the case's text
        return raw(text, case.get("encoding", "utf-8"))

    problems = []
    want_status = case.get("status", 0)
    if isinstance(want_status, dict):
        want_status = want_status[opts.platform]
    if want_status is None:
        if status == 0:
            problems.append("exit status 0, want non-zero")
    elif status != want_status:
        problems.append(f"exit status {status}, want {want_status}")
    if case["stdout"] is not None and same_lines(stdout) != want(case["stdout"]):
        problems.append(f"stdout {stdout[:400]!r}, want {want(case['stdout'])[:400]!r}")
    want_stderr = case.get("stderr", "")
    if want_stderr is not None and same_lines(stderr) != want(want_stderr):
        problems.append(f"stderr {stderr[:400]!r}, want {want(want_stderr)!r}")
    line_count = stdout.count(b"\n") if stdout else 0
    if writes is not None and writes != line_count:
        problems.append(f"{writes} writes for {line_count} lines, want one a line")
    want_calls = [want(c) for c in case["calls"]]
    if calls != want_calls:
        problems.append(f"calls {[c[:200] for c in calls]}, want {[c[:200] for c in want_calls]}")
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
                problems = check(case, opts, *run_case(case, opts, workdir))
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
