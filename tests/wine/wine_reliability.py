"""Reliability of the Windows executable under Wine besides the sweeps:
runs started at once in one folder, files held for a moment, a delivery over
4 GiB. Each suite is suite(runner, root, exhaustive) -> Report, run (and
recorded) by tests/reliability/sweeps.py with the kills, faults and lost
replies; wine_runner.py provides the Wine session, the boxes and the holder.
"""

import shutil
from collections import Counter
from pathlib import Path

import wine_runner as w  # puts tests/e2e and tests/reliability on the path
import common as c  # noqa: E402
from cases import DONE, EXE_MISSING, TRANSIENT_CASES, TYPICAL_AFTER, TYPICAL_BEFORE  # noqa: E402
from harness import NOTICE, Case, Hold, check, folder_differences, lay_out, read_folder  # noqa: E402

RUNS = 3
# One row per round: what is held while the runs show their notices, let go
# once every notice is gone. Gated: the folder lock, held as a run holds it,
# so that all of them meet it the moment it goes; and the executable in use,
# held 300 ms longer as a virus scanner holds it, so that the run with the
# lock is slow and every run has found the delivery before it is gone (runs
# that did not take turns would delete each other's copy). Free: nothing.
GATED = (Hold(c.LOCK, share="none", let_go_ms=0), Hold(c.EXE, let_go_ms=300))
ROUNDS = (("gated", GATED), ("free", ()), ("gated", GATED), ("free", ()))
DEFAULT_ROUNDS = 2  # one of each
LAST_BOX = {0: DONE, 1: EXE_MISSING}

BIG = c.Sparse((1 << 32) + 40_961)
BIG_CASE = Case("delivered executable over 4 GiB (sparse)", {c.EXE: "exe 1", c.NEW_EXE: BIG},
                {c.EXE: BIG}, [DONE], 0, platforms=("wine",))
# Wine's CopyFileA writes the holes out as data: room for all of it, and 1 GiB.
BIG_ROOM = BIG.size + (1 << 30)
BIG_BOX_TIMEOUT_S = 600  # the copy and its flush, from the notice to the last box


def concurrent(runner, root: Path, exhaustive) -> c.Report:
    report = c.Report(f"{RUNS} runs of the exe at once on one delivery (rounds)")
    shown = Counter()
    rounds = ROUNDS if exhaustive else ROUNDS[:DEFAULT_ROUNDS]
    for n, (start, held) in enumerate(rounds):
        folder = root / f"round {n}"
        folder.mkdir()
        # The holder holds only files that exist: a gate's lock file is laid out.
        lay_out(folder, {**TYPICAL_BEFORE, c.LOCK: ""} if held else TYPICAL_BEFORE)
        results = runner.run_together(folder, RUNS, held)
        statuses = Counter(r.status for r in results)
        shown.update(LAST_BOX.get(r.status, "other") for r in results)
        problems = [] if statuses == {0: 1, 1: RUNS - 1} else [f"exit statuses {dict(statuses)}"]
        problems += [f"run {i}: boxes {r.boxes!r}" for i, r in enumerate(results)
                     if r.boxes != [NOTICE, LAST_BOX.get(r.status)]]
        problems += folder_differences(TYPICAL_AFTER, read_folder(folder))
        if problems:
            problems += [f"run {i} log:\n{r.log}" for i, r in enumerate(results)]
        report.outcome(f"round {n} ({start} start)", problems)
    gated = sum(bool(held) for _, held in rounds)
    report.lines.append(
        f"{gated} of {len(rounds)} rounds behind a held lock and executable; "
        f"final message {shown[DONE]}, "
        f"missing executable {shown[EXE_MISSING]}, other {shown['other']}; checked in each round: "
        "one final message, the delivered executable and library in place, no lock file left")
    return report


def transient(runner, root: Path, exhaustive) -> c.Report:
    report = c.Report("transient lock: a holder lets go 300 ms after the notice, the run succeeds")
    for case in TRANSIENT_CASES:
        report.outcome(case.name, check(case, runner, root))
    report.lines.append("; ".join(case.name for case in TRANSIENT_CASES) +
                        ": the delete and the rename wait, the run ends fully updated")
    return report


def big(runner, root: Path, exhaustive) -> c.Report:
    report = c.Report("delivered executable over 4 GiB (sparse)")
    free = shutil.disk_usage(root).free
    if free < BIG_ROOM:
        report.skipped = (f"{free / (1 << 30):.1f} GiB free beside the folder, "
                          f"{BIG_ROOM / (1 << 30):.1f} GiB needed")
        return report
    runner.box_timeout_s = BIG_BOX_TIMEOUT_S
    try:
        report.outcome(BIG_CASE.name, check(BIG_CASE, runner, root, c.lay_out_all, c.snapshot))
    finally:
        runner.box_timeout_s = w.BOX_APPEAR_TIMEOUT_S
    report.lines.append(f"{BIG.size} bytes copied in full: size and marks at "
                        f"{', '.join(map(str, BIG.offsets()))} checked, no temporary left")
    return report
