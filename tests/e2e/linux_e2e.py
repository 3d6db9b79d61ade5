"""Runs the end-to-end cases against the Linux build.

usage: linux_e2e.py PATH-TO-TalvenClient_SET

A held file is made immutable (chattr +i, which needs root): it can then be
neither deleted nor renamed, as a file locked by another user on Windows.
"""

import subprocess
import sys
from pathlib import Path

from cases import CASES
from harness import Result, parse_stderr_boxes, run_all


class LinuxRunner:
    def __init__(self, program: Path):
        self.program = program

    def run(self, folder: Path, held) -> Result:
        for name in held:
            subprocess.run(["chattr", "+i", folder / name], check=True)
        try:
            done = subprocess.run([self.program], cwd=folder, stdin=subprocess.DEVNULL,
                                  capture_output=True, timeout=60)
        finally:
            for name in held:
                subprocess.run(["chattr", "-i", folder / name], check=True)
        stderr = done.stderr.decode()
        return Result(done.returncode, parse_stderr_boxes(stderr), stderr)


if __name__ == "__main__":
    program = Path(sys.argv[1]).resolve()
    sys.exit(run_all(CASES, LinuxRunner(program), "linux", "Client Ördner ünd Späces"))
