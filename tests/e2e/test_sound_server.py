"""A sound server that goes away, freezes or is starved: the program plays on in real time
and quits promptly; and, with every core loaded for long, not one gap in the sound."""

import os
import signal
import subprocess
import time

import pytest

from harness import (HELP, RATE, Capture, SoundServer, Take, check, check_heard_take,
                     cpu_seconds, figure, wait_for)


@pytest.mark.parametrize("how", ["killed", "frozen"])
def test_server_gone(scenario, sound_server, play, how):
    """Sound server killed or frozen mid-play: the stream goes on in real time, Escape exits
    promptly; once a killed server is back, sound resumes."""
    run = play()
    run.check_streaming()
    run.send("a")
    time.sleep(0.5)
    sound_server.kill() if how == "killed" else sound_server.freeze()
    time.sleep(0.7)  # a frozen server is found out after 0.4 s without a frame played
    pid = run.program_pid()
    if pid is not None:
        before = cpu_seconds(pid)
        lines = len(run.statuses())
        time.sleep(1.0)
        used = cpu_seconds(pid) - before
        lines = len(run.statuses()) - lines
        check(used < 0.2, f"no spinning once the device is gone ({used:.2f} s CPU in 1 s)")
        check(lines > 40, f"the status lines go on, paced by the clock ({lines} in 1 s)")
    if how == "killed":
        restarted = time.monotonic()
        SoundServer(scenario)
        capture = Capture(scenario)
        # The note played before the kill still sounds: its tail never returns to 0.0.
        if check(wait_for(lambda: capture.onset(0, 0.0) is not None, 5),
                 "sound resumes once the server is back"):
            figure(f"sound back {capture.time_of(capture.onset(0, 0.0)) - restarted:.2f} s "
                   "after the server was restarted")
    run.quit(f" with the server {how}")


def test_frozen_at_start(scenario, sound_server, play):
    """Sound server frozen before start: help at once, silent, Escape exits."""
    sound_server.freeze()
    run = play()
    shown = wait_for(lambda: HELP.split("\n")[0].encode() in run.output(), 10, 0.01)
    took = time.monotonic() - run.started
    check(shown and took < 2.0, f"the help shows within 2 s of start ({took:.2f} s)")
    time.sleep(0.3)
    run.quit(" with the server frozen from the start")


def test_underrun(capture, play):
    """Program stalled long enough for the device to run dry: it plays on."""
    run = play()
    run.check_streaming()
    pid = run.program_pid()
    for _ in range(2):
        os.kill(pid, signal.SIGSTOP)
        time.sleep(0.3)
        os.kill(pid, signal.SIGCONT)
        time.sleep(0.3)
    lines = len(run.statuses())
    sent = run.send("a")
    time.sleep(1.0)
    check(len(run.statuses()) > lines + 40, "the stream goes on")
    check(capture.onset(capture.frame_at(sent), 1e-4) is not None, "sound after A")
    run.send("Escape")
    check(run.exit_code(5) == 0, "Escape exits with code 0")


def pytest_generate_tests(metafunc):
    if "soak_period" in metafunc.fixturenames:
        periods = metafunc.config.getoption("soak_period")
        metafunc.parametrize("soak_period", periods, ids=[f"period-{p}" for p in periods])


@pytest.mark.soak
def test_soak(scenario, play, renderer, pytestconfig, soak_period):
    """The chord every 2 s, stress-ng on every core, the sound server real-time: no gap by
    default; with buffers shorter than the default, which a stall of this shared machine
    longer than their ring can run dry, a take that replays bit for bit and is what the
    server played, nothing lost around the gaps it marks."""
    minutes, cores = pytestconfig.getoption("soak"), os.cpu_count()
    SoundServer(scenario, realtime=True)
    capture = Capture(scenario)
    args = ["--period", str(soak_period)] if soak_period != 512 else []
    take = Take(scenario.path("soak")) if args else None
    run = play(*args, *(["--record", take.base] if take else []))
    run.check_streaming()
    scenario.spawn(["stress-ng", "--cpu", str(cores), "--quiet"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    start = capture.frames()
    end = time.monotonic() + 60 * minutes
    while time.monotonic() < end:
        run.send("a", "s", "d", "f")
        time.sleep(2.0)
    stop = capture.frame_at(time.monotonic())
    gap_frames, gaps, longest = capture.gaps(start, stop)
    name = " ".join(args) or "default"
    figure(f"{name}: {(stop - start) / RATE / 60:.1f} min of sound under stress-ng --cpu "
           f"{cores}: {gaps} gaps, {gap_frames} frames in all, the longest "
           f"{1000 * longest / RATE:.1f} ms")
    check(stop - start > 50 * RATE * minutes, "the sound was recorded throughout")
    if take is None:
        check(gaps == 0, f"no gap in the sound ({gaps} gaps)")
    escape = run.send("Escape")
    check(run.exit_code(5) == 0, "Escape exits with code 0")
    if take is not None:
        samples = take.check(renderer, f"the take at {name}")
        if samples is not None:
            check_heard_take(capture, samples, run.started, escape, 50 * minutes,
                             take.underruns())
