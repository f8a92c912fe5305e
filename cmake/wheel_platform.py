"""Prints the wheel platform tag that a shared library truly meets.

    wheel_platform.py OBJDUMP LIBRARY MACHINE

The library may need only glibc's own libraries; any other (the C++ runtime,
a codec) would be missing on a machine with nothing but Python, so it is a
failure, as is a symbol versioned by the C++ runtime or libgcc. The tag is
manylinux_X_Y for the newest glibc symbol version the library uses
(PEP 600), and never below 2.17, the oldest that indexes take.
"""

import re
import subprocess
import sys

GLIBC_LIBRARIES = {
    "libc.so.6",
    "libm.so.6",
    "libpthread.so.0",
    "libdl.so.2",
    "librt.so.1",
    "ld-linux-x86-64.so.2",
    "ld-linux-aarch64.so.1",
}
OLDEST = (2, 17)


def main(objdump: str, library: str, machine: str) -> int:
    headers = subprocess.run([objdump, "-p", library], capture_output=True, text=True, check=True).stdout
    needed = re.findall(r"^\s*NEEDED\s+(\S+)", headers, re.M)
    foreign = sorted(set(needed) - GLIBC_LIBRARIES)
    if foreign:
        print(f"wheel: {library} needs {', '.join(foreign)}, which a bare machine lacks", file=sys.stderr)
        return 1
    symbols = subprocess.run([objdump, "-T", library], capture_output=True, text=True, check=True).stdout
    versions = re.findall(r"\(([A-Z]+)_([0-9][0-9.]*)\)", symbols)
    runtime = sorted({f"{name}_{version}" for name, version in versions if name != "GLIBC"})
    if runtime:
        print(f"wheel: {library} uses {', '.join(runtime)} from a shared runtime", file=sys.stderr)
        return 1
    newest = max([tuple(int(part) for part in version.split(".")[:2]) for name, version in versions] + [OLDEST])
    print(f"manylinux_{newest[0]}_{newest[1]}_{machine}")
    return 0


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    sys.exit(main(*sys.argv[1:]))
