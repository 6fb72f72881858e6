"""A pytest plugin that tells which folders of tests/ ran and which were
skipped, so that a run whose Dask tests were all skipped is not taken for a
run that tested Dask.

    python -m pytest -p suite_tally --suite-tally=FILE ...   (this folder on sys.path)

writes FILE as JSON: for each folder of tests/ (of the root folder; "" for
the files at its top),
how many tests passed, failed and were skipped; a test module skipped as a
whole counts as one skipped. Then

    python suite_tally.py FILE FOLDER

prints "ran" when every test of FOLDER ran and at least one did, "SKIPPED
(N of M)" when N of its M tests (or modules) were skipped, and "NOT RUN"
when none was collected.
"""
from __future__ import annotations

import json
import sys
from pathlib import Path

import pytest


def folder_of(path: Path, tests: Path) -> str:
    """The folder of TESTS that PATH is in: its first part below TESTS."""
    try:
        parts = path.resolve().relative_to(tests.resolve()).parts
    except ValueError:
        return "(elsewhere)"
    return parts[0] if len(parts) > 1 else ""


class SuiteTally:
    def __init__(self, config: pytest.Config, target: Path) -> None:
        self.root = config.rootpath
        self.tests = config.rootpath / "tests"
        self.target = target
        self.outcome: dict[str, tuple[str, str]] = {}  # node id -> (folder, outcome)

    def record(self, nodeid: str, outcome: str) -> None:
        folder = folder_of(self.root / nodeid.split("::")[0], self.tests)
        before = self.outcome.get(nodeid, (folder, "passed"))[1]
        # A test that failed in any phase failed; one skipped in set-up was skipped.
        rank = ["passed", "skipped", "failed"]
        self.outcome[nodeid] = (folder, max(before, outcome, key=rank.index))

    def pytest_runtest_logreport(self, report: pytest.TestReport) -> None:
        if hasattr(report, "wasxfail"):  # an expected failure ran
            self.record(report.nodeid, "failed" if report.failed else "passed")
        elif report.when == "call" or not report.passed:
            self.record(report.nodeid, report.outcome)

    def pytest_collectreport(self, report: pytest.CollectReport) -> None:
        if not report.passed:
            self.record(report.nodeid, report.outcome)

    def pytest_sessionfinish(self) -> None:
        tally: dict[str, dict[str, int]] = {}
        for folder, outcome in self.outcome.values():
            counts = tally.setdefault(folder, {"passed": 0, "failed": 0, "skipped": 0})
            counts[outcome] += 1
        self.target.write_text(json.dumps(tally, indent=1, sort_keys=True) + "\n")


def pytest_addoption(parser: pytest.Parser) -> None:
    parser.addoption("--suite-tally", metavar="FILE",
                     help="write how many tests of each folder of tests/ passed, failed and"
                          " were skipped to FILE (JSON)")


def pytest_configure(config: pytest.Config) -> None:
    target = config.getoption("suite_tally")
    if target:
        config.pluginmanager.register(SuiteTally(config, Path(target)), "suite_tally_recorder")


def verdict(tally: dict[str, dict[str, int]], folder: str) -> str:
    counts = tally.get(folder, {})
    skipped = counts.get("skipped", 0)
    total = skipped + counts.get("passed", 0) + counts.get("failed", 0)
    if total == 0:
        return "NOT RUN"
    return f"SKIPPED ({skipped} of {total})" if skipped else "ran"


if __name__ == "__main__":
    print(verdict(json.loads(Path(sys.argv[1]).read_text()), sys.argv[2]))
