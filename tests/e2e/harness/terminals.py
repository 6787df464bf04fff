"""The terminals the program runs in: tmux, kitty on a virtual X display driven by xdotool,
and for the Windows build a Wine console window; and what the program writes there."""

import os
import re
import subprocess
import time

from .checks import check, figure
from .scenario import child_pid, process_state, read, tty_state, wait_for
from .takes import windows_path

HELP = "Tone : A/S/D/F Key\nPitch: Left/Right Key\nLPF  : Up\nType : Down\nF5   : NO Reverb\n"
HELP_CRLF = HELP.replace("\n", "\r\n").encode()  # as a terminal or a Windows text file has it
STATUS = re.compile(rb"lpfnum:(\d+) : type=(\d) : mon : (\d+\.\d{6})\r")
STATUS_AND_INDEX = re.compile(rb"lpfnum:(\d+) : type=(\d) : mon : \d+\.\d{6}\rindex = [0-5]\r\n")


class TmuxRun:
    """A shell command (the program) in a tmux pane of the scenario's own tmux server; its raw
    output logged and, unless `bare`, its exit code and the tty's state before and after
    kept."""

    def __init__(self, scenario, command, name="e2e", bare=False):
        self.scenario, self.name = scenario, name
        self.log, self.exit_file, self.stty = (scenario.path(f"{name}.{what}")
                                               for what in ("pane", "exit", "stty"))
        self.tmux("new-session", "-d", "-s", name, "-x", "120", "-y", "30", command if bare else
                  f"stty -g > {self.stty}.before; sleep 0.5; {command}; "
                  f"echo $? > {self.exit_file}.tmp; stty -g > {self.stty}.after; "
                  f"mv {self.exit_file}.tmp {self.exit_file}; sleep 600")
        self.tmux("pipe-pane", "-o", "-t", name, f"cat >> {self.log}")
        self.started = time.monotonic() + 0.5

    def tmux(self, *args):
        subprocess.run(["tmux", *args], env=self.scenario.env, check=True)

    def format(self, text):
        return self.scenario.run("tmux", "display-message", "-p", "-t", self.name, text).strip()

    def send(self, *keys):
        """Sends keys (tmux's names, or text after "-l"); returns the moment before. Once it
        returns the keys have reached the terminal: `self.delivered` is that moment."""
        sent = time.monotonic()
        self.tmux("send-keys", "-t", self.name, *keys)
        self.delivered = time.monotonic()
        return sent

    def output(self):
        return read(self.log, "rb", b"")

    def statuses(self):  # (lpfnum, type, level) of every status line so far
        return STATUS.findall(self.output())

    def check_streaming(self, timeout=10, what=""):
        return check(wait_for(lambda: STATUS_AND_INDEX.search(self.output()) is not None,
                              timeout), f"{what}status and index lines stream")

    def exit_code(self, timeout):
        found = wait_for(lambda: os.path.exists(self.exit_file), timeout, 0.01)
        return int(read(self.exit_file)) if found else None

    def terminal_restored(self):
        return read(self.stty + ".before") == read(self.stty + ".after")

    def quit(self, what=""):
        """Escape: the program must exit with code 0 within 2 s, the terminal restored."""
        sent = self.send("Escape")
        code = self.exit_code(5)
        took = time.monotonic() - sent
        check(code == 0 and took < 2.0,
              f"Escape exits with code 0 within 2 s (got {code} in {took * 1000:.0f} ms)")
        figure(f"Escape to exit{what}: {took * 1000:.0f} ms")
        check(code is not None and self.terminal_restored(), "the terminal is restored")

    def program_pid(self):
        return child_pid(self.format("#{pane_pid}"))


class TmuxShell(TmuxRun):
    """An interactive job-control shell in a tmux pane, typed into like a user would."""

    def __init__(self, scenario):
        super().__init__(scenario, "ENV= PS1='$ ' exec dash -i", "shell", bare=True)
        self.tty, self.shell_pid = self.format("#{pane_tty}"), int(self.format("#{pane_pid}"))

    def line(self, text):  # typed on a line of its own: Ctrl-U erases what was there
        self.send("C-u")
        self.send("-l", text)
        self.send("Enter")


def xdotool(scenario, *args):
    return scenario.run("xdotool", *args)


def start_xvfb(scenario, *options):
    """A virtual X display of the scenario's own, which its DISPLAY then names. Xvfb picks a
    free display number."""
    display_read, display_write = os.pipe()
    scenario.spawn(["Xvfb", "-displayfd", str(display_write), "-nolisten", "tcp", *options],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, pass_fds=(display_write,))
    os.close(display_write)
    with os.fdopen(display_read) as f:
        scenario.env.update(DISPLAY=":" + f.readline().strip(), LIBGL_ALWAYS_SOFTWARE="1")
    check(wait_for(lambda: xdotool(scenario, "getmouselocation"), 10),
          "the virtual display is up")


class Kitty:
    """kitty on the scenario's display, focused, running an interactive job-control shell."""

    def __init__(self, scenario):
        self.scenario = scenario
        shell_file = scenario.path("shell")
        scenario.spawn(["kitty", "--config", "NONE", "-o", "linux_display_server=x11",
                        "--title", "consynth-e2e", "sh", "-c",
                        f"echo $$ $(tty) > {shell_file}.tmp; mv {shell_file}.tmp {shell_file}; "
                        "ENV= PS1='$ ' exec dash -i"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        window = []
        check(wait_for(lambda: window.append(self.xdotool("search", "--name", "consynth-e2e"))
                       or window[-1].split(), 30, 0.2), "the kitty window opens")
        self.xdotool("windowfocus", "--sync", window[-1].split()[0])
        wait_for(lambda: os.path.exists(shell_file), 10)
        shell, self.tty = read(shell_file).split()
        self.shell_pid = int(shell)

    def xdotool(self, *args):
        return xdotool(self.scenario, *args)

    def line(self, text):  # typed on a line of its own: Ctrl-U erases what was there
        self.xdotool("key", "ctrl+u")
        self.xdotool("type", "--delay", "5", text)
        self.xdotool("key", "Return")


def keep_status(path):  # shell commands: the last one's exit status into `path`, whole
    return f"echo $? > {path}.tmp; mv {path}.tmp {path}"


def check_stop_and_fg(shell, pid, before, how, stop):
    """`stop` stops the program in `shell`: the terminal must be as the shell had it
    (`before`) and the shell must read typed commands; fg must resume it, raw again."""
    stop()
    check(wait_for(lambda: process_state(pid) == "T", 5) and tty_state(shell.tty) == before,
          f"{how} stops the program with the terminal as the shell had it")
    typed = shell.scenario.path(f"typed-{how}")

    # Keys typed before kitty has read the program's last output still come in its keyboard
    # protocol, which the shell takes for text it cannot run: type the line again until the
    # command runs (its output, not just its file, shows that it did).
    def typed_as_text():
        shell.line(f"echo typed > {typed}")
        return wait_for(lambda: read(typed) == "typed\n", 1)
    check(wait_for(typed_as_text, 5, 0), "the shell reads typed keys as text again")
    shell.line("fg")
    check(wait_for(lambda: process_state(pid) not in ("T", None) and
                   tty_state(shell.tty) != before, 5), "fg: playing again, raw")


HANG_GUARD = 30  # seconds; only a Wine program that never ends takes this long


class ConsoleRun:
    """consynth.exe in a Wine console window on the caller's X display (DISPLAY), started
    through cmd.exe so that its output goes to a file; its exit code kept. Keys are sent to
    the window with xdotool and held for 0.2 s, longer than one 32 ms poll."""

    def __init__(self, scenario, program, args=""):
        self.scenario = scenario
        self.output_file = scenario.path("out.txt")
        # The program waits for the word to start (the file `go`): first the run lets go of
        # any key Wine still holds down from the last one (see press), before the program
        # can look at the keys.
        go_file = scenario.path("go")
        scenario.write("run.bat", f"@echo off\r\n:wait\r\nif not exist {windows_path(go_file)} "
                       "(ping -n 1 127.0.0.1 >nul & goto wait)\r\n"
                       f"{windows_path(program)} {args} > {windows_path(self.output_file)}\r\n")
        # Now and then a busy Wine starts the console without ever showing its window; that
        # is the harness's trouble, not the program's, so it gets one more launch.
        for attempt in (1, 2):
            self.started = time.monotonic()
            self.process = scenario.spawn(["wineconsole", "cmd", "/c",
                                           windows_path(scenario.path("run.bat"))],
                                          stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            wait_for(lambda: self._find_window() or self.process.poll() is not None,
                     HANG_GUARD, 0.1)
            if self.window is not None:
                break
            figure(f"no console window on launch {attempt} "
                   f"(wineconsole exit code {self.process.poll()})")
            self.process.kill()
            self.process.wait()
        else:
            raise RuntimeError("no console window appeared")
        # There is no window manager to activate it, but X focus is all Wine needs.
        for args in [("windowfocus", "--sync", self.window), ("keydown", "Escape"),
                     ("keyup", "Escape")]:
            xdotool(scenario, *args)
        open(go_file, "w").close()

    def _find_window(self):
        windows = xdotool(self.scenario, "search", "--onlyvisible", "--name", "cmd.exe").split()
        self.window = windows[0] if windows else None
        return self.window is not None

    def press(self, key, seconds=0.2):
        """Holds `key` for `seconds`, as typed on the keyboard into the focused window; returns
        when it went down. Escape is let go after 80 ms, longer than two polls: Wine hears of a
        key coming up only while its window is there, so one may stay down after the program
        has gone; each run lets go of it before its program starts."""
        if key == "Escape":
            seconds = min(seconds, 0.08)
        down = time.monotonic()
        xdotool(self.scenario, "keydown", key)
        time.sleep(seconds)
        xdotool(self.scenario, "keyup", key)
        return down

    def check_streaming(self, sound_server):
        check(wait_for(sound_server.streams, HANG_GUARD, 0.05),
              "the program opens a stream on the sound server")
        figure(f"stream open {time.monotonic() - self.started:.2f} s after launch")

    def quit(self):
        """Escape: the program must end with exit code 0. Returns when Escape went down."""
        escape = self.press("Escape")
        try:
            code = self.process.wait(timeout=HANG_GUARD)
        except subprocess.TimeoutExpired:
            code = None
        figure(f"exited {time.monotonic() - escape:.2f} s after Escape")
        check(code == 0, f"Escape ends the program with exit code 0 (got {code})")
        return escape

    def output(self):
        return read(self.output_file, "rb", b"")
