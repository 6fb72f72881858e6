"""A pytest plugin for logs: a line of progress every PERIOD seconds or so.

pytest writes one line per test file and ends it with the share of tests done
once the file is finished, so a long file leaves a log without a new line for
a minute. With this plugin the line of a file that has run for PERIOD
seconds is ended with that share, and the file goes on on a new line:

    tests/hnsw/test_graph_properties.py ..........                   [ 41%]
    tests/hnsw/test_graph_properties.py ....                         [ 43%]

and a single test that runs longer is named on a line of its own, every
PERIOD seconds while it runs. That line is written by a watcher process, told
when each test starts and ends: a thread of the test process would allocate
memory while the leak tests count the blocks of the whole process. Load the
plugin with -p progress_lines, this folder on sys.path; it does nothing with
-q or -v, where pytest writes no line per file.
"""
from __future__ import annotations

import os
import subprocess
import sys
import time

import pytest

PERIOD = 10.0  # seconds

# The watcher: reads "start NODEID", "end" and "line" (a line began) from its
# input; names the running test on the terminal (its own copy of the
# output, which the capture of the test process does not redirect) when the
# line is PERIOD old and the test PERIOD / 2, and then says so on BACK. A
# test starts on a line younger than PERIOD, so a long test is named at most
# PERIOD / 2 after the line's age reached PERIOD.
WATCHER = r"""
import os, select, sys, time
period, back = float(sys.argv[1]), int(sys.argv[2])
current, pending = None, b""
line_began = started = time.monotonic()
while True:
    ready = select.select([0], [], [], 1.0)[0]
    now = time.monotonic()
    if ready:
        data = os.read(0, 65536)
        if not data:
            break
        *messages, pending = (pending + data).split(b"\n")
        for message in messages:
            kind, _, rest = message.decode().partition(" ")
            if kind == "start":
                current, started = rest, now
            elif kind == "end":
                current = None
            elif kind == "line":
                line_began = now
    elif current is not None and now - line_began >= period and now - started >= period / 2:
        os.write(1, f"\n    ... still running {current}".encode())
        os.write(back, b"x")
        line_began = now
"""


class ProgressLines:
    def __init__(self, reporter) -> None:
        self.reporter = reporter
        self.total = 0
        self.done = 0
        self.line_began = time.monotonic()
        self.back, back = os.pipe()
        os.set_blocking(self.back, False)
        # Started while the capture is suspended, so its output is the terminal's.
        self.watcher = subprocess.Popen([sys.executable, "-c", WATCHER, str(PERIOD), str(back)],
                                        stdin=subprocess.PIPE, pass_fds=[back])
        os.close(back)

    def tell(self, message: str) -> None:
        try:
            self.watcher.stdin.write(message.encode() + b"\n")
            self.watcher.stdin.flush()
        except (BrokenPipeError, ValueError):
            pass  # no watcher: no progress lines for long tests, nothing worse

    def pytest_collection_finish(self, session: pytest.Session) -> None:
        self.total = len(session.items)

    def pytest_unconfigure(self) -> None:
        self.watcher.stdin.close()
        self.watcher.wait(timeout=10)
        os.close(self.back)

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_logstart(self, nodeid: str) -> None:
        path = self.reporter.config.rootpath / nodeid.split("::")[0]
        if path != self.reporter.currentfspath:
            self.began_line()  # pytest begins a line for the file
        self.tell(f"start {nodeid}")

    @pytest.hookimpl(trylast=True)
    def pytest_runtest_logfinish(self) -> None:
        self.tell("end")
        self.done += 1
        try:
            if os.read(self.back, 4096):  # the watcher wrote a line
                self.reporter.currentfspath = None
                self.began_line()
        except BlockingIOError:
            pass
        if self.reporter.currentfspath is not None and self.done < self.total \
                and time.monotonic() - self.line_began >= PERIOD:
            share = f"[{self.done * 100 // self.total:3d}%]"
            writer = getattr(self.reporter, "_tw", None)  # to align it as pytest does
            width = writer.fullwidth - writer.width_of_current_line - 1 if writer else 0
            self.reporter.write(share.rjust(max(width, len(share) + 1)), flush=True)
            # pytest ends the line itself, writing the file's name again, as
            # soon as it writes the next result.
            self.reporter.currentfspath = None
            self.began_line()

    def began_line(self) -> None:
        self.line_began = time.monotonic()
        self.tell("line")


@pytest.hookimpl(trylast=True)
def pytest_configure(config: pytest.Config) -> None:
    reporter = config.pluginmanager.get_plugin("terminalreporter")
    if reporter is not None and config.get_verbosity() == 0:
        config.pluginmanager.register(ProgressLines(reporter), "progress_lines_reporter")
