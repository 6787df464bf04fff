"""consynth.exe under Wine, in a console window (harness.ConsoleRun): console text, sound,
keys, takes and exit. Sound goes through Wine's PulseAudio driver to the scenario's sound
server, as on Linux."""

import os
import re
import subprocess
import time

import pytest

from harness import (HANG_GUARD, HELP_CRLF, RATE, STATUS_AND_INDEX, Capture, ConsoleRun,
                     SoundServer, Take, check, check_heard_take, figure, wait_for, windows_path)
from harness.terminals import xdotool

pytestmark = [pytest.mark.wine, pytest.mark.xvfb]


def status_settings(text):
    """The (lpfnum, type) of every status line, if all but the help text are well formed
    (each "\n" arrives as "\r\n" in a file in text mode). The render thread already runs when
    the help is printed, so it may come after the first lines, or inside one, but whole."""
    rest = text.replace(HELP_CRLF, b"", 1)
    lines = list(STATUS_AND_INDEX.finditer(rest))
    if b"".join(m.group(0) for m in lines) != rest:
        return None
    return [(int(m.group(1)), int(m.group(2))) for m in lines]


def test_playing(scenario, sound_server, capture, program):
    """Help, silence, sound after A, Up and Down, Escape."""
    run = ConsoleRun(scenario, program)
    run.check_streaming(sound_server)
    time.sleep(0.5)
    quiet_from = capture.frames()
    time.sleep(0.5)
    silent = capture.level(quiet_from, capture.frames())
    check(silent == 0.0, f"silence before any key (level {silent})")

    played_from = capture.frame_at(run.press("a"))
    time.sleep(0.8)
    loud = capture.level(played_from, capture.frames())
    check(loud > 0.01, f"sound after A (level {loud:.4f})")
    onset = capture.onset(played_from, 1e-4)
    if onset is not None:
        figure(f"sound {1000 * (onset - played_from) / RATE:.0f} ms after A went down")

    for key in ["Up", "Down"]:
        run.press(key)
        time.sleep(0.3)
    run.quit()
    text = run.output()
    check(text.count(HELP_CRLF) == 1, f"the help text, once (got {text[:200]!r})")
    settings = status_settings(text)
    check(settings is not None, "after it, only whole status and index lines")
    seen = [s for i, s in enumerate(settings or []) if i == 0 or settings[i - 1] != s]
    check(seen == [(4, 0), (5, 0), (5, 1)],
          f"status line: lpfnum 4 type 0, Up -> lpfnum 5, Down -> type 1 (got {seen})")


@pytest.mark.parametrize("period", ["", "--period 128"], ids=["default", "period-128"])
def test_take(scenario, sound_server, capture, program, renderer, period):
    """A take with A, S, a held D, Left, Up, Down and a held F5, ended by Escape: it replays
    bit for bit and is what the sound server played, nothing lost, with the default buffers
    and with 128-frame ones asked for (which the system's 10 ms mixing makes 256). Wine's
    threads are not real-time, so now and then its audio runs dry for a few milliseconds
    (about one run in three here, by default as at 128), below wave-out, where the program
    cannot see it to mark it in the take: such a gap is counted, not failed."""
    take = Take(scenario.path("take"))
    run = ConsoleRun(scenario, program, f"{period} --record {windows_path(take.base)}.wav")
    run.check_streaming(sound_server)
    started = time.monotonic()
    time.sleep(0.5)
    pressed = capture.frame_at(run.press("a"))
    time.sleep(0.3)
    onset = capture.onset(pressed, 1e-4)
    if onset is not None:
        figure(f"{period or 'default'}: sound {1000 * (onset - pressed) / RATE:.0f} ms after A "
               "went down")
    run.press("s")
    time.sleep(0.3)
    run.press("d", 0.6)
    for key in ["Left", "a", "Up", "Down", "f"]:
        run.press(key)
        time.sleep(0.2)
    run.press("F5", 0.8)
    time.sleep(0.8)
    escape = run.quit()
    samples = take.check(renderer, "the take")
    events = take.events()
    for line, what in [(" noteon 0 36 ", "A"), (" noteon 1 52 ", "S"), (" up\n", "Up"),
                       (" down\n", "Down"), (" f5 on\n", "F5 down"), (" f5 off\n", "F5 up")]:
        check(line in events, f"the events file holds {what}")
    # Left held for a few polls shifts once a poll.
    check(re.search(r" noteon 0 (3[0-5]|[12]\d) ", events) is not None,
          "the events file holds A after Left, lower")
    check(events.count(" noteon 2 55 ") > 3, "a held D plays again and again")
    if samples is not None:
        check_heard_take(capture, samples, started, escape, 3, unmarked=True)
        if onset is not None:
            _, gaps, longest = capture.gaps(onset, capture.frame_at(escape))
            figure(f"{period or 'default'}: {gaps} gaps in the sound, the longest "
                   f"{1000 * longest / RATE:.1f} ms")


def test_no_server(scenario, program):
    """No sound server: silent, help only, exit 0."""
    run = ConsoleRun(scenario, program)
    time.sleep(1.0)
    run.press("a")
    time.sleep(0.3)
    figure(f"ran {run.quit() - run.started:.2f} s until Escape")
    text = run.output()
    check(text == HELP_CRLF, f"only the help text, no status line (got {text[:200]!r})")


def test_take_without_device(scenario, program, renderer):
    """No sound server: a take is made all the same, in real time."""
    take = Take(scenario.path("take"))
    run = ConsoleRun(scenario, program, f"--record {windows_path(take.base)}")
    streams = wait_for(lambda: status_settings(run.output()), HANG_GUARD, 0.05)
    streaming = time.monotonic()
    check(streams, f"status lines stream, paced by the clock (after "
          f"{streaming - run.started:.2f} s: {run.output()[:120]!r})")
    run.press("a")
    time.sleep(2.0)
    escape = run.quit()
    samples = take.check(renderer, "the take without a device")
    seconds = 0 if samples is None else len(samples) / 2 / RATE
    # Between the time it surely played and the time since it was launched.
    check(escape - streaming < seconds < time.monotonic() - run.started,
          f"it lasts {seconds:.2f} s, as long as it was played")


@pytest.mark.parametrize("how", ["killed", "frozen"])
def test_server_gone(scenario, sound_server, program, how):
    """Sound server killed or frozen while playing: Escape still ends it."""
    run = ConsoleRun(scenario, program)
    run.check_streaming(sound_server)
    run.press("a")
    sound_server.kill() if how == "killed" else sound_server.freeze()
    time.sleep(0.5)
    run.quit()
    text = run.output()
    check(text.count(HELP_CRLF) == 1, f"the help text, once (got {text[:200]!r})")


def test_devices(scenario, program):
    """--list-devices numbers the wave-out devices (Wine's PulseAudio driver: the default,
    then the sinks by their descriptions, in an order that changes from one run to the next,
    so the second sink is named); --device 0 plays, and --device second on that sink alone; a
    number past them, or a name part two devices share, stops it at start with exit code 2;
    --headless reads no keys, prints nothing and ends on Ctrl-C with exit code 0."""
    sound_server = SoundServer(scenario, sinks=("e2e", "second"))
    capture = Capture(scenario)

    def wine(*args):
        return subprocess.run(["wine", program, *args], env=scenario.env, capture_output=True,
                              timeout=HANG_GUARD)
    listed = wine("--list-devices")
    lines = listed.stdout.decode(errors="replace").splitlines()
    numbers = [line.split()[0] for line in lines if line.strip()]
    check(listed.returncode == 0 and len(numbers) >= 3 and
          numbers == [str(i) for i in range(len(numbers))] and
          any(line.endswith("second-sink") for line in lines),
          f"--list-devices: the devices by number, with their names ({lines})")
    for args, message in [(["--device", str(len(numbers))], b"no output device numbered"),
                          (["--device", "sink"], b"is in the names of 2 output devices")]:
        wrong = wine(*args)
        check(wrong.returncode == 2 and message in wrong.stderr,
              f"{' '.join(args)}: exit code 2 and why ({wrong.stderr[:200]!r})")

    second = Capture(scenario, "second")
    for device, heard, silent in [("0", capture, second), ("second", second, capture)]:
        run = ConsoleRun(scenario, program, f"--device {device}")
        run.check_streaming(sound_server)
        pressed = run.press("a")
        time.sleep(0.8)
        loud = heard.level(heard.frame_at(pressed), heard.frames())
        quiet = silent.level(silent.frame_at(pressed), silent.frames())
        check(loud > 0.01 and quiet == 0.0,
              f"--device {device} plays on its sink alone (levels {loud:.4f}, {quiet})")
        run.quit()
        os.remove(scenario.path("go"))  # the next run waits for its own word to start

    run = ConsoleRun(scenario, program, "--headless --device 0")
    run.check_streaming(sound_server)
    pressed = capture.frame_at(run.press("a"))
    time.sleep(0.8)
    check(capture.level(pressed, capture.frames()) == 0.0, "--headless: keys play nothing")
    xdotool(scenario, "key", "ctrl+c")
    try:
        code = run.process.wait(timeout=HANG_GUARD)
    except subprocess.TimeoutExpired:
        code = None
    check(code == 0, f"--headless: Ctrl-C ends it with exit code 0 (got {code})")
    check(run.output() == b"", f"--headless: nothing printed ({run.output()[:200]!r})")
