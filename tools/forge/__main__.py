"""Bundle forge: the one place where test, benchmark and demo bundles are made.

Run as `/usr/bin/python3 tools/forge <command> ...` (see `--help`).
"""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from cli import main  # noqa: E402

if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
