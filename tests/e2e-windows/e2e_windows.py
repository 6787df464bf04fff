#!/usr/bin/env python3
"""End-to-end tests of consynth.exe under Wine: console text, sound, keys and exit.

The program runs in a Wine console window on a virtual X display (DISPLAY, set by the
caller), started through cmd.exe so that its standard output goes to a file. Keys are sent
to that window with xdotool and held for 0.2 s, longer than one 32 ms poll. Sound goes
through Wine's PulseAudio driver to a private headless server with a float32 null sink,
whose monitor is recorded. Usage: e2e_windows.py path/to/consynth.exe
"""

import os
import re
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
from e2e import (HELP, RATE, Capture, Scenario, SoundServer, check,  # noqa: E402
                 check_heard_take, failures, read_wav, wait_for)

# Standard output is a file in text mode here, so every "\n" arrives as "\r\n".
HELP_TEXT = HELP.replace("\n", "\r\n").encode()
STATUS_AND_INDEX = re.compile(rb"lpfnum:(\d+) : type=(\d) : mon : \d+\.\d{6}\rindex = [0-5]\r\n")
HANG_GUARD = 30  # seconds; only a program that never ends takes this long


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class ConsoleRun:
    """consynth.exe in a Wine console window, its output in a file, its exit code kept."""

    def __init__(self, scenario, program, args=""):
        self.scenario = scenario
        self.output_file = scenario.path("out.txt")
        # The program waits for the word to start (the file `go`): first the run lets go of
        # any key Wine still holds down from the last one (see press), before the program
        # can look at the keys.
        self.go_file = scenario.path("go")
        script = scenario.path("run.bat")
        with open(script, "w", newline="\r\n") as f:
            f.write(f"@echo off\n:wait\nif not exist {windows_path(self.go_file)} "
                    "(ping -n 1 127.0.0.1 >nul & goto wait)\n"
                    f"{windows_path(program)} {args} > {windows_path(self.output_file)}\n")
        command = windows_path(script)
        self.window = None
        # Now and then a busy Wine starts the console without ever showing its window;
        # that is the harness's trouble, not the program's, so it gets one more launch.
        for attempt in (1, 2):
            self.started = time.monotonic()
            self.process = scenario.spawn(["wineconsole", "cmd", "/c", command],
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            wait_for(lambda: self._find_window() or self.process.poll() is not None,
                     HANG_GUARD, 0.1)
            if self.window is not None:
                break
            print(f"  no console window on launch {attempt} "
                  f"(wineconsole exit code {self.process.poll()})", flush=True)
            self.process.kill()
            self.process.wait()
        if self.window is None:
            raise RuntimeError("no console window appeared")
        # There is no window manager to activate it, but X focus is all Wine needs.
        self.xdotool("windowfocus", "--sync", self.window)
        self.xdotool("keydown", "Escape")
        self.xdotool("keyup", "Escape")
        open(self.go_file, "w").close()

    def _find_window(self):
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "cmd.exe"],
                               env=self.scenario.env, capture_output=True, text=True)
        windows = found.stdout.split()
        self.window = windows[0] if windows else None
        return self.window is not None

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self.scenario.env, check=True)

    def press(self, key, seconds=0.2):
        """Holds `key` for `seconds`, as typed on the keyboard into the focused window; returns
        when it went down. Escape is let go after 80 ms, longer than two polls: Wine hears of a
        key coming up only while its window is there, so one may stay down after the program
        has gone; each run lets go of it before its program starts."""
        if key == "Escape":
            seconds = min(seconds, 0.08)
        down = time.monotonic()
        self.xdotool("keydown", key)
        time.sleep(seconds)
        self.xdotool("keyup", key)
        return down

    def exit_code(self):
        try:
            return self.process.wait(timeout=HANG_GUARD)
        except subprocess.TimeoutExpired:
            return None

    def output(self):
        try:
            with open(self.output_file, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""


def status_settings(text):
    """The (lpfnum, type) of every status line, if all but the help text are well formed.
    The render thread already runs when the help is printed, so the help may come after
    its first lines, or between a status line and its index line, but always whole."""
    rest = text.replace(HELP_TEXT, b"", 1)
    lines = list(STATUS_AND_INDEX.finditer(rest))
    if b"".join(m.group(0) for m in lines) != rest:
        return None
    return [(int(m.group(1)), int(m.group(2))) for m in lines]


def stream_started(scenario):
    listed = subprocess.run(["pactl", "list", "short", "sink-inputs"], env=scenario.env,
                            capture_output=True, text=True).stdout
    return listed.strip() != ""


def changes(settings):
    """The settings in the order they appear, each run of equal ones counted once."""
    return [s for i, s in enumerate(settings) if i == 0 or settings[i - 1] != s]


def test_playing(program):
    print("Wine console: help, sound after A, Up and Down, Escape", flush=True)
    scenario = Scenario("wine")
    try:
        SoundServer(scenario)
        capture = Capture(scenario)
        run = ConsoleRun(scenario, program)
        check(wait_for(lambda: stream_started(scenario), HANG_GUARD, 0.05),
              "the program opens a stream on the sound server")
        print(f"  stream open {time.monotonic() - run.started:.2f} s after launch", flush=True)
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
            print(f"  sound {1000 * (onset - played_from) / 44100:.0f} ms after A went down",
                  flush=True)

        run.press("Up")
        time.sleep(0.3)
        run.press("Down")
        time.sleep(0.3)
        run.press("Escape")
        code = run.exit_code()
        check(code == 0, f"Escape ends the program with exit code 0 (got {code})")

        text = run.output()
        check(text.count(HELP_TEXT) == 1, f"the help text, once (got {text[:200]!r})")
        settings = status_settings(text)
        check(settings is not None, "after it, only whole status and index lines")
        seen = changes(settings or [])
        check(seen == [(4, 0), (5, 0), (5, 1)],
              f"status line: lpfnum 4 type 0, Up -> lpfnum 5, Down -> type 1 (got {seen})")
    finally:
        scenario.close()


def check_take(program, base, what):
    """BASE.wav must be what consynth-render.exe makes of BASE.events, bit for bit."""
    take = read_wav(base + ".wav")
    check(take is not None, f"{what}: the WAV file opens")
    renderer = os.path.join(os.path.dirname(os.path.dirname(program)), "tools",
                            "consynth-render.exe")
    replay = base + ".replay.wav"
    rendered = subprocess.run(["wine", renderer, "--events", windows_path(base + ".events"),
                               windows_path(replay)], capture_output=True, text=True,
                              timeout=HANG_GUARD)
    check(rendered.returncode == 0, f"{what}: the events file replays (exit code "
          f"{rendered.returncode}: {rendered.stderr[:200]})")
    again = read_wav(replay) if rendered.returncode == 0 else None
    if take is None or again is None:
        return take
    differing = sum(1 for a, b in zip(take, again) if a != b) if len(take) == len(again) else -1
    check(differing == 0, f"{what}: {len(take) // 2} frames ({len(take) / 2 / RATE:.2f} s), the "
          f"offline render of its events bit for bit ({differing} samples differ)")
    return take


def test_take(program):
    print("Wine console: a take with A, S, a held D, Left, Up, Down and a held F5, ended by "
          "Escape: it replays bit for bit and is what the sound server played", flush=True)
    scenario = Scenario("wine-take")
    try:
        SoundServer(scenario)
        capture = Capture(scenario)
        base = scenario.path("take")
        run = ConsoleRun(scenario, program, f"--record {windows_path(base)}.wav")
        check(wait_for(lambda: stream_started(scenario), HANG_GUARD, 0.05),
              "the program opens a stream on the sound server")
        started = time.monotonic()
        time.sleep(0.5)
        for key in ["a", "s"]:
            run.press(key)
            time.sleep(0.3)
        run.press("d", 0.6)
        for key in ["Left", "a", "Up", "Down", "f"]:
            run.press(key)
            time.sleep(0.2)
        run.press("F5", 0.8)
        time.sleep(0.8)
        escape = run.press("Escape")
        code = run.exit_code()
        check(code == 0, f"Escape ends the take with exit code 0 (got {code})")
        take = check_take(program, base, "the take")
        events = open(base + ".events").read()
        for line, what in [(" noteon 0 36 ", "A"), (" noteon 1 52 ", "S"), (" up\n", "Up"),
                           (" down\n", "Down"), (" f5 on\n", "F5 down"),
                           (" f5 off\n", "F5 up")]:
            check(line in events, f"the events file holds {what}")
        # Left held for a few polls shifts once a poll.
        check(re.search(r" noteon 0 (3[0-5]|[12]\d) ", events) is not None,
              "the events file holds A after Left, lower")
        check(events.count(" noteon 2 55 ") > 3, "a held D plays again and again")
        if take is None:
            return
        check_heard_take(capture, take, started, escape, 3)
    finally:
        scenario.close()


def test_take_without_device(program):
    print("Wine console, no sound server: a take is made all the same, in real time",
          flush=True)
    scenario = Scenario("wine-take-nodevice")
    try:
        base = scenario.path("take")
        run = ConsoleRun(scenario, program, f"--record {windows_path(base)}")
        streams = wait_for(lambda: status_settings(run.output()), HANG_GUARD, 0.05)
        streaming = time.monotonic()
        check(streams, f"status lines stream, paced by the clock (after "
              f"{streaming - run.started:.2f} s: {run.output()[:120]!r})")
        run.press("a")
        time.sleep(2.0)
        escape = run.press("Escape")
        code = run.exit_code()
        check(code == 0, f"exit code 0 (got {code})")
        take = check_take(program, base, "the take without a device")
        seconds = 0 if take is None else len(take) / 2 / RATE
        # Between the time it surely played and the time since it was launched.
        check(escape - streaming < seconds < time.monotonic() - run.started,
              f"it lasts {seconds:.2f} s, as long as it was played")
    finally:
        scenario.close()


def test_no_server(program):
    print("Wine console, no sound server: silent, help only, exit 0", flush=True)
    scenario = Scenario("wine-noserver")
    try:
        run = ConsoleRun(scenario, program)
        time.sleep(1.0)
        run.press("a")
        time.sleep(0.3)
        escape = run.press("Escape")
        code = run.exit_code()
        print(f"  ran {escape - run.started:.2f} s until Escape, "
              f"then exited in {time.monotonic() - escape:.2f} s", flush=True)
        check(code == 0, f"exit code 0 (got {code})")
        text = run.output()
        check(text == HELP_TEXT, f"only the help text, no status line (got {text[:200]!r})")
    finally:
        scenario.close()


def test_server_gone(program, how):
    print(f"Wine console, sound server {how} while playing: Escape still ends it", flush=True)
    scenario = Scenario("wine-" + how)
    try:
        server = SoundServer(scenario)
        run = ConsoleRun(scenario, program)
        check(wait_for(lambda: stream_started(scenario), HANG_GUARD, 0.05),
              "the program opens a stream on the sound server")
        run.press("a")
        if how == "killed":
            server.kill()
        else:
            server.freeze()
        time.sleep(0.5)
        escape = run.press("Escape")
        code = run.exit_code()
        print(f"  exited {time.monotonic() - escape:.2f} s after Escape", flush=True)
        check(code == 0, f"exit code 0 (got {code})")
        text = run.output()
        check(text.count(HELP_TEXT) == 1, f"the help text, once (got {text[:200]!r})")
    finally:
        scenario.close()


def main():
    program = os.path.abspath(sys.argv[1])
    if not os.environ.get("DISPLAY"):
        sys.exit("e2e_windows.py needs an X display (DISPLAY) for the console window")
    started = time.monotonic()
    test_playing(program)
    test_take(program)
    test_no_server(program)
    test_take_without_device(program)
    test_server_gone(program, "killed")
    test_server_gone(program, "frozen")
    print(f"Windows end-to-end tests took {time.monotonic() - started:.1f} s", flush=True)
    if failures:
        print(f"{len(failures)} FAILED: " + "; ".join(failures), flush=True)
        sys.exit(1)


if __name__ == "__main__":
    main()
