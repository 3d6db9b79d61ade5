"""Concurrent runs: RUNS runs started together on one typical delivery, for
ROUNDS rounds. In every round exactly one run shows the final message and the
others the missing-executable message, the executable and each library hold
the delivered content, and no lock file remains.

Every other round starts behind a gate: this test holds the folder lock, as
a run would, until every run has shown its notice and is waiting, then lets
go the way a run does (the file removed first), so that all of them contend
for it at once. The other rounds start the runs as fast as they can be.
"""

import fcntl
import os
import subprocess
from pathlib import Path

import common as c

RUNS, ROUNDS = 8, 50


def round_of_runs(program, folder: Path, gated: bool) -> tuple:
    c.lay_out_all(folder, c.TYPICAL)
    gate = None
    if gated:
        gate = os.open(folder / c.LOCK, os.O_RDONLY | os.O_CREAT, 0o644)
        fcntl.flock(gate, fcntl.LOCK_EX)
    runs = [subprocess.Popen([program], cwd=folder, stdin=subprocess.DEVNULL,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            for _ in range(RUNS)]
    shown = [b""] * RUNS
    if gate is not None:
        for i, run in enumerate(runs):  # each run has shown its notice
            while b"[OK]\n" not in shown[i]:
                chunk = os.read(run.stderr.fileno(), 4096)
                if not chunk:
                    break
                shown[i] += chunk
        os.unlink(folder / c.LOCK)
        os.close(gate)
    results = []
    for i, run in enumerate(runs):
        rest = run.communicate(timeout=60)[1]
        text = (shown[i] + rest).decode(errors="replace")
        results.append(c.Result(run.returncode, c.parse_stderr_boxes(text), text))
    return results


def main(program: Path):
    report = c.Report("concurrent runs")
    root = c.new_root()
    counts = {}
    try:
        for n in range(ROUNDS):
            folder = root / f"round {n}"
            folder.mkdir()
            results = round_of_runs(program, folder, gated=n % 2 == 0)
            for r in results:
                counts[r.status] = counts.get(r.status, 0) + 1
            statuses = sorted(r.status for r in results)
            problems = [] if statuses == [0] + [1] * (RUNS - 1) else [f"exit statuses {statuses}"]
            problems += [p for r in results for p in c.box_problems(r, r.status)]
            now = c.snapshot(folder)
            problems += [f"{name} holds {now.get(name)!r}, expected {content!r}"
                         for name, content in c.UPDATED.items() if now.get(name) != content]
            problems += [f"unexpected {name}" for name in now.keys() - c.UPDATED.keys()]
            report.outcome(f"round {n} ({'gated' if n % 2 == 0 else 'free'} start)", problems)
    finally:
        c.remove_root(root)
    report.lines.append(
        f"{ROUNDS} rounds of {RUNS} runs at once ({(ROUNDS + 1) // 2} behind a held lock): "
        f"final message {counts.get(0, 0)}, missing executable {counts.get(1, 0)}, other "
        f"{sum(n for s, n in counts.items() if s not in (0, 1))}; "
        f"{report.held} of {ROUNDS} rounds held")
    return report


if __name__ == "__main__":
    c.main(main)
