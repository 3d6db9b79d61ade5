"""The reliability record, docs/reliability.md: one block a build, between
its two markers, written from the reports of the exhaustive sets
(`sweeps.py --record`). The rest of the file is left as it is."""

import datetime
import sys
from pathlib import Path

MARKERS = {
    "linux": ("<!-- LINUX RESULTS: written by tools/reliability.sh; edits here are overwritten -->",
              "<!-- END OF LINUX RESULTS -->"),
    "wine": ("<!-- WINE RESULTS: written by tools/reliability.sh wine; edits here are overwritten -->",
             "<!-- END OF WINE RESULTS -->"),
}


def table(header, rows):
    lines = ["| " + " | ".join(header) + " |", "|" + "---|" * len(header)]
    return lines + ["| " + " | ".join(str(x).replace("|", "\\|") for x in row) + " |" for row in rows]


def around(document: Path, begin: str, end: str) -> tuple:
    """The document's text before `begin` and after `end`, between which a
    block of results is written."""
    text = document.read_text()
    if begin not in text or end not in text:
        sys.exit(f"{document} has lost its markers {begin!r} and {end!r}")
    head, rest = text.split(begin, 1)
    return head, rest.split(end, 1)[1]


def write(document: Path, begin: str, end: str, title: str, reports) -> None:
    """Rewrites the block between `begin` and `end`: what each suite tried and
    what held, then each suite's notes, table and failures."""
    out = [begin, "", f"{title}, {datetime.date.today()}: `tests/reliability/sweeps.py --record`.", ""]
    out += table(("suite", "tried", "held"), [
        (r.title, "skipped", r.skipped) if r.skipped else (r.title, r.tried, r.held)
        for r in reports]) + [""]
    for report in (r for r in reports if not r.skipped):
        out += [f"### {report.title}", ""] + [f"- {line}" for line in report.lines] + [""]
        if report.rows:
            out += table(report.header, report.rows) + [""]
        if report.failures:
            out += ["Did not hold:", ""] + [f"    {f}" for f in report.failures] + [""]
    head, tail = around(document, begin, end)
    document.write_text(head + "\n".join(out + [end]) + tail)
