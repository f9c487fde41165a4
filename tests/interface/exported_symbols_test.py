#!/usr/bin/env python3
"""The library's dynamic symbol table defines the seven hart_* functions and nothing else.

Usage: exported_symbols_test.py <path of the library>
"""
import shutil
import subprocess
import sys

EXPECTED = {"hart_open", "hart_configure", "hart_subscribe", "hart_register", "hart_write", "hart_read",
            "hart_close"}


def main():
    nm = shutil.which("nm")
    if not nm:
        print("FAILED: nm not found", file=sys.stderr)
        return 1
    out = subprocess.run([nm, "-D", "--defined-only", sys.argv[1]], check=True, capture_output=True, text=True)
    defined = {line.split()[-1] for line in out.stdout.splitlines() if line.strip()}
    if defined != EXPECTED:
        print("FAILED: missing %s, extra %s" % (sorted(EXPECTED - defined), sorted(defined - EXPECTED)),
              file=sys.stderr)
        return 1
    print("exports:", " ".join(sorted(defined)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
