"""A scenario's private directory and environment, and the processes it starts."""

import os
import shutil
import signal
import subprocess
import tempfile
import time
from contextlib import suppress


def wait_for(predicate, timeout, step=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


def read(path, mode="r", missing=None):
    try:
        with open(path, mode) as f:
            return f.read()
    except OSError:
        return missing


def read_when_there(path, timeout=5):
    return read(path).strip() if wait_for(lambda: os.path.exists(path), timeout) else None


class Scenario:
    """A private directory and environment: runtime dir, home, no sound-server autospawn.
    Every process started in it carries CONSYNTH_E2E_SCENARIO in its environment, so that
    close() ends whatever is left however it was started (tmux panes, kitty's shell, Wine's
    processes), and then removes the directory."""

    def __init__(self, name):
        self.dir = tempfile.mkdtemp(prefix=f"consynth-e2e-{name[:24]}-")
        os.makedirs(self.path("run"), mode=0o700)
        os.makedirs(self.path("home"))
        self.write("client.conf", "autospawn = no\n")
        self.write("daemon.conf", "default-sample-format = float32le\ndefault-sample-rate = "
                   "44100\ndefault-sample-channels = 2\nexit-idle-time = -1\n")
        # ALSA's default device is the PulseAudio plugin, server or not.
        self.write("home/.asoundrc", "pcm.!default { type pulse }\nctl.!default { type pulse }\n")
        self.env = dict(os.environ, XDG_RUNTIME_DIR=self.path("run"), HOME=self.path("home"),
                        PULSE_CLIENTCONFIG=self.path("client.conf"),
                        PULSE_CONFIG=self.path("daemon.conf"), TMUX_TMPDIR=self.dir,
                        TERM="xterm-256color", CONSYNTH_E2E_SCENARIO=self.dir,
                        # A JACK server name of the scenario's own: the program reaches no
                        # server but the one a scenario starts, never one outside the tests.
                        JACK_DEFAULT_SERVER=os.path.basename(self.dir))
        for name in ("TMUX", "PULSE_SERVER", "PYTEST_CURRENT_TEST"):
            self.env.pop(name, None)
        self.processes = []

    def path(self, name):
        return os.path.join(self.dir, name)

    def write(self, name, text):
        with open(self.path(name), "w") as f:
            f.write(text)
        return self.path(name)

    def spawn(self, args, **kwargs):
        self.processes.append(subprocess.Popen(args, env=self.env, **kwargs))
        return self.processes[-1]

    def run(self, *args):  # to its end: its output as text
        return subprocess.run(args, env=self.env, capture_output=True, text=True).stdout

    def strays(self):
        mine = f"CONSYNTH_E2E_SCENARIO={self.dir}".encode()
        return [int(pid) for pid in os.listdir("/proc") if pid.isdigit() and
                mine in read(f"/proc/{pid}/environ", "rb", b"").split(b"\0") and
                process_state(int(pid)) is not None]

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.kill()
            process.wait()
        subprocess.run(["tmux", "kill-server"], env=self.env, stderr=subprocess.DEVNULL)
        for pid in self.strays():
            with suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
        wait_for(lambda: not self.strays(), 5)
        shutil.rmtree(self.dir, ignore_errors=True)


def stat(pid):  # the fields after the command name (the state first), or None
    text = read(f"/proc/{pid}/stat")
    return text.rsplit(")", 1)[1].split() if text else None


def cpu_seconds(pid):
    fields = stat(pid)
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def process_state(pid):
    """The state letter of a process ('T' when stopped), or None once it is gone."""
    fields = stat(pid)
    return None if not fields or fields[0] in ("Z", "X") else fields[0]


def child_pid(pid):
    children = subprocess.run(["pgrep", "-P", str(pid)], capture_output=True,
                              text=True).stdout.split()
    return int(children[0]) if children else None


def tty_state(tty):
    return subprocess.run(["stty", "-g", "-F", tty], capture_output=True, text=True).stdout
