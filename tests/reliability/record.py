"""Runs the reliability suites' exhaustive sets against the Linux build and
rewrites their part of the record, docs/reliability.md: everything between
the two LINUX markers.
The rest of the file (the Windows block, the notes) is left as it is.

usage: record.py PATH-TO-TalvenClient_SET PATH-TO-reliability.md
"""

import datetime
import platform
import subprocess
import sys
from pathlib import Path

import common as c
import concurrent_runs
import hostile_folders
import injected_faults
import kill_points

BEGIN = "<!-- LINUX RESULTS: written by tools/reliability.sh; edits here are overwritten -->"
END = "<!-- END OF LINUX RESULTS -->"
SUITES = [("Concurrent runs", concurrent_runs), ("A kill at any point", kill_points),
          ("Injected faults", injected_faults), ("Hostile folders and input", hostile_folders)]


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    return lines + ["| " + " | ".join(str(x).replace("|", "\\|") for x in row) + " |" for row in rows]


def render(program: Path) -> tuple:
    strace = subprocess.run(["strace", "-V"], capture_output=True, text=True).stdout.split("\n")[0]
    out = [BEGIN, "",
           f"Linux build, {datetime.date.today()}, kernel {platform.release()}, {strace}.", ""]
    summary, sections, failed = [], [], False
    for title, suite in SUITES:
        report = suite.main(program, exhaustive=True)
        failed |= bool(report.failures)
        if report.skipped:
            summary.append((title, "skipped", report.skipped))
            continue
        summary.append((title, report.tried, report.held))
        sections += [f"### {title}", "", f"`tests/reliability/{suite.__name__}.py`", ""]
        sections += [f"- {line}" for line in report.lines] + [""]
        if report.rows:
            sections += table(report.header, report.rows) + [""]
        if report.failures:
            sections += ["Did not hold:", ""] + [f"    {f}" for f in report.failures] + [""]
    out += table(("suite", "tried", "held"), summary) + [""] + sections + [END]
    return "\n".join(out), failed


def around(document: Path, begin: str, end: str) -> tuple:
    """The document's text before `begin` and after `end`, between which a
    block of results is written."""
    text = document.read_text()
    if begin not in text or end not in text:
        sys.exit(f"{document} has lost its markers {begin!r} and {end!r}")
    head, rest = text.split(begin, 1)
    return head, rest.split(end, 1)[1]


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    program, document = Path(sys.argv[1]).resolve(), Path(sys.argv[2])
    around(document, BEGIN, END)  # missing markers fail before the long runs
    results, failed = render(program)
    head, tail = around(document, BEGIN, END)
    document.write_text(head + results + tail)
    print(results)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
