"""Checks that let a scenario go on when they fail, and the figures it measures, printed as
they come (seen with -s, or with a failed test's output). The hooks (conftest.py takes them)
fail a test at its end if any of its checks failed, naming them all, and list the figures."""

import os

import pytest

failed = []  # the checks failed since the last report took them
figures = []  # (test, line)


def check(condition, what):
    print(("  ok    " if condition else "  FAIL  ") + what, flush=True)
    if not condition:
        failed.append(what)
    return bool(condition)


def figure(line):  # a measured figure: a latency, a time to exit
    print("  " + line, flush=True)
    figures.append((os.environ.get("PYTEST_CURRENT_TEST", "").rsplit(" (", 1)[0], line))


@pytest.hookimpl(hookwrapper=True)
def pytest_runtest_makereport(item, call):
    report = (yield).get_result()
    if (call.when == "setup" and report.passed) or not failed:
        return  # checks made while setting up count with the test's own
    text = f"{len(failed)} check(s) failed:\n  " + "\n  ".join(failed)
    failed.clear()
    if report.passed:
        report.outcome, report.longrepr = "failed", text
    else:
        report.sections.append(("failed checks", text))


def pytest_terminal_summary(terminalreporter):
    for i, (test, line) in enumerate(figures):
        if i == 0:
            terminalreporter.section("measured figures")
        if i == 0 or figures[i - 1][0] != test:
            terminalreporter.write_line(test)
        terminalreporter.write_line("  " + line)
