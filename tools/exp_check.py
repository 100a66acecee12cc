"""Compare exokern's exponential with the C library's exp over 10^9 arguments (or COUNT).

    python3 tools/exp_check.py [COUNT]

Builds tools/exp_check.cpp against include/exokern (with the flags the modules use: C++17,
-O2, no floating-point contraction) and runs it: it prints, for every path this CPU can run
(scalar, avx2, avx512), how many results differ from the C library's in their bits. Zero is
expected where the C library is glibc on a CPU with FMA (the same algorithm); elsewhere the
count measures how far the platform's exp is from these bits. Needs a C++ compiler (c++ or g++);
takes about a minute per 10^9 arguments.
"""

import os
import shutil
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main() -> int:
    count = sys.argv[1] if len(sys.argv) > 1 else "1000000000"
    cxx = shutil.which("c++") or shutil.which("g++") or shutil.which("clang++")
    if cxx is None:
        print("exp_check: no C++ compiler found", file=sys.stderr)
        return 2
    with tempfile.TemporaryDirectory() as tmp:
        exe = os.path.join(tmp, "exp_check")
        subprocess.run([cxx, "-std=c++17", "-O2", "-ffp-contract=off", "-fno-fast-math",
                        "-I", os.path.join(ROOT, "include"),
                        os.path.join(ROOT, "tools", "exp_check.cpp"), "-o", exe, "-lm"],
                       check=True)
        return subprocess.run([exe, count]).returncode


if __name__ == "__main__":
    raise SystemExit(main())
