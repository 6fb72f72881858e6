"""A pytest plugin for logs: a line of progress every PERIOD seconds or so.

pytest writes one line per test file and ends it with the share of tests done
once the file is finished, so a long file leaves a log without a new line for
a minute. With this plugin the line of a file that has run for PERIOD
seconds is ended with that share, and the file goes on on a new line:

    tests/hnsw/test_graph_properties.py ..........                   [ 41%]
    tests/hnsw/test_graph_properties.py ....                         [ 43%]

and a single test that runs longer is named on a line of its own, every
PERIOD seconds while it runs (by a watcher thread, writing past the output
capture to the terminal's own file). Load it with -p progress_lines, this
folder on sys.path; it does nothing with -q or -v, where pytest writes no
line per file.
"""
from __future__ import annotations

import os
import sys
import threading
import time

import pytest

PERIOD = 10.0  # seconds


class ProgressLines:
    def __init__(self, reporter) -> None:
        self.reporter = reporter
        # The output capture redirects file descriptor 1 while a test runs;
        # a copy taken now still reaches the terminal or the log.
        self.out = os.dup(sys.stdout.fileno())
        self.total = 0
        self.done = 0
        self.line_began = time.monotonic()
        self.current: str | None = None   # the test running now
        self.started = 0.0                # when it started
        self.lock = threading.Lock()
        self.stop = threading.Event()

    def pytest_collection_finish(self, session: pytest.Session) -> None:
        self.total = len(session.items)
        threading.Thread(target=self.watch, name="progress_lines", daemon=True).start()

    def pytest_unconfigure(self) -> None:
        self.stop.set()

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_logstart(self, nodeid: str) -> None:
        with self.lock:
            path = self.reporter.config.rootpath / nodeid.split("::")[0]
            if path != self.reporter.currentfspath:
                self.line_began = time.monotonic()  # pytest begins a line for the file
            self.current, self.started = nodeid, time.monotonic()

    @pytest.hookimpl(trylast=True)
    def pytest_runtest_logfinish(self) -> None:
        with self.lock:
            self.done += 1
            self.current = None
            if self.reporter.currentfspath is not None and self.done < self.total \
                    and time.monotonic() - self.line_began >= PERIOD:
                share = f"[{self.done * 100 // self.total:3d}%]"
                writer = getattr(self.reporter, "_tw", None)  # to align it as pytest does
                width = writer.fullwidth - writer.width_of_current_line - 1 if writer else 0
                self.reporter.write(share.rjust(max(width, len(share) + 1)), flush=True)
                self.end_line()

    def end_line(self) -> None:
        # pytest ends the line itself, writing the file's name again, as soon
        # as it writes the next result.
        self.reporter.currentfspath = None
        self.line_began = time.monotonic()

    def watch(self) -> None:
        # A test starts on a line younger than PERIOD (the line is ended when
        # a test finishes on an older one), so this names a long test at most
        # PERIOD / 2 after the line's age reached PERIOD.
        while not self.stop.wait(1.0):
            with self.lock:
                now = time.monotonic()
                if self.current is not None and now - self.line_began >= PERIOD \
                        and now - self.started >= PERIOD / 2:
                    os.write(self.out, f"\n    ... still running {self.current}".encode())
                    self.end_line()


@pytest.hookimpl(trylast=True)
def pytest_configure(config: pytest.Config) -> None:
    reporter = config.pluginmanager.get_plugin("terminalreporter")
    if reporter is not None and config.get_verbosity() == 0:
        config.pluginmanager.register(ProgressLines(reporter), "progress_lines_reporter")
