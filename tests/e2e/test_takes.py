"""Takes (--record): they replay bit for bit and hold what was heard, however they end; take
files that exist or cannot be made start nothing."""

import os
import re
import signal
import subprocess
import time

import pytest

from harness import RATE, Take, check, check_heard_take


def hold(run, key, seconds, every):
    """A key held in a terminal without release events: sent again at each auto-repeat."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        run.send(key)
        time.sleep(every)


def test_take_files(scenario, consynth):
    base = scenario.path("take")
    scenario.write("take.events", "mine\n")
    existing = consynth("--record", base + ".wav")
    check(existing.returncode == 2 and b"take.events: cannot create: File exists" in
          existing.stderr and existing.stdout == b"",
          f"take files that exist: exit 2, nothing started ({existing.stderr!r})")
    check(open(base + ".events").read() == "mine\n" and not os.path.exists(base + ".wav"),
          "the file is untouched and no other is left")
    nowhere = consynth("--record", scenario.path("no/such/folder/take"))
    check(nowhere.returncode == 2 and b"take.wav: cannot create: No such file" in
          nowhere.stderr, f"take files that cannot be made: exit 2 ({nowhere.stderr!r})")


def test_take(scenario, capture, play, renderer):
    """A take with A, S, a held D, Left, Up, Down and a held F5, ended by Escape: it replays
    bit for bit and is what the sound server played."""
    take = Take(scenario.path("take"))
    run = play("--record", take.base + ".wav")
    run.check_streaming()
    started = run.started
    time.sleep(0.5)
    for key in ["a", "s"]:
        run.send(key)
        time.sleep(0.4)
    hold(run, "d", 0.6, 0.033)
    time.sleep(0.3)
    for key, pause in [("Left", 0.1), ("a", 0.4), ("Up", 0.3), ("Down", 0.3)]:
        run.send(key)
        time.sleep(pause)
    run.send("f")
    hold(run, "F5", 0.8, 0.04)
    time.sleep(0.8)
    escape = time.monotonic()
    run.quit(" from a take")
    samples = take.check(renderer, "the take")
    events = take.events()
    check(events.startswith("# consynth ") and events.endswith(" end\n"),
          "the events file starts with the program's version and closes with 'end'")
    for line, what in [(" noteon 0 36 0x020400FF\n", "A"), (" noteon 1 52 ", "S"),
                       (" noteon 0 35 ", "A after Left"), (" up\n", "Up"),
                       (" down\n", "Down"), (" f5 on\n", "F5 down"), (" f5 off\n", "F5 up")]:
        check(line in events, f"the events file holds {what}")
    check(events.count(" noteon 2 55 ") > 3, "a held D plays again and again")
    if samples is not None:
        check_heard_take(capture, samples, started, escape, 4)


@pytest.mark.parametrize("how", [signal.SIGTERM, signal.SIGKILL], ids=lambda how: how.name)
def test_take_ended_by_signal(scenario, sound_server, play, renderer, how):
    """A take ended by SIGTERM is complete and marks where the device ran dry while the
    program was stopped; one cut short by SIGKILL opens and holds all but its last moments."""
    take = Take(scenario.path("take"))
    run = play("--record", take.base)
    run.check_streaming(what=f"{how.name}: ")
    playing = time.monotonic()
    for key in ["a", "s", "Up", "d"]:
        run.send(key)
        time.sleep(0.3)
    pid = run.program_pid()
    if how == signal.SIGTERM:
        os.kill(pid, signal.SIGSTOP)  # the device plays all it has, then nothing
        time.sleep(0.3)
        os.kill(pid, signal.SIGCONT)
    time.sleep(1.5)
    sent = time.monotonic()
    os.kill(pid, how)
    code = run.exit_code(5)
    if how == signal.SIGTERM:
        check(code == 128 + how and run.terminal_restored(),
              f"SIGTERM ends the take with status {128 + how}, the terminal restored "
              f"(got {code})")
        take.check(renderer, "the take ended by SIGTERM")
        # The writer's closing touch, which only a take finished in order gets.
        events = take.events()
        check(re.search(r"\n\d+ end\n$", events) is not None,
              "the take was finished: its end line is trimmed")
        check("\n# underrun at frame " in events,
              "the gap while it was stopped is marked in the events file")
    else:
        samples = take.check(renderer, "the take cut short by SIGKILL")
        # The render thread starts before the first status line: frames up to a second before
        # the kill are surely rendered, and must be on the disk.
        due = int((sent - 1.0 - playing) * RATE)
        got = 0 if samples is None else len(samples) // 2
        check(got >= due, f"it holds {got / RATE:.2f} s, at least all up to a second before the "
                          f"kill ({due / RATE:.2f} s)")


def test_take_disk_full(scenario, capture, play, renderer):
    """A take whose files may not grow past 400 kB (RLIMIT_FSIZE, SIGXFSZ ignored): the sound
    plays on without a gap, both files end where the disk did, exit status 1."""
    take = Take(scenario.path("take"))
    run = play("--record", take.base,
               command="sh -c \"trap '' XFSZ; exec prlimit --fsize=400000 {}\"")
    run.check_streaming()
    started = time.monotonic()
    run.send("a")
    end = started + 3.0  # 400 kB hold about 1.1 s
    while time.monotonic() < end:
        time.sleep(0.3)
        run.send("a")
    stop = time.monotonic()
    run.send("Escape")
    code = run.exit_code(5)
    check(code == 1, f"exit status 1 (got {code})")
    check(code is not None and run.terminal_restored(), "the terminal is restored")
    said = run.output().decode(errors="replace")
    check(re.search(r"take\.wav: write failed: File too large: the take stops at \d+\.\d+ s",
                    said) is not None, "the message names the file and what was lost")
    samples = take.check(renderer, "the take cut short by the full disk")
    check(samples is not None and 0.5 * RATE < len(samples) / 2 < 1.2 * RATE,
          "it holds what fitted")
    capture.reach(stop)
    first = capture.onset(capture.frame_at(started - 0.1), 0.0)
    _, gaps, _ = capture.gaps(first or 0, capture.frame_at(stop))
    check(first is not None and gaps == 0, f"the sound played on without a gap ({gaps} gaps)")


def test_take_without_device(scenario, program, emulator, renderer):
    """No sound server: a 3-second take is made all the same, in real time, and replays."""
    take = Take(scenario.path("take"))
    started = time.monotonic()
    process = scenario.spawn([*emulator, program, "--record", take.base], stdin=subprocess.PIPE,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    time.sleep(0.5)
    process.stdin.write(b"as")
    process.stdin.flush()
    time.sleep(1.0)
    process.stdin.write(b"\x1b[Ad")
    process.stdin.flush()
    time.sleep(started + 3.0 - time.monotonic())
    _, err = process.communicate(timeout=10)  # closing stdin quits
    took = time.monotonic() - started
    check(process.returncode == 0 and err == b"",
          f"exit 0, quietly (got {process.returncode}, {err[:200]!r})")
    samples = take.check(renderer, "the take without a device")
    seconds = 0 if samples is None else len(samples) / 2 / RATE
    check(2.5 < seconds <= took, f"it lasts {seconds:.2f} s of the {took:.2f} s the program ran")
