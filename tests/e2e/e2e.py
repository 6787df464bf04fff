#!/usr/bin/env python3
"""End-to-end tests of consynth: sound, keys, console text, exit and terminal restoration.

Each scenario runs in a private runtime directory with its own PulseAudio server, whose only
sink is a float32 null sink; parec records that sink's monitor with arrival timestamps, so
a key sent at a known moment can be matched with the moment its sound appears.
"""

import array
import fcntl
import os
import re
import shutil
import signal
import statistics
import struct
import subprocess
import sys
import tempfile
import termios
import threading
import time

RATE = 44100
# Key to sound by design: up to one poll (32 ms), the ring ahead of the buffer being rendered
# (five buffers, 58 ms) and the sound server's own buffering; about 80 ms measured. A
# control loop polling ten times slower lands near 200 ms.
LATENCY_BOUND_MS = 130
HELP = "Tone : A/S/D/F Key\nPitch: Left/Right Key\nLPF  : Up\nType : Down\nF5   : NO Reverb\n"
STATUS = re.compile(rb"lpfnum:(\d+) : type=(\d) : mon : (\d+\.\d{6})\r")
STATUS_AND_INDEX = re.compile(rb"lpfnum:\d+ : type=\d : mon : \d+\.\d{6}\rindex = [0-5]\r\n")

failures = []

# A program built for another processor runs through this emulator (e.g. qemu-aarch64).
EMULATOR = os.environ.get("CONSYNTH_E2E_EMULATOR", "").split()


def check(condition, what):
    print(("  ok    " if condition else "  FAIL  ") + what, flush=True)
    if not condition:
        failures.append(what)


def wait_for(predicate, timeout, step=0.02):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return True
        time.sleep(step)
    return predicate()


class Scenario:
    """A private directory and environment: runtime dir, home, no sound-server autospawn."""

    def __init__(self, name):
        self.dir = tempfile.mkdtemp(prefix=f"consynth-e2e-{name}-")
        run = os.path.join(self.dir, "run")
        home = os.path.join(self.dir, "home")
        os.makedirs(run, mode=0o700)
        os.makedirs(home)
        client_conf = os.path.join(self.dir, "client.conf")
        with open(client_conf, "w") as f:
            f.write("autospawn = no\n")
        daemon_conf = os.path.join(self.dir, "daemon.conf")
        with open(daemon_conf, "w") as f:
            f.write("default-sample-format = float32le\ndefault-sample-rate = 44100\n"
                    "default-sample-channels = 2\nexit-idle-time = -1\n")
        # ALSA's default device is the PulseAudio plugin, server or not.
        with open(os.path.join(home, ".asoundrc"), "w") as f:
            f.write("pcm.!default { type pulse }\nctl.!default { type pulse }\n")
        self.env = dict(os.environ, XDG_RUNTIME_DIR=run, HOME=home,
                        PULSE_CLIENTCONFIG=client_conf, PULSE_CONFIG=daemon_conf,
                        TMUX_TMPDIR=self.dir, TERM="xterm-256color")
        self.env.pop("TMUX", None)
        self.env.pop("PULSE_SERVER", None)
        # A JACK server name of the scenario's own: the program reaches no server but the
        # one a scenario starts (JackServer), never one running outside the tests.
        self.env["JACK_DEFAULT_SERVER"] = os.path.basename(self.dir)
        self.processes = []

    def path(self, name):
        return os.path.join(self.dir, name)

    def spawn(self, args, **kwargs):
        process = subprocess.Popen(args, env=self.env, **kwargs)
        self.processes.append(process)
        return process

    def close(self):
        for process in reversed(self.processes):
            if process.poll() is None:
                process.kill()
            process.wait()
        subprocess.run(["tmux", "kill-server"], env=self.env, stderr=subprocess.DEVNULL)
        shutil.rmtree(self.dir, ignore_errors=True)


class SoundServer:
    """PulseAudio in the foreground with one float32 null sink; `realtime` runs it as
    desktop systems do, its audio thread real-time and its main thread at high priority."""

    def __init__(self, scenario, realtime=False):
        self.scenario = scenario
        self.log = open(scenario.path("pulseaudio.log"), "a")
        options = ["--realtime", "--high-priority"] if realtime else []
        self.process = scenario.spawn(
            ["pulseaudio", "-n", "--daemonize=no", "--use-pid-file=no", "--exit-idle-time=-1",
             "--disallow-exit", "--log-target=stderr", *options,
             "-L", "module-null-sink sink_name=e2e format=float32le rate=44100 channels=2 "
                   "norewinds=1",
             "-L", "module-native-protocol-unix"],
            stdout=self.log, stderr=self.log)
        ready = wait_for(lambda: subprocess.run(["pactl", "info"], env=scenario.env,
                                                stdout=subprocess.DEVNULL,
                                                stderr=subprocess.DEVNULL).returncode == 0, 10)
        if not ready:
            raise RuntimeError("the sound server did not start: " +
                               open(scenario.path("pulseaudio.log")).read())

    def kill(self):
        self.process.kill()
        self.process.wait()

    def freeze(self):
        self.process.send_signal(signal.SIGSTOP)


class JackServer:
    """jackd with its dummy driver (no sound card, no real-time scheduling) at 44,100 Hz in
    periods of 512 frames, as a sandbox without the kernel's MIDI sequencer may offer."""

    def __init__(self, scenario):
        self.scenario = scenario
        log = open(scenario.path("jackd.log"), "a")
        self.process = scenario.spawn(["jackd", "--no-realtime", "-d", "dummy", "-r", "44100",
                                       "-p", "512"], stdout=log, stderr=log)
        if not wait_for(lambda: "system:" in self.ports(), 10, 0.1):
            raise RuntimeError("the JACK server did not start: " +
                               open(scenario.path("jackd.log")).read())

    def ports(self):
        return subprocess.run(["jack_lsp"], env=self.scenario.env, capture_output=True,
                              text=True).stdout

    def stop(self):
        """Ends the server as a user would, so it removes its files from /dev/shm."""
        self.process.send_signal(signal.SIGCONT)
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            pass


class MidiSender:
    """A JACK MIDI client (midi_sender.py, on Debian's python3) that sends note-ons; each
    call returns the moment of the process cycle that sent them."""

    def __init__(self, scenario):
        sender = os.path.join(os.path.dirname(os.path.abspath(__file__)), "midi_sender.py")
        self.process = scenario.spawn(["/usr/bin/python3", sender], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                                      text=True)

    def ask(self, command, timeout=10):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        answer = []
        reader = threading.Thread(target=lambda: answer.append(self.process.stdout.readline()))
        reader.start()
        reader.join(timeout)
        return answer[0].strip() if answer and answer[0] else None

    def note(self, *notes):
        return float(self.ask("note " + " ".join(map(str, notes))))

    def close(self):
        """Ends the client as JACK expects, before its server ends."""
        self.process.stdin.close()
        try:
            self.process.wait(5)
        except subprocess.TimeoutExpired:
            pass

    def flood(self, rate, seconds):
        """The moment of the last cycle that sent some."""
        return float(self.ask(f"flood {rate} {seconds}", seconds + 10))


class Capture:
    """Records the null sink's monitor, and maps its frames to the times they played.

    The null sink plays by the clock, so frame f plays at f / RATE + c for one constant c. A
    chunk of the recording reaches us once its last frame has played, and later when the
    recorder or this reader is held up (a loaded machine), never earlier: each chunk bounds
    c from above, and the least bound is the best estimate. Only chunks from a frame's own on
    count, so frames the recorder ever lost before it shift nothing."""

    def __init__(self, scenario):
        self.samples = array.array("f")
        self.chunks = []  # (arrival time, frames recorded once the chunk is in)
        self.lock = threading.Lock()
        self.process = scenario.spawn(
            ["parec", "-d", "e2e.monitor", "--format=float32le", "--rate=44100",
             "--channels=2", "--raw", "--latency-msec=5"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        wait_for(lambda: self.frames() > RATE // 10, 10)

    def _read(self):
        pending = b""
        fd = self.process.stdout.fileno()
        while True:
            data = os.read(fd, 65536)
            if not data:
                return
            now = time.monotonic()
            data = pending + data
            usable = len(data) - len(data) % 8
            pending = data[usable:]
            with self.lock:
                self.samples.frombytes(data[:usable])
                self.chunks.append((now, len(self.samples) // 2))

    def frames(self):
        with self.lock:
            return len(self.samples) // 2

    def _spans(self):
        """(first frame, end frame, c) for each chunk, c the least bound from it on."""
        with self.lock:
            chunks = list(self.chunks)
        spans = []
        least = float("inf")
        for i in range(len(chunks) - 1, -1, -1):
            arrival, end = chunks[i]
            least = min(least, arrival - end / RATE)
            spans.append((chunks[i - 1][1] if i > 0 else 0, end, least))
        return spans[::-1]

    def frame_at(self, when):
        """The frame that played at monotonic time `when` (the end of the recording so far
        if that is later)."""
        for first, end, c in self._spans():
            if c + end / RATE > when:
                return max(first, int((when - c) * RATE))
        return self.frames()

    def reach(self, when, timeout=5):
        """Waits until the recording holds what played at `when`."""
        wait_for(lambda: (self.time_of(self.frames() - 1) or 0) >= when, timeout)

    def time_of(self, frame):
        """When `frame` played, or None if it is not recorded yet."""
        for first, end, c in self._spans():
            if end > frame:
                return c + frame / RATE
        return None

    def level(self, start, stop):
        with self.lock:
            part = self.samples[2 * start:2 * stop]
        return max((abs(x) for x in part), default=0.0)

    def onset(self, start, threshold):
        """The first frame from `start` on whose level exceeds `threshold`."""
        with self.lock:
            samples = self.samples
            for i in range(2 * start, len(samples)):
                if abs(samples[i]) > threshold:
                    return i // 2
        return None

    def gaps(self, start, stop):
        """Frames in which both channels are exactly 0.0, from the first frame after `start`
        that is not, up to `stop`: once a voice has sounded the engine never again puts out
        an exact zero (tails settle on tiny subnormals), so each such frame is a gap that the
        way to the speaker inserted. Returns (gap frames, gaps, longest gap in frames)."""
        with self.lock:
            data = memoryview(self.samples)[2 * start:2 * stop].cast("B").tobytes()
        silence = bytes(8)
        first = next((i for i in range(0, len(data), 8) if data[i:i + 8] != silence), None)
        frames = runs = longest = 0
        at = len(data) if first is None else data.find(silence, first)
        while 0 <= at < len(data):
            if at % 8:  # zero bytes across two frames: look on from the next frame
                at = data.find(silence, at - at % 8 + 8)
                continue
            run = 0
            while data[at:at + 8] == silence:
                run += 1
                at += 8
            frames, runs, longest = frames + run, runs + 1, max(longest, run)
            at = data.find(silence, at)
        return frames, runs, longest

    def last_above(self, start, stop, threshold):
        with self.lock:
            for i in range(min(2 * stop, len(self.samples)) - 1, 2 * start - 1, -1):
                if abs(self.samples[i]) > threshold:
                    return i // 2
        return None


class TmuxRun:
    """consynth in a tmux pane; its raw output logged, its exit code and tty state kept."""

    def __init__(self, scenario, program):
        self.scenario = scenario
        self.log = scenario.path("pane.log")
        self.exit_file = scenario.path("exit")
        command = " ".join(EMULATOR + [program])
        script = (f"stty -g > {scenario.path('stty.before')}; sleep 0.5; {command}; "
                  f"echo $? > {self.exit_file}.tmp; stty -g > {scenario.path('stty.after')}; "
                  f"mv {self.exit_file}.tmp {self.exit_file}; sleep 600")
        self.tmux("new-session", "-d", "-s", "e2e", "-x", "120", "-y", "30", script)
        self.tmux("pipe-pane", "-o", "-t", "e2e", f"cat >> {self.log}")
        self.started = time.monotonic() + 0.5

    def tmux(self, *args):
        subprocess.run(["tmux", *args], env=self.scenario.env, check=True)

    def send(self, key):
        """Sends a key; returns the moment before. Once it returns, the key has reached the
        terminal: `self.delivered` is that moment."""
        sent = time.monotonic()
        self.tmux("send-keys", "-t", "e2e", key)
        self.delivered = time.monotonic()
        return sent

    def quit(self, what=""):
        """Escape: the program must exit with code 0 within 2 s, the terminal restored."""
        sent = self.send("Escape")
        code = self.exit_code(5)
        took = time.monotonic() - sent
        check(code == 0 and took < 2.0,
              f"Escape exits with code 0 within 2 s (got {code} in {took * 1000:.0f} ms)")
        print(f"  Escape to exit{what}: {took * 1000:.0f} ms", flush=True)
        check(code is not None and self.terminal_restored(), "the terminal is restored")

    def close(self):
        """Ends the session, so that another run can start in the same scenario."""
        self.tmux("kill-session", "-t", "e2e")
        for path in [self.exit_file, self.log]:
            if os.path.exists(path):
                os.remove(path)

    def output(self):
        try:
            with open(self.log, "rb") as f:
                return f.read()
        except FileNotFoundError:
            return b""

    def exit_code(self, timeout):
        if not wait_for(lambda: os.path.exists(self.exit_file), timeout, 0.01):
            return None
        return int(open(self.exit_file).read())

    def terminal_restored(self):
        before = open(self.scenario.path("stty.before")).read()
        return before == open(self.scenario.path("stty.after")).read()

    def program_pid(self):
        shell = subprocess.run(["tmux", "display-message", "-p", "-t", "e2e", "#{pane_pid}"],
                               env=self.scenario.env, capture_output=True, text=True).stdout
        children = subprocess.run(["pgrep", "-P", shell.strip()], capture_output=True,
                                  text=True).stdout.split()
        return int(children[0]) if children else None


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def process_state(pid):
    """The state letter of a process ('T' when stopped), or None once it is gone."""
    try:
        with open(f"/proc/{pid}/stat") as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        return None if state in ("Z", "X") else state
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return None


def tty_state(tty):
    return subprocess.run(["stty", "-g", "-F", tty], capture_output=True, text=True).stdout


def onset_after(capture, sent, wait=1.0):
    """The first frame of a sound that starts after `sent`, over whatever tail was sounding.
    Looked for `wait` seconds later, when the recording reaches well beyond it."""
    time.sleep(wait)
    baseline = capture.level(capture.frame_at(sent - 0.2), capture.frame_at(sent))
    return capture.onset(capture.frame_at(sent - 0.005), max(1e-4, 20 * baseline))


def check_latency(capture, presses, where):
    """Key-to-sound latency over (moment the key had surely reached the terminal, onset
    frame) pairs: its median must stay within the design's bound. Timed from when the
    sending command returned, so that a loaded machine slow to start it counts for nothing;
    the sound is looked for from before it started."""
    latencies = [(capture.time_of(onset) - sent) * 1000 for sent, onset in presses]
    if not latencies:
        return
    median = statistics.median(latencies)
    print(f"  key-to-sound latency {where} over {len(latencies)} presses: median {median:.1f} ms, "
          f"best {min(latencies):.1f} ms, worst {max(latencies):.1f} ms", flush=True)
    check(0 < median < LATENCY_BOUND_MS,
          f"key-to-sound latency {where}: median {median:.1f} ms, within {LATENCY_BOUND_MS} ms")


def thread_scheduling(pid):
    """{thread name: (policy, real-time priority)} for each thread of `pid` (sched(7))."""
    threads = {}
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            name = open(f"/proc/{pid}/task/{tid}/comm").read().strip()
            fields = open(f"/proc/{pid}/task/{tid}/stat").read().rsplit(")", 1)[1].split()
        except FileNotFoundError:
            continue  # the thread has just ended
        name = "main" if tid == str(pid) else name
        threads[name] = (int(fields[38]), int(fields[37]))
    return threads


def realtime_allowed():
    return subprocess.run(["chrt", "-f", "1", "true"], stderr=subprocess.DEVNULL).returncode == 0


def check_scheduling(pid):
    """Where the system allows it, the audio threads run real-time, the others do not."""
    if not realtime_allowed():
        print("  (real-time scheduling is not allowed here: not checked)", flush=True)
        return
    threads = thread_scheduling(pid)
    print(f"  scheduling (policy, priority): {threads}", flush=True)
    fifo, other = 1, 0
    check(threads.get("render") == (fifo, 4), "the render thread runs SCHED_FIFO at priority 4")
    check(all(threads.get(name, (None,))[0] == fifo
              for name in ("audio-out", "alsa-out", "threaded-ml")),
          "so do the device's threads and the sound library's")
    check(threads.get("main", (None,))[0] == other and
          threads.get("console", (None,))[0] == other,
          "the control loop and the console writer do not")


def test_no_server(program):
    print("No sound server, and closed standard streams: silent, quiet on stderr, exit 0",
          flush=True)
    scenario = Scenario("noserver")
    try:
        process = scenario.spawn(EMULATOR + [program], stdin=subprocess.PIPE,
                                 stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        time.sleep(0.3)
        process.stdin.write(b"a")
        process.stdin.flush()
        time.sleep(0.3)
        out, err = process.communicate(timeout=10)  # closes stdin: end of input is Escape
        check(process.returncode == 0, f"exit code 0 (got {process.returncode})")
        check(err == b"", f"nothing on stderr (got {err[:200]!r})")
        check(out == HELP.encode(), f"only the help text on stdout (got {out[:200]!r})")
        # Closed standard streams: a closed stdin is an input that has ended. (Not through an
        # emulator, whose own files would take the closed descriptors first.)
        for closed in [] if EMULATOR else ["<&-", "<&- >&-"]:
            process = scenario.spawn(["sh", "-c", f'exec "$0" {closed}', program],
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE)
            try:
                out, err = process.communicate(timeout=5)
            except subprocess.TimeoutExpired:
                out, err = b"", b"(still running after 5 s)"
            expected = b"" if ">&-" in closed else HELP.encode()
            check(process.returncode == 0 and err == b"" and out == expected,
                  f"started with {closed}: exits at once with code 0, quietly "
                  f"(got {process.returncode}, {err[:200]!r})")
    finally:
        scenario.close()


def test_tmux(program, presses):
    print("tmux: help, status lines, silence, sound after A, latency, Escape", flush=True)
    scenario = Scenario("tmux")
    try:
        SoundServer(scenario)
        capture = Capture(scenario)
        run = TmuxRun(scenario, program)
        check(wait_for(lambda: STATUS_AND_INDEX.search(run.output()) is not None, 10),
              "status and index lines stream")
        time.sleep(0.7)  # half a second of silence at least, whenever the program started
        quiet_until = time.monotonic()
        output = run.output()
        check(HELP.replace("\n", "\r\n").encode() in output,
              "the help text appears exactly, each line ended by CR LF")
        statuses = STATUS.findall(output)
        check(len(statuses) > 0 and all(s[:2] == (b"4", b"0") for s in statuses),
              "status lines read lpfnum:4 : type=0 at start")
        # The help may land between a status line and its index line: nothing orders the
        # two threads' prints. The last line may still wait for its index line.
        lines = re.split(rb"(?<=\n)", output.replace(HELP.replace("\n", "\r\n").encode(), b""))
        bad = [l for l in lines[:-1]
               if l.startswith(b"lpfnum") and not STATUS_AND_INDEX.fullmatch(l)]
        check(not bad, f"every status line is followed by its index line ({bad[:2]!r})")

        capture.reach(quiet_until)
        start = capture.frame_at(run.started)
        now = capture.frame_at(quiet_until)
        check(now - start > RATE // 2 and capture.level(start, now) == 0.0,
              f"silence (exact zeros) before any key (over {(now - start) / RATE:.2f} s)")

        pid = run.program_pid()
        cpu_before, wall_before = cpu_seconds(pid), time.monotonic()
        heard = []
        first = None
        for i in range(presses):
            sent = run.send("a")
            # The first note alone for two seconds, to be compared whole; then a press a
            # second or so, for a latency figure that a slow poll cannot pass by chance.
            onset = onset_after(capture, sent, 2.2 if i == 0 else 1.2)
            if onset is None:
                check(False, f"sound after A (press {i + 1})")
                continue
            heard.append((run.delivered, onset))
            if i == 0:
                # Before it every sample is exactly zero, so the first note starts at the
                # first sample that is not.
                first = capture.onset(capture.frame_at(sent - 0.005), 0.0)
        check(len(heard) == presses, f"sound after each of {presses} presses of A")
        if first is not None:
            check_exact_sound(scenario, program, capture, first)
            _, gaps, _ = capture.gaps(first, capture.frame_at(time.monotonic()))
            check(gaps == 0, f"no gap in the sound once it started ({gaps} gaps)")
        check(any(float(s[2]) > 0 for s in STATUS.findall(run.output())),
              "the level monitor shows the notes")
        check_scheduling(pid)
        load = (cpu_seconds(pid) - cpu_before) / (time.monotonic() - wall_before)
        print(f"  CPU while playing: {load * 100:.1f} % of one core", flush=True)
        check_latency(capture, heard, "in tmux")

        run.send("Up")
        run.send("Down")
        run.send("Down")
        time.sleep(0.3)
        last = STATUS.findall(run.output())[-1][:2]
        check(last == (b"5", b"2"), f"Up steps lpfnum, Down steps type (got {last!r})")

        run.quit()
    finally:
        scenario.close()


def check_exact_sound(scenario, program, capture, onset, note_on="0 noteon 0 36"):
    """The first note, as heard, must be the engine's output sample for sample: nothing
    dropped, repeated or altered between the render thread and the speaker."""
    renderer = os.path.join(os.path.dirname(os.path.dirname(program)), "tools",
                            "consynth-render")
    frames = 2 * RATE
    events = scenario.path("note.events")
    with open(events, "w") as f:
        f.write(note_on + "\n")
    wav = scenario.path("note.wav")
    subprocess.run(EMULATOR + [renderer, "--frames", str(frames), "--events", events, wav],
                   check=True)
    data = open(wav, "rb").read()
    at = data.index(b"data")
    size = int.from_bytes(data[at + 4:at + 8], "little")
    expected = array.array("f")
    expected.frombytes(data[at + 8:at + 8 + size])
    with capture.lock:
        heard = capture.samples[2 * onset:2 * onset + len(expected)]
    differing = sum(1 for a, b in zip(heard, expected) if a != b)
    check(len(heard) == len(expected) and differing == 0,
          f"the first note as heard equals the offline render bit for bit over {frames} frames "
          f"({differing} samples differ)")


def renderer_of(program):
    return os.path.join(os.path.dirname(os.path.dirname(program)), "tools", "consynth-render")


def read_wav(path):
    """The float samples of a WAV file's data chunk, as far as its header counts them; None
    if the file is not a whole RIFF/WAVE file with a float data chunk."""
    data = open(path, "rb").read()
    if data[:4] != b"RIFF" or data[8:12] != b"WAVE":
        return None
    at = 12
    while at + 8 <= len(data):
        size = int.from_bytes(data[at + 4:at + 8], "little")
        if data[at:at + 4] == b"data":
            if at + 8 + size > len(data):
                return None
            samples = array.array("f")
            samples.frombytes(data[at + 8:at + 8 + size])
            return samples
        at += 8 + size + (size & 1)
    return None


def check_take(program, base, what, frames=None):
    """BASE.wav must be the offline render of BASE.events, bit for bit over its whole
    length: without --frames, the render ends at the events file's own 'end'. Returns the
    take's samples (None if unreadable)."""
    take = read_wav(base + ".wav")
    check(take is not None, f"{what}: the WAV file opens")
    replay = base + ".replay.wav"
    length = [] if frames is None else ["--frames", str(frames)]
    rendered = subprocess.run(EMULATOR + [renderer_of(program), "--events", base + ".events",
                                          *length, replay], capture_output=True, text=True)
    check(rendered.returncode == 0, f"{what}: the events file replays ({rendered.stderr.strip()})")
    if take is None or rendered.returncode != 0:
        return take
    again = read_wav(replay)
    differing = sum(1 for a, b in zip(take, again) if a != b) if len(take) == len(again) else -1
    check(differing == 0, f"{what}: {len(take) // 2} frames ({len(take) / 2 / RATE:.2f} s), the "
          f"offline render of its events bit for bit ({differing} samples differ, "
          f"{len(again) // 2} frames replayed)")
    return take


def first_sound(samples, start=0):
    return next((i // 2 for i in range(2 * start, len(samples)) if samples[i] != 0.0), None)


def check_heard_take(capture, take, started, escape, seconds):
    """From the first sound on, what the server played is the take, sample for sample, up
    to the moment of Escape, over more than `seconds`."""
    capture.reach(escape)
    heard_from = capture.onset(capture.frame_at(started), 0.0)
    kept_from = first_sound(take)
    if heard_from is None or kept_from is None:
        check(False, "sound in the take and in the recording")
        return
    length = min(capture.frame_at(escape) - heard_from, len(take) // 2 - kept_from)
    with capture.lock:
        heard = capture.samples[2 * heard_from:2 * (heard_from + length)]
    kept = take[2 * kept_from:2 * (kept_from + length)]
    differing = sum(1 for a, b in zip(heard, kept) if a != b)
    check(length > seconds * RATE and differing == 0,
          f"the sound server played the take bit for bit over {length / RATE:.2f} s "
          f"({differing} samples differ)")


def hold(run, key, seconds, every):
    """A key held in a terminal without release events: sent again at each auto-repeat."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        run.send(key)
        time.sleep(every)


def test_take(program):
    print("tmux: a take with A, S, a held D, Left, Up, Down and a held F5, ended by Escape: "
          "it replays bit for bit and is what the sound server played", flush=True)
    scenario = Scenario("take")
    try:
        SoundServer(scenario)
        capture = Capture(scenario)
        base = scenario.path("take")
        run = TmuxRun(scenario, f"{program} --record {base}.wav")
        check(wait_for(lambda: STATUS_AND_INDEX.search(run.output()) is not None, 10),
              "status and index lines stream")
        started = run.started
        time.sleep(0.5)
        for key in ["a", "s"]:
            run.send(key)
            time.sleep(0.4)
        hold(run, "d", 0.6, 0.033)
        time.sleep(0.3)
        run.send("Left")
        time.sleep(0.1)
        run.send("a")
        time.sleep(0.4)
        run.send("Up")
        time.sleep(0.3)
        run.send("Down")
        time.sleep(0.3)
        run.send("f")
        hold(run, "F5", 0.8, 0.04)
        time.sleep(0.8)
        escape = time.monotonic()
        run.quit(" from a take")
        take = check_take(program, base, "the take")
        events = open(base + ".events").read()
        check(events.startswith("# consynth ") and events.endswith(" end\n"),
              "the events file starts with the program's version and closes with 'end'")
        for line, what in [(" noteon 0 36 0x020400FF\n", "A"), (" noteon 1 52 ", "S"),
                           (" noteon 0 35 ", "A after Left"), (" up\n", "Up"),
                           (" down\n", "Down"), (" f5 on\n", "F5 down"),
                           (" f5 off\n", "F5 up")]:
            check(line in events, f"the events file holds {what}")
        check(events.count(" noteon 2 55 ") > 3, "a held D plays again and again")
        if take is None:
            return
        check_heard_take(capture, take, started, escape, 4)
    finally:
        scenario.close()


def test_take_ended_by_signals(program):
    print("A take ended by SIGTERM is complete and marks where the device ran dry while the "
          "program was stopped; one cut short by SIGKILL opens and holds all but its last "
          "moments", flush=True)
    for how in [signal.SIGTERM, signal.SIGKILL]:
        scenario = Scenario("take-" + how.name.lower())
        try:
            SoundServer(scenario)
            base = scenario.path("take")
            run = TmuxRun(scenario, f"{program} --record {base}")
            check(wait_for(lambda: STATUS_AND_INDEX.search(run.output()) is not None, 10),
                  f"{how.name}: status and index lines stream")
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
                check_take(program, base, "the take ended by SIGTERM")
                # The writer's closing touch, which only a take finished in order gets.
                events = open(base + ".events").read()
                check(re.search(r"\n\d+ end\n$", events) is not None,
                      "the take was finished: its end line is trimmed")
                check("\n# underrun at frame " in events,
                      "the gap while it was stopped is marked in the events file")
            else:
                take = check_take(program, base, "the take cut short by SIGKILL")
                # The render thread starts before the first status line: frames up to a second
                # before the kill are surely rendered, and must be on the disk.
                due = int((sent - 1.0 - playing) * RATE)
                got = 0 if take is None else len(take) // 2
                check(got >= due, f"it holds {got / RATE:.2f} s, at least all up to a second "
                                  f"before the kill ({due / RATE:.2f} s)")
        finally:
            scenario.close()


def test_take_disk_full(program):
    print("A take whose files may not grow past 400 kB (RLIMIT_FSIZE, SIGXFSZ ignored): the "
          "sound plays on without a gap, both files end where the disk did, exit status 1",
          flush=True)
    scenario = Scenario("take-full")
    try:
        SoundServer(scenario)
        capture = Capture(scenario)
        base = scenario.path("take")
        run = TmuxRun(scenario, f"sh -c \"trap '' XFSZ; exec prlimit --fsize=400000 "
                                f"{' '.join(EMULATOR + [program])} --record {base}\"")
        check(wait_for(lambda: STATUS_AND_INDEX.search(run.output()) is not None, 10),
              "status and index lines stream")
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
        take = check_take(program, base, "the take cut short by the full disk")
        check(take is not None and 0.5 * RATE < len(take) / 2 < 1.2 * RATE,
              "it holds what fitted")
        capture.reach(stop)
        first = capture.onset(capture.frame_at(started - 0.1), 0.0)
        _, gaps, _ = capture.gaps(first or 0, capture.frame_at(stop))
        check(first is not None and gaps == 0,
              f"the sound played on without a gap ({gaps} gaps)")
    finally:
        scenario.close()


def test_command_line(program):
    print("Command line: --help, --version, a wrong option, take files that exist or cannot be "
          "made: nothing starts", flush=True)
    scenario = Scenario("command-line")
    try:
        def run(*args):
            return subprocess.run(EMULATOR + [program, *args], env=scenario.env,
                                  stdin=subprocess.DEVNULL, capture_output=True, timeout=10)

        shown = run("--help")
        check(shown.returncode == 0 and b"--record NAME" in shown.stdout and
              b"Exit status" in shown.stdout, "--help tells the keys, --record and exit statuses")
        version = run("--version")
        renderer = subprocess.run(EMULATOR + [renderer_of(program), "--version"],
                                  capture_output=True)
        check(version.returncode == 0 and version.stdout.split()[1:] ==
              renderer.stdout.split()[1:] and version.stdout.startswith(b"consynth "),
              f"--version: the renderer's version ({version.stdout!r})")
        wrong = run("--loud")
        check(wrong.returncode == 2 and b"usage: consynth" in wrong.stderr and
              b"'--loud'" in wrong.stderr and wrong.stdout == b"",
              f"a wrong option: usage on stderr, exit 2, nothing started ({wrong.stderr!r})")
        base = scenario.path("take")
        with open(base + ".events", "w") as f:
            f.write("mine\n")
        existing = run("--record", base + ".wav")
        check(existing.returncode == 2 and b"take.events: cannot create: File exists" in
              existing.stderr and existing.stdout == b"",
              f"take files that exist: exit 2, nothing started ({existing.stderr!r})")
        check(open(base + ".events").read() == "mine\n" and not os.path.exists(base + ".wav"),
              "the file is untouched and no other is left")
        nowhere = run("--record", scenario.path("no/such/folder/take"))
        check(nowhere.returncode == 2 and b"take.wav: cannot create: No such file" in
              nowhere.stderr, f"take files that cannot be made: exit 2 ({nowhere.stderr!r})")
    finally:
        scenario.close()


def test_take_without_device(program):
    print("No sound server: a 3-second take is made all the same, in real time, and replays",
          flush=True)
    scenario = Scenario("take-nodevice")
    try:
        base = scenario.path("take")
        started = time.monotonic()
        process = scenario.spawn(EMULATOR + [program, "--record", base], stdin=subprocess.PIPE,
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
        take = check_take(program, base, "the take without a device")
        seconds = 0 if take is None else len(take) / 2 / RATE
        check(2.5 < seconds <= took, f"it lasts {seconds:.2f} s of the {took:.2f} s the "
                                     "program ran")
    finally:
        scenario.close()


def test_midi(program, notes):
    print("MIDI through JACK: a sender that appears later is connected; its note is heard "
          "exactly; latency; a flood does not pile up; --no-midi", flush=True)
    scenario = Scenario("midi")
    jack = sender = None
    try:
        SoundServer(scenario)
        jack = JackServer(scenario)
        capture = Capture(scenario)
        run = TmuxRun(scenario, program)
        check(wait_for(lambda: "consynth:midi_in" in jack.ports(), 10),
              "the program's JACK MIDI input port consynth:midi_in appears")
        time.sleep(0.7)
        sender = MidiSender(scenario)
        check(sender.ask("wait consynth:midi_in") == "connected",
              "a sender started after the program is connected to it")

        # The first note on a silent engine: voice 4, four notes up, exactly as rendered.
        heard = []
        sent = sender.note(60)
        time.sleep(2.2)
        first = capture.onset(capture.frame_at(sent - 0.005), 0.0)
        if first is None:
            check(False, "sound after MIDI note 60")
        else:
            heard.append((sent, first))
            check_exact_sound(scenario, program, capture, first, "0 noteon 4 64")
        for i in range(notes - 1):
            sent = sender.note(48 + 5 * i)
            onset = onset_after(capture, sent, 1.2)
            if onset is not None:
                heard.append((sent, onset))
        check(len(heard) == notes, f"sound after each of {notes} MIDI notes")
        latencies = [(capture.time_of(onset) - sent) * 1000 for sent, onset in heard]
        if latencies:
            median = statistics.median(latencies)
            print(f"  MIDI-to-sound latency over {len(latencies)} notes: median {median:.1f} ms, "
                  f"best {min(latencies):.1f} ms, worst {max(latencies):.1f} ms", flush=True)
            check(0 < median < LATENCY_BOUND_MS,
                  f"MIDI-to-sound latency: median {median:.1f} ms, within {LATENCY_BOUND_MS} ms")

        # A flood: the voices play the newest notes, and none starts long after it came, so
        # the sound ends about as long after the flood's last notes as after six notes alone
        # (loud parts, above 0.1: with the reverb, a little more than a note's 0.41 s).
        def sound_end(sent):
            time.sleep(2.5)
            last = capture.last_above(capture.frame_at(sent - 0.5), capture.frames(), 0.1)
            return None if last is None else (capture.time_of(last) - sent) * 1000

        alone = sound_end(sender.note(*range(60, 72, 2)))
        flood = sound_end(sender.flood(3000, 2.0))
        if alone is None or flood is None:
            check(False, "sound after six notes and during a flood")
        else:
            print(f"  sound ends {alone:.0f} ms after six notes, {flood:.0f} ms after a flood of "
                  "3000 note-ons a second for 2 s", flush=True)
            check(flood < alone + 100, "the flood's sound ends as soon, within 100 ms")
        lines = len(STATUS.findall(run.output()))
        time.sleep(0.3)
        check(len(STATUS.findall(run.output())) > lines + 15, "the status lines stream on")
        run.quit()
        run.close()

        # A take keeps each MIDI note on the voice it took, a burst in one buffer included,
        # and replays bit for bit.
        base = scenario.path("midi-take")
        run = TmuxRun(scenario, f"{program} --record {base}")
        check(sender.ask("wait consynth:midi_in") == "connected",
              "a program recording a take is connected to the sender too")
        time.sleep(0.3)
        for chord in [(60,), (64, 67), (72,)]:
            sender.note(*chord)
            time.sleep(0.3)
        sender.flood(3000, 0.3)
        time.sleep(0.6)
        run.quit(" from a take with MIDI")
        check_take(program, base, "a take with MIDI notes")
        events = open(base + ".events").read()
        check(" noteon 4 64 " in events and events.count(" noteon ") > 500,
              "the take holds MIDI's notes on voices 4 to 9, the flood's included")

        # Started with a JACK server present: quiet on stderr; --no-midi opens no port; a
        # server frozen while the program plays does not hold up its end.
        for args, port, freeze in [([], True, False), (["--no-midi"], False, False),
                                   ([], True, True)]:
            process = scenario.spawn([program, *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
            listed = wait_for(lambda: "consynth:midi_in" in jack.ports(), 2 if port else 0.5)
            name = " ".join(["consynth", *args])
            check(listed == port, f"{name}: JACK MIDI input port {'opened' if port else 'none'}")
            if freeze:
                jack.process.send_signal(signal.SIGSTOP)
            ended = time.monotonic()
            _, err = process.communicate(timeout=10)  # the end of input acts as Escape
            took = time.monotonic() - ended
            if freeze:
                jack.process.send_signal(signal.SIGCONT)
                check(process.returncode == 0 and took < 2.0,
                      f"JACK server frozen: {name} still exits with code 0 within 2 s "
                      f"(got {process.returncode} in {took * 1000:.0f} ms)")
            check(err == b"", f"{name}: nothing on stderr (got {err[:200]!r})")
    finally:
        if sender is not None:
            sender.close()
        if jack is not None:
            jack.stop()
        scenario.close()


def test_server_gone(program, how):
    print(f"Sound server {how} mid-play: the stream goes on in real time, Escape exits "
          "promptly" + (", sound resumes when the server is back" if how == "killed" else ""),
          flush=True)
    scenario = Scenario(how)
    try:
        server = SoundServer(scenario)
        run = TmuxRun(scenario, program)
        check(wait_for(lambda: STATUS_AND_INDEX.search(run.output()) is not None, 10),
              "status and index lines stream")
        run.send("a")
        time.sleep(0.5)
        server.kill() if how == "killed" else server.freeze()
        time.sleep(0.7)  # a frozen server is found out after 0.4 s without a frame played
        pid = run.program_pid()
        if pid is not None:
            before = cpu_seconds(pid)
            lines = len(STATUS.findall(run.output()))
            time.sleep(1.0)
            used = cpu_seconds(pid) - before
            lines = len(STATUS.findall(run.output())) - lines
            check(used < 0.2, f"no spinning once the device is gone ({used:.2f} s CPU in 1 s)")
            check(lines > 40, f"the status lines go on, paced by the clock ({lines} in 1 s)")
        if how == "killed":
            restarted = time.monotonic()
            SoundServer(scenario)
            capture = Capture(scenario)
            # The note played before the kill still sounds: its tail never returns to 0.0.
            check(wait_for(lambda: capture.onset(0, 0.0) is not None, 5),
                  "sound resumes once the server is back")
            onset = capture.onset(0, 0.0)
            if onset is not None:
                print(f"  sound back {capture.time_of(onset) - restarted:.2f} s after the "
                      "server was restarted", flush=True)
        run.quit(f" with the server {how}")
    finally:
        scenario.close()


def test_frozen_at_start(program):
    print("Sound server frozen before start: help at once, silent, Escape exits", flush=True)
    scenario = Scenario("frozen-start")
    try:
        SoundServer(scenario).freeze()
        run = TmuxRun(scenario, program)
        shown = wait_for(lambda: HELP.split("\n")[0].encode() in run.output(), 10, 0.01)
        took = time.monotonic() - run.started
        check(shown and took < 2.0, f"the help shows within 2 s of start ({took:.2f} s)")
        time.sleep(0.3)
        run.quit(" with the server frozen from the start")
    finally:
        scenario.close()


def test_stdout_blocked(program):
    print("Standard output blocked: sound and keys go on, Escape exits", flush=True)
    scenario = Scenario("blocked")
    reader = None
    try:
        SoundServer(scenario)
        capture = Capture(scenario)
        # Output to a pipe whose reader never reads, at its smallest: full within a second.
        fifo = scenario.path("stdout")
        os.mkfifo(fifo)
        reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
        fcntl.fcntl(reader, fcntl.F_SETPIPE_SZ, 4096)
        run = TmuxRun(scenario, f"{program} > {fifo}")

        def waiting():
            return struct.unpack("i", fcntl.ioctl(reader, termios.FIONREAD, bytes(4)))[0]

        check(wait_for(lambda: waiting() > 4096 - 256, 10), "standard output fills up")
        time.sleep(2.0)  # long enough to fill any buffer on the way as well
        sent = run.send("a")
        time.sleep(0.8)
        check(capture.onset(capture.frame_at(sent), 1e-4) is not None, "sound after A")
        run.quit(" with standard output blocked")
    finally:
        if reader is not None:
            os.close(reader)
        scenario.close()


def test_kitty(program):
    print("kitty (keyboard protocol), started from a shell: held keys, releases, Ctrl-Z and fg, "
          "Escape", flush=True)
    scenario = Scenario("kitty")
    try:
        # No auto-repeat: a key held down sends one press, so holding can only come from
        # the protocol's release events. Xvfb picks a free display and names it.
        display_read, display_write = os.pipe()
        scenario.spawn(["Xvfb", "-displayfd", str(display_write), "-screen", "0", "800x600x24",
                        "-nolisten", "tcp", "-ardelay", "60000"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                       pass_fds=(display_write,))
        os.close(display_write)
        with os.fdopen(display_read) as f:
            display = ":" + f.readline().strip()
        scenario.env.update(DISPLAY=display, LIBGL_ALWAYS_SOFTWARE="1")
        check(wait_for(lambda: subprocess.run(["xdotool", "getmouselocation"],
                                              env=scenario.env, stdout=subprocess.DEVNULL,
                                              stderr=subprocess.DEVNULL).returncode == 0, 10),
              "the virtual display is up")
        SoundServer(scenario)
        capture = Capture(scenario)
        out = scenario.path("out")
        exit_file = scenario.path("exit")
        shell_file = scenario.path("shell")
        scenario.spawn(["kitty", "--config", "NONE", "-o", "linux_display_server=x11",
                        "--title", "consynth-e2e", "sh", "-c",
                        f"echo $$ $(tty) > {shell_file}.tmp; mv {shell_file}.tmp {shell_file}; "
                        "ENV= PS1='$ ' exec dash -i"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def xdotool(*args):
            return subprocess.run(["xdotool", *args], env=scenario.env, capture_output=True,
                                  text=True).stdout

        def type_line(text):
            xdotool("type", "--delay", "5", text)
            xdotool("key", "Return")

        def child(pid):
            found = subprocess.run(["pgrep", "-P", str(pid)], capture_output=True,
                                   text=True).stdout.split()
            return int(found[0]) if found else None

        window = []
        check(wait_for(lambda: window.append(xdotool("search", "--name", "consynth-e2e"))
                       or window[-1].strip() != "", 30, 0.2), "the kitty window opens")
        xdotool("windowfocus", "--sync", window[-1].split()[0])
        wait_for(lambda: os.path.exists(shell_file), 10)
        shell, tty = open(shell_file).read().split()
        time.sleep(0.5)
        before = tty_state(tty)
        type_line(f"{program} > {out}")
        # The program is up once its stream plays into the sink; the keyboard protocol is
        # agreed before that.
        check(wait_for(lambda: subprocess.run(["pactl", "list", "short", "sink-inputs"],
                                              env=scenario.env, capture_output=True,
                                              text=True).stdout.strip() != "", 30, 0.1),
              "the program plays into the sound server")
        time.sleep(0.5)

        # Taps of A: a press and release quicker than one poll is still one note.
        heard = []
        for i in range(3):
            sent = time.monotonic()
            xdotool("key", "a")
            delivered = time.monotonic()
            onset = onset_after(capture, sent, 2.2)
            if onset is not None:
                heard.append((delivered, onset))
        check(len(heard) == 3, "sound after each tap of A")
        check_latency(capture, heard, "in kitty")

        # Ctrl-Z comes as a protocol key: the program hands the shell a plain terminal.
        pid = child(shell)
        xdotool("key", "ctrl+z")
        check(wait_for(lambda: process_state(pid) == "T", 5) and tty_state(tty) == before,
              "Ctrl-Z stops the program with the terminal as the shell had it")
        typed = scenario.path("typed")
        type_line(f"echo typed > {typed}")
        check(wait_for(lambda: os.path.exists(typed), 5),
              "the shell reads typed keys as text again")
        type_line("fg")
        check(wait_for(lambda: process_state(pid) not in ("T", None) and
                       tty_state(tty) != before, 5), "fg: playing again, raw")
        time.sleep(0.3)

        # From here on, held keys show that the protocol is back on after fg.
        xdotool("keydown", "Up")
        time.sleep(0.5)
        xdotool("keyup", "Up")
        # F5 held keeps the sound dry, so it ends with the voice, not a reverb tail.
        xdotool("keydown", "F5")
        time.sleep(0.1)
        pressed = time.monotonic()
        xdotool("keydown", "a")
        time.sleep(1.5)
        released = time.monotonic()
        xdotool("keyup", "a")
        time.sleep(1.5)
        xdotool("keyup", "F5")
        time.sleep(0.2)
        first = capture.onset(capture.frame_at(pressed - 0.01), 1e-4)
        last = capture.last_above(capture.frame_at(pressed), capture.frames(), 1e-3)
        if first is None or last is None:
            check(False, "sound while A is held")
        else:
            lasted = capture.time_of(last) - capture.time_of(first)
            held = released - pressed
            print(f"  A held {held:.2f} s: sound lasted {lasted:.2f} s", flush=True)
            # Re-triggered on every poll while held, then one full envelope (0.53 s).
            check(held + 0.2 < lasted < held + 1.0,
                  "a held A keeps sounding and stops after its release")

        sent = time.monotonic()
        xdotool("key", "Escape")
        check(wait_for(lambda: process_state(pid) is None, 5, 0.01), "Escape ends the program")
        took = time.monotonic() - sent
        type_line(f"echo $? > {exit_file}")
        code = (open(exit_file).read().strip() if wait_for(lambda: os.path.exists(exit_file), 5)
                else None)
        check(code == "0", f"exit code 0 (got {code}, {took * 1000:.0f} ms after Escape)")
        text = open(out, "rb").read()
        check(text.startswith(HELP.encode()) or HELP.encode() in text, "the help text")
        statuses = STATUS.findall(text)
        check(statuses and statuses[-1][0] == b"5",
              "Up held half a second steps lpfnum exactly once")
        check(tty_state(tty) == before, "the terminal is restored")
    finally:
        scenario.close()


def test_key_floods(program):
    print("tmux: neither a late kitty protocol answer nor a flood of presses outlasts the keys",
          flush=True)
    scenario = Scenario("floods")
    try:
        SoundServer(scenario)
        capture = Capture(scenario)
        run = TmuxRun(scenario, program)
        check(wait_for(lambda: STATUS_AND_INDEX.search(run.output()) is not None, 10),
              "status and index lines stream")
        time.sleep(0.5)
        # Long after start-up, input that looks like the terminal's answer to the kitty
        # protocol query: it must not turn a tap into a held key.
        run.tmux("send-keys", "-t", "e2e", "-l", "\x1b[?1u")
        time.sleep(0.3)
        for what, keys in [("a tap of A after a late kitty protocol answer", "a"),
                           ("300 presses of A at once", "a" * 300)]:
            run.tmux("send-keys", "-t", "e2e", "-l", keys)
            last_press = time.monotonic()
            time.sleep(2.5)
            # Above level 0.1 a note lasts 0.41 s, its envelope's loud part; the reverb's
            # tail is quieter. Timed on the recording's own clock, which the recorder's
            # scheduling cannot stretch: with 60 to 100 ms from key to sound, 0.6 s of sound
            # ends within 0.7 s of the last press.
            start = capture.frame_at(last_press - 0.1)
            onset = capture.onset(start, 0.1)
            last = capture.last_above(start, capture.frames(), 0.1)
            if onset is None or last is None:
                check(False, f"{what}: sound")
                continue
            lasted = (last - onset) / RATE
            after = capture.time_of(last) - last_press
            check(lasted < 0.6, f"{what}: sound for {lasted * 1000:.0f} ms, under 0.6 s")
            print(f"  {what}: sound ends {after * 1000:.0f} ms after the last press",
                  flush=True)
        run.quit()
    finally:
        scenario.close()


class TmuxShell:
    """An interactive job-control shell in a tmux pane, typed into like a user would."""

    def __init__(self, scenario):
        self.scenario = scenario
        subprocess.run(["tmux", "new-session", "-d", "-s", "e2e", "-x", "120", "-y", "30",
                        "ENV= PS1='$ ' exec dash -i"], env=scenario.env, check=True)
        self.tty = self.format("#{pane_tty}")
        self.shell_pid = int(self.format("#{pane_pid}"))

    def format(self, text):
        return subprocess.run(["tmux", "display-message", "-p", "-t", "e2e", text],
                              env=self.scenario.env, capture_output=True,
                              text=True).stdout.strip()

    def key(self, key):
        sent = time.monotonic()
        subprocess.run(["tmux", "send-keys", "-t", "e2e", key], env=self.scenario.env,
                       check=True)
        return sent

    def line(self, text):
        subprocess.run(["tmux", "send-keys", "-t", "e2e", "-l", text], env=self.scenario.env,
                       check=True)
        self.key("Enter")

    def child_pid(self):
        children = subprocess.run(["pgrep", "-P", str(self.shell_pid)], capture_output=True,
                                  text=True).stdout.split()
        return int(children[0]) if children else None


def test_job_control(program):
    print("Job control in tmux: Ctrl-Z and SIGTSTP hand the terminal back; fg resumes play",
          flush=True)
    scenario = Scenario("jobs")
    try:
        SoundServer(scenario)
        capture = Capture(scenario)
        shell = TmuxShell(scenario)
        time.sleep(0.3)
        before = tty_state(shell.tty)
        shell.line(program)
        pids = []
        check(wait_for(lambda: pids.append(shell.child_pid()) or pids[-1] is not None, 10) and
              wait_for(lambda: tty_state(shell.tty) != before, 10), "the program starts, raw")
        pid = pids[-1]
        for n, how in enumerate(["Ctrl-Z", "SIGTSTP"]):
            if how == "Ctrl-Z":
                shell.key("C-z")
            else:
                os.kill(pid, signal.SIGTSTP)
            check(wait_for(lambda: process_state(pid) == "T", 5) and
                  tty_state(shell.tty) == before,
                  f"{how} stops the program with the terminal as the shell had it")
            typed = scenario.path(f"typed{n}")
            shell.line(f"echo typed > {typed}")
            check(wait_for(lambda: os.path.exists(typed), 5), "the shell runs a typed command")
            shell.line("fg")
            check(wait_for(lambda: process_state(pid) not in ("T", None) and
                           tty_state(shell.tty) != before, 5), "fg: playing again, raw")
            sent = shell.key("a")
            check(onset_after(capture, sent) is not None, "A sounds after fg")
        shell.key("Escape")
        check(wait_for(lambda: process_state(pid) is None, 5), "Escape quits")
        check(tty_state(shell.tty) == before, "the terminal is restored")
        exit_file = scenario.path("exit")
        shell.line(f"echo $? > {exit_file}")
        code = open(exit_file).read().strip() if wait_for(lambda: os.path.exists(exit_file),
                                                          5) else None
        check(code == "0", f"exit code 0 (got {code})")
    finally:
        scenario.close()


def test_underrun(program):
    print("Program stalled long enough for the device to run dry: it plays on", flush=True)
    scenario = Scenario("underrun")
    try:
        SoundServer(scenario)
        capture = Capture(scenario)
        run = TmuxRun(scenario, program)
        check(wait_for(lambda: STATUS_AND_INDEX.search(run.output()) is not None, 10),
              "status and index lines stream")
        pid = run.program_pid()
        for _ in range(2):
            os.kill(pid, signal.SIGSTOP)
            time.sleep(0.3)
            os.kill(pid, signal.SIGCONT)
            time.sleep(0.3)
        lines = len(STATUS.findall(run.output()))
        sent = run.send("a")
        time.sleep(1.0)
        check(len(STATUS.findall(run.output())) > lines + 40, "the stream goes on")
        check(capture.onset(capture.frame_at(sent), 1e-4) is not None, "sound after A")
        run.send("Escape")
        check(run.exit_code(5) == 0, "Escape exits with code 0")
    finally:
        scenario.close()


def test_terminated(program):
    print("SIGTERM: the terminal is restored", flush=True)
    scenario = Scenario("sigterm")
    try:
        run = TmuxRun(scenario, program)
        check(wait_for(lambda: HELP.split("\n")[0].encode() in run.output(), 10), "started")
        pid = run.program_pid()
        os.kill(pid, signal.SIGTERM)
        code = run.exit_code(5)
        check(code == 128 + signal.SIGTERM, f"ended by the signal (got {code})")
        check(code is not None and run.terminal_restored(), "the terminal is restored")
    finally:
        scenario.close()


def test_thread_sanitizer(program):
    print("ThreadSanitizer build, played in tmux with a take recorded: no data race reported",
          flush=True)
    scenario = Scenario("tsan")
    try:
        SoundServer(scenario)
        suppressions = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tsan.supp")
        log = scenario.path("tsan")
        run = TmuxRun(scenario, f"TSAN_OPTIONS='exitcode=66 log_path={log} "
                                f"suppressions={suppressions}' {program} "
                                f"--record {scenario.path('take')}")
        check(wait_for(lambda: STATUS_AND_INDEX.search(run.output()) is not None, 20),
              "status and index lines stream")
        for key in ["a", "s", "Up", "Down", "F5", "Left", "d", "Right", "f"]:
            run.send(key)
            time.sleep(0.15)
        time.sleep(1.0)
        run.send("Escape")
        code = run.exit_code(10)
        reports = [f for f in os.listdir(scenario.dir) if f.startswith("tsan")]
        for name in reports:
            print(open(scenario.path(name)).read()[:3000])
        check(code == 0 and not reports, f"exit code 0 and no report (got {code}, {reports})")
        check(read_wav(scenario.path("take.wav")) is not None, "the take was recorded")
    finally:
        scenario.close()


def test_soak(program, minutes):
    cores = os.cpu_count()
    print(f"Soak: {minutes:g} min, the chord every 2 s, stress-ng on {cores} cores, the sound "
          "server real-time: no gap", flush=True)
    scenario = Scenario("soak")
    try:
        SoundServer(scenario, realtime=True)
        capture = Capture(scenario)
        run = TmuxRun(scenario, program)
        check(wait_for(lambda: STATUS_AND_INDEX.search(run.output()) is not None, 10),
              "status and index lines stream")
        scenario.spawn(["stress-ng", "--cpu", str(cores), "--quiet"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        start = capture.frames()
        end = time.monotonic() + 60 * minutes
        while time.monotonic() < end:
            run.tmux("send-keys", "-t", "e2e", "a", "s", "d", "f")
            time.sleep(2.0)
        stop = capture.frame_at(time.monotonic())
        gap_frames, gaps, longest = capture.gaps(start, stop)
        print(f"  {(stop - start) / RATE / 60:.1f} min of sound under stress-ng --cpu {cores}: "
              f"{gaps} gaps, {gap_frames} frames in all, the longest "
              f"{1000 * longest / RATE:.1f} ms", flush=True)
        check(stop - start > 50 * RATE * minutes, "the sound was recorded throughout")
        check(gaps == 0, f"no gap in the sound ({gaps} gaps)")
        run.send("Escape")
        check(run.exit_code(5) == 0, "Escape exits with code 0")
    finally:
        scenario.close()


def main():
    if sys.argv[1] == "--soak":
        test_soak(sys.argv[3], float(sys.argv[2]))
        return finish()
    program = sys.argv[1]
    presses = int(os.environ.get("CONSYNTH_E2E_PRESSES", "10"))
    test_no_server(program)
    test_tmux(program, presses)
    if EMULATOR:  # the program as a user plays it; the rest tests the same code as native
        return finish()
    test_key_floods(program)
    test_midi(program, int(os.environ.get("CONSYNTH_E2E_MIDI_NOTES", "6")))
    test_job_control(program)
    test_server_gone(program, "killed")
    test_server_gone(program, "frozen")
    test_frozen_at_start(program)
    test_stdout_blocked(program)
    test_underrun(program)
    test_terminated(program)
    test_command_line(program)
    test_take(program)
    test_take_ended_by_signals(program)
    test_take_disk_full(program)
    test_take_without_device(program)
    test_kitty(program)
    if len(sys.argv) > 2:
        test_thread_sanitizer(sys.argv[2])
    return finish()


def finish():
    if failures:
        print(f"{len(failures)} end-to-end check(s) failed:", *failures, sep="\n  ")
        return 1
    print("All end-to-end checks passed.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
