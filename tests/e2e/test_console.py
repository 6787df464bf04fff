"""The console: the command line, help and status lines, silence and sound, latency, exit and
the terminal; and the ThreadSanitizer build, played as a user would."""

import fcntl
import os
import re
import signal
import struct
import subprocess
import termios
import time

import pytest

from harness import (HELP, HELP_CRLF, RATE, STATUS, STATUS_AND_INDEX, check, check_exact_sound,
                     cpu_seconds, figure, read, read_wav, stat, wait_for)

SUPPRESSIONS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "tsan.supp")


@pytest.mark.emulator
def test_no_server(scenario, program, emulator):
    """No sound server: silent, quiet on stderr, exit 0 at the end of input."""
    process = scenario.spawn([*emulator, program], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    time.sleep(0.3)
    process.stdin.write(b"a")
    process.stdin.flush()
    time.sleep(0.3)
    out, err = process.communicate(timeout=10)  # closes stdin: end of input is Escape
    check(process.returncode == 0, f"exit code 0 (got {process.returncode})")
    check(err == b"", f"nothing on stderr (got {err[:200]!r})")
    check(out == HELP.encode(), f"only the help text on stdout (got {out[:200]!r})")


# Not through an emulator, whose own files would take the closed descriptors first.
@pytest.mark.parametrize("closed", ["<&-", "<&- >&-"])
def test_closed_streams(scenario, program, closed):
    """Closed standard streams: a closed stdin is an input that has ended."""
    ran = subprocess.run(["sh", "-c", f'exec "$0" {closed}', program], env=scenario.env,
                         capture_output=True, timeout=5)  # else it did not exit at once
    assert ran.returncode == 0 and ran.stderr == b"" and \
        ran.stdout == (b"" if ">&-" in closed else HELP.encode()), \
        f"started with {closed}: exits at once with code 0, quietly ({ran.stderr[:200]!r})"


def test_help_and_version(consynth, renderer):
    shown = consynth("--help")
    check(shown.returncode == 0 and b"--record NAME" in shown.stdout and
          b"Exit status" in shown.stdout, "--help tells the keys, --record and exit statuses")
    version = consynth("--version")
    check(version.returncode == 0 and version.stdout.startswith(b"consynth ") and
          version.stdout.split()[1:] == renderer.run("--version").stdout.split()[1:],
          f"--version: the renderer's version ({version.stdout!r})")


def test_wrong_option(consynth):
    wrong = consynth("--loud")
    assert wrong.returncode == 2 and b"usage: consynth" in wrong.stderr and \
        b"'--loud'" in wrong.stderr and wrong.stdout == b"", \
        f"a wrong option: usage on stderr, exit 2, nothing started ({wrong.stderr!r})"


def check_scheduling(pid):
    """Where the system allows it, the audio threads run real-time, the others do not."""
    if subprocess.run(["chrt", "-f", "1", "true"], stderr=subprocess.DEVNULL).returncode != 0:
        figure("(real-time scheduling is not allowed here: not checked)")
        return
    threads = {}  # {thread name: (policy, real-time priority)}, as sched(7) has them
    for tid in os.listdir(f"/proc/{pid}/task"):
        name, fields = read(f"/proc/{pid}/task/{tid}/comm"), stat(f"{pid}/task/{tid}")
        if name and fields:  # else the thread has just ended
            threads["main" if tid == str(pid) else name.strip()] = (int(fields[38]),
                                                                    int(fields[37]))
    figure(f"scheduling (policy, priority): {threads}")
    fifo, other = 1, 0
    check(threads.get("render") == (fifo, 4), "the render thread runs SCHED_FIFO at priority 4")
    check(all(threads.get(name, (None,))[0] == fifo
              for name in ("audio-out", "alsa-out", "threaded-ml")),
          "so do the device's threads and the sound library's")
    check(threads.get("main", (None,))[0] == other and
          threads.get("console", (None,))[0] == other,
          "the control loop and the console writer do not")


@pytest.mark.emulator
def test_tmux(scenario, capture, play, renderer, pytestconfig):
    """tmux: help, status lines, silence, sound after A, latency, Up and Down, Escape."""
    presses = pytestconfig.getoption("presses")
    run = play()
    run.check_streaming()
    time.sleep(0.7)  # half a second of silence at least, whenever the program started
    quiet_until = time.monotonic()
    output = run.output()
    check(HELP_CRLF in output, "the help text appears exactly, each line ended by CR LF")
    statuses = STATUS.findall(output)
    check(len(statuses) > 0 and all(s[:2] == (b"4", b"0") for s in statuses),
          "status lines read lpfnum:4 : type=0 at start")
    # The help may land between a status line and its index line: nothing orders the two
    # threads' prints. The last line may still wait for its index line.
    lines = re.split(rb"(?<=\n)", output.replace(HELP_CRLF, b""))
    bad = [line for line in lines[:-1]
           if line.startswith(b"lpfnum") and not STATUS_AND_INDEX.fullmatch(line)]
    check(not bad, f"every status line is followed by its index line ({bad[:2]!r})")

    capture.reach(quiet_until)
    start, now = capture.frame_at(run.started), capture.frame_at(quiet_until)
    check(now - start > RATE // 2 and capture.level(start, now) == 0.0,
          f"silence (exact zeros) before any key (over {(now - start) / RATE:.2f} s)")

    pid = run.program_pid()
    cpu_before, wall_before = cpu_seconds(pid), time.monotonic()
    heard = []
    first = None
    for i in range(presses):
        sent = run.send("a")
        # The first note alone for two seconds, to be compared whole; then a press a second
        # or so, for a latency figure that a slow poll cannot pass by chance.
        onset = capture.onset_after(sent, 2.2 if i == 0 else 1.2)
        if not check(onset is not None, f"sound after A (press {i + 1})"):
            continue
        heard.append((run.delivered, onset))
        if i == 0:
            # Before it every sample is exactly zero, so the note starts at the first sample
            # that is not.
            first = capture.onset(capture.frame_at(sent - 0.005), 0.0)
    check(len(heard) == presses, f"sound after each of {presses} presses of A")
    if first is not None:
        check_exact_sound(scenario, renderer, capture, first)
        _, gaps, _ = capture.gaps(first, capture.frame_at(time.monotonic()))
        check(gaps == 0, f"no gap in the sound once it started ({gaps} gaps)")
    check(any(float(s[2]) > 0 for s in run.statuses()), "the level monitor shows the notes")
    check_scheduling(pid)
    load = (cpu_seconds(pid) - cpu_before) / (time.monotonic() - wall_before)
    figure(f"CPU while playing: {load * 100:.1f} % of one core")
    capture.check_latency(heard, "key-to-sound latency in tmux")

    for key in ["Up", "Down", "Down"]:
        run.send(key)
    time.sleep(0.3)
    last = run.statuses()[-1][:2]
    check(last == (b"5", b"2"), f"Up steps lpfnum, Down steps type (got {last!r})")
    run.quit()


def test_meter_and_quiet(scenario, capture, play):
    """--meter: while the chord plays the help stays on screen, one line beneath it redrawn in
    place a few times a second shows the controls and the level, and CLIP while it clips;
    nothing scrolls. --quiet: the help alone."""
    run = play("--meter")
    time.sleep(1.0)
    sent = run.send("a", "s", "d", "f")
    time.sleep(0.6)

    def screen():
        return scenario.run("tmux", "capture-pane", "-p", "-t", run.name).splitlines()
    lines = screen()
    check(lines[:5] == HELP.splitlines(), f"the help stays on screen ({lines[:5]})")
    check(len(lines) > 5 and lines[5].startswith("LPF  4  Type 0  Reverb on ") and
          "\u2588" in lines[5] and lines[5].endswith(" dB CLIP  512x6 58.0 ms") and
          not any(line.strip() for line in lines[6:]),
          f"one line beneath it: the controls, a level bar, CLIP and the ring ({lines[5:7]})")
    time.sleep(2.0)
    lines = screen()
    check(len(lines) > 5 and "CLIP" not in lines[5],
          f"CLIP goes once the chord no longer clips ({lines[5:6]})")
    drawn = run.output().count(b"\rLPF")
    figure(f"meter lines drawn in {time.monotonic() - sent + 1.0:.1f} s: {drawn}")
    check(drawn >= 3 * (time.monotonic() - sent + 1.0),
          f"redrawn a few times a second ({drawn})")
    run.quit(" with --meter")
    output = run.output()
    check(output.count(b"\n") == 6 and b"lpfnum" not in output and output.endswith(b"\r\n"),
          "nothing scrolls: the help's lines and the meter's last one end in a new line, "
          "no status line")

    quiet = play("--quiet", name="quiet")
    time.sleep(1.0)
    sent = quiet.send("a")
    check(capture.onset_after(sent, 1.0) is not None, "--quiet: the keys play")
    quiet.quit(" with --quiet")
    # The program asks the terminal about its keyboard protocol first.
    shown = quiet.output().replace(b"\x1b[?u\x1b[c", b"")
    check(shown == HELP_CRLF, f"--quiet: the help alone ({shown[:200]!r})")


def test_stdout_blocked(scenario, capture, play):
    """Standard output blocked: sound and keys go on, Escape exits."""
    # Output to a pipe whose reader never reads, at its smallest: full within a second.
    fifo = scenario.path("stdout")
    os.mkfifo(fifo)
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    try:
        def waiting():
            return struct.unpack("i", fcntl.ioctl(reader, termios.FIONREAD, bytes(4)))[0]
        fcntl.fcntl(reader, fcntl.F_SETPIPE_SZ, 4096)
        run = play(command="{} > " + fifo)
        check(wait_for(lambda: waiting() > 4096 - 256, 10), "standard output fills up")
        time.sleep(2.0)  # long enough to fill any buffer on the way as well
        sent = run.send("a")
        time.sleep(0.8)
        check(capture.onset(capture.frame_at(sent), 1e-4) is not None, "sound after A")
        run.quit(" with standard output blocked")
    finally:
        os.close(reader)


def test_terminated(scenario, play):
    """SIGTERM: the terminal is restored."""
    run = play()
    check(wait_for(lambda: HELP.split("\n")[0].encode() in run.output(), 10), "started")
    os.kill(run.program_pid(), signal.SIGTERM)
    code = run.exit_code(5)
    check(code == 128 + signal.SIGTERM, f"ended by the signal (got {code})")
    check(code is not None and run.terminal_restored(), "the terminal is restored")


@pytest.mark.tsan
def test_thread_sanitizer(scenario, sound_server, play, pytestconfig):
    """Played in tmux with a take recorded: no data race reported."""
    log, program = scenario.path("tsan"), os.path.realpath(pytestconfig.getoption("tsan_program"))
    run = play("--record", scenario.path("take"), program=program,
               command=f"TSAN_OPTIONS='exitcode=66 log_path={log} "
                       f"suppressions={SUPPRESSIONS}' {{}}")
    run.check_streaming(20)
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
