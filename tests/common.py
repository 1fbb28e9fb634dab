"""What the Python test drivers share: the tool's output, spelled once; the
operations' table; reading files and PE files; and the one-check report."""
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, "cmake"))
from worm_names import OPERATIONS, SHAPES  # noqa: E402,F401  the operations and their names


def read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


def lines(*texts):
    return "".join(t + "\n" for t in texts)


def tool_output(drive, client, init=0, full=(0, ()), filtered=(0, ()), crash=None):
    """What the tool prints on standard output (lines ending in \\n) when
    worm_init returns init and each export, full and filtered, hands back chunks
    of the given lengths and returns its code: (code, lengths).  crash=(export,
    n) ends the run after n chunks of that export, "full" or "filtered"."""
    out = [f"using drive {drive}", f"result worm_init(): {init}"]
    if init != 0:
        return lines(*out)
    number = 0  # runs on from the full export into the filtered one
    for export, (code, lengths), result in [("full", full, "worm_export_tar"),
                                            ("filtered", filtered, "worm_export...")]:
        if export == "filtered":
            out += ["", f"using client {client}"]
        stop = crash[1] if crash and crash[0] == export else None
        for length in lengths[:stop]:
            out.append(f"chunk no: {number}\tlength: {length} bytes")
            number += 1
        if stop is not None:
            break
        out.append(f"result {result}(): {code}")
    return lines(*out)


def report(problems):
    """Prints each problem and the one-check tally; returns the exit status."""
    for p in problems:
        print(f"FAIL {p}")
    print(f"{0 if problems else 1} passed, {1 if problems else 0} failed")
    return 1 if problems else 0


# PE files, as GNU objdump -p shows them.

def objdump_p(objdump, path):
    """What `objdump -p` says of a PE file: its headers, imports and exports."""
    return subprocess.run([objdump, "-p", path], check=True, capture_output=True,
                          text=True).stdout


def system_dll(name):
    name = name.lower()
    return name in ("kernel32.dll", "msvcrt.dll", "ucrtbase.dll", "shell32.dll") or \
        name.startswith("api-ms-win-crt-")


def pe_imports(dump):
    """{dll name: [imported names]} from objdump -p's import tables."""
    found, current = {}, None
    for line in dump.splitlines():
        m = re.match(r"\s*DLL Name: (\S+)", line)
        if m:
            current = found.setdefault(m.group(1), [])
        elif current is not None and re.match(r"\s*[0-9a-f]+\s+\d+\s+\S+$", line):
            current.append(line.split()[-1])
        elif not line.strip():
            current = None
    return found


def pe_exports(dump):
    """The exported names: the name table runs up to the first empty line."""
    table = dump.split("[Ordinal/Name Pointer] Table\n", 1)
    rows = table[1].split("\n\n", 1)[0] if len(table) > 1 else ""
    return {m.group(1) for m in re.finditer(r"\[\s*\d+\] (\S+)", rows)}
