"""Runs the end-to-end cases against the Linux build.

usage: linux_e2e.py PATH-TO-TalvenClient_SET

A held file is made immutable (chattr +i, which needs root): it can then be
neither deleted nor renamed, as a file locked by another user on Windows.
The delivery program's rows (delivery_cases.py) follow, with the
TalvenClient_DELIVER built beside the update program.
"""

import subprocess
import sys
from pathlib import Path

from cases import CASES
from delivery_cases import run_deliveries
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


class LinuxDeliverer:
    """Runs TalvenClient_DELIVER; an `unwritable` folder is made immutable
    for the run, so that nobody, root included, may create files in it."""

    def __init__(self, program: Path):
        self.program = program

    def __call__(self, args, unwritable=None, writing=None):  # no share modes: no writer rows
        if unwritable:
            subprocess.run(["chattr", "+i", unwritable], check=True)
        try:
            done = subprocess.run([self.program, *args], stdin=subprocess.DEVNULL,
                                  capture_output=True, timeout=120)
        finally:
            if unwritable:
                subprocess.run(["chattr", "-i", unwritable], check=True)
        return done.returncode, done.stdout.decode(errors="replace"), done.stderr.decode(errors="replace")


if __name__ == "__main__":
    program = Path(sys.argv[1]).resolve()
    runner = LinuxRunner(program)
    failed = run_all(CASES, runner, "linux", "Client Ördner ünd Späces")
    failed |= run_deliveries(LinuxDeliverer(program.with_name("TalvenClient_DELIVER")), runner,
                             "linux", "Client Ördner ünd Späces")
    sys.exit(failed)
