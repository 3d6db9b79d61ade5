"""Concurrent runs: RUNS runs started together on one typical delivery, for
ROUNDS rounds (the exhaustive set: EXHAUSTIVE_ROUNDS). In every round exactly one run shows the final message and the
others the missing-executable message, the executable and each library hold
the delivered content, and no lock file remains.

Every other round starts behind a gate: this test holds the folder lock, as
a run would, until every run has shown its notice and is waiting, then lets
go the way a run does (the file removed first), so that all of them contend
for it at once. The other rounds start the runs as fast as they can be.

Two users, one after the other: the first, with umask 077, is slowed down in
its executable's copy (strace delays the call); once it holds the lock (seen
in /proc/locks) the second user's run starts, and must wait for it, not go on
unlocked because the first user's lock file shut it out. Needs root to run as
two users; skipped without.
"""

import fcntl
import os
import subprocess
import time
from pathlib import Path

import common as c
import delivery

RUNS, ROUNDS, EXHAUSTIVE_ROUNDS = 8, 10, 50
LOCK_TIMEOUT_S = 30
USERS = ("daemon", "nobody")
SLOW_COPY = "--inject=copy_file_range:delay_enter=2s:when=1"


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


def two_users(program, folder: Path) -> list:
    """The first user's run (umask 077, slowed in its first copy) and, once
    it holds the lock, the second user's; what went wrong."""
    c.lay_out_all(folder, c.TYPICAL)
    os.chmod(folder, 0o777)  # both users may change the shared folder
    commands = [["strace", "-f", "-qqq", "-o", "/dev/null", SLOW_COPY, "--", str(program)],
                [str(program)]]
    runs = []
    for user, command in zip(USERS, commands):
        runs.append(subprocess.Popen(command, cwd=folder, user=user, group=c.user_group(user),
                                     umask=0o077, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE))
        deadline = time.monotonic() + LOCK_TIMEOUT_S
        while len(runs) == 1 and not c.flock_held(folder / c.LOCK):
            if time.monotonic() > deadline or runs[0].poll() is not None:
                runs[0].kill()
                runs[0].communicate()
                return [f"the first user's run took no lock in {LOCK_TIMEOUT_S} s"]
            time.sleep(0.01)
    results = []
    for run in runs:
        text = run.communicate(timeout=90)[1].decode(errors="replace")
        results.append(c.Result(run.returncode, c.parse_stderr_boxes(text), text))
    problems = [] if [r.status for r in results] == [0, 1] else \
        [f"exit statuses {[r.status for r in results]}, expected [0, 1]"]
    problems += [p for r in results for p in c.box_problems(r, r.status)]
    return problems + c.fully_updated(c.TYPICAL, c.snapshot(folder))


def main(program: Path, exhaustive=False):
    report = c.Report("concurrent runs")
    root = c.new_root()
    counts, rounds_held = {}, 0
    rounds = EXHAUSTIVE_ROUNDS if exhaustive else ROUNDS
    try:
        for n in range(rounds):
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
        rounds_held = report.held
        delivery.concurrent_pass(program, root, report)
        if os.geteuid() == 0:
            folder = root / "two users"
            folder.mkdir()
            report.outcome("two users, the second once the first holds the lock, "
                           "the first with umask 077",
                           two_users(c.for_other_users(program, root), folder))
    finally:
        c.remove_root(root)
    report.lines.append(
        f"{rounds} rounds of {RUNS} runs at once ({(rounds + 1) // 2} behind a held lock): "
        f"final message {counts.get(0, 0)}, missing executable {counts.get(1, 0)}, other "
        f"{sum(n for s, n in counts.items() if s not in (0, 1))}; "
        f"{rounds_held} of {rounds} rounds held")
    report.lines.append(
        "two users, the second started once the first holds the lock, the first with "
        "umask 077 and its copy slowed: "
        + ("needs root, skipped" if os.geteuid() != 0 else
           "the second waited for the lock (final message, then missing executable)"
           if report.held == report.tried else "see above"))
    return report
