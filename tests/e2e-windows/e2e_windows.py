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
from e2e import HELP, Capture, Scenario, SoundServer, check, failures, wait_for  # noqa: E402

# Standard output is a file in text mode here, so every "\n" arrives as "\r\n".
HELP_TEXT = HELP.replace("\n", "\r\n").encode()
STATUS_AND_INDEX = re.compile(rb"lpfnum:(\d+) : type=(\d) : mon : \d+\.\d{6}\rindex = [0-5]\r\n")
HANG_GUARD = 30  # seconds; only a program that never ends takes this long


def windows_path(path):
    return "Z:" + path.replace("/", "\\")


class ConsoleRun:
    """consynth.exe in a Wine console window, its output in a file, its exit code kept."""

    def __init__(self, scenario, program):
        self.scenario = scenario
        self.output_file = scenario.path("out.txt")
        command = f"{windows_path(program)} > {windows_path(self.output_file)}"
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

    def _find_window(self):
        found = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "cmd.exe"],
                               env=self.scenario.env, capture_output=True, text=True)
        windows = found.stdout.split()
        self.window = windows[0] if windows else None
        return self.window is not None

    def xdotool(self, *args):
        subprocess.run(["xdotool", *args], env=self.scenario.env, check=True)

    def press(self, key):
        """Holds `key` for 0.2 s, as typed on the keyboard into the focused window; returns
        when it went down. (Escape may close the window before the key comes up.)"""
        down = time.monotonic()
        self.xdotool("keydown", key)
        time.sleep(0.2)
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
    test_no_server(program)
    test_server_gone(program, "killed")
    test_server_gone(program, "frozen")
    print(f"Windows end-to-end tests took {time.monotonic() - started:.1f} s", flush=True)
    if failures:
        print(f"{len(failures)} FAILED: " + "; ".join(failures), flush=True)
        sys.exit(1)


if __name__ == "__main__":
    main()
