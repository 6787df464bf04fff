"""The terminals the program runs in: tmux, and kitty on a virtual X display driven by
xdotool; and what the program writes there."""

import os
import re
import subprocess
import time

from .checks import check, figure
from .scenario import child_pid, process_state, read, tty_state, wait_for

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

    def line(self, text):
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

    def line(self, text):
        self.xdotool("type", "--delay", "5", text)
        self.xdotool("key", "Return")


def check_stop_and_fg(shell, pid, before, how, stop):
    """`stop` stops the program in `shell`: the terminal must be as the shell had it
    (`before`) and the shell must read typed commands; fg must resume it, raw again."""
    stop()
    check(wait_for(lambda: process_state(pid) == "T", 5) and tty_state(shell.tty) == before,
          f"{how} stops the program with the terminal as the shell had it")
    typed = shell.scenario.path(f"typed-{how}")
    shell.line(f"echo typed > {typed}")
    check(wait_for(lambda: os.path.exists(typed), 5), "the shell reads typed keys as text again")
    shell.line("fg")
    check(wait_for(lambda: process_state(pid) not in ("T", None) and
                   tty_state(shell.tty) != before, 5), "fg: playing again, raw")


def shell_exit_code(shell):  # of the shell's last command, as $? tells it
    exit_file = shell.scenario.path("exit")
    shell.line(f"echo $? > {exit_file}")
    return read(exit_file).strip() if wait_for(lambda: os.path.exists(exit_file), 5) else None
