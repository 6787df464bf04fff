"""--headless, as a service runs it: no terminal, no keys and no lines; MIDI plays, and
SIGTERM, SIGINT or SIGHUP end it with status 0 once its take is finished."""

import os
import signal
import subprocess
import time

import pytest

from harness import Take, check, check_heard_take, figure, read, tty_state


@pytest.mark.jack
def test_headless(scenario, capture, midi_sender, program, renderer):
    """Standard input at its end, no terminal: a MIDI note plays bit for bit into the take
    and the sound server; nothing is written; SIGTERM ends it with 0 within a second."""
    take = Take(scenario.path("box"))
    written = scenario.path("written")
    started = time.monotonic()
    with open(written, "wb") as output:
        process = scenario.spawn([program, "--headless", "--record", take.base],
                                 stdin=subprocess.DEVNULL, stdout=output, stderr=output,
                                 start_new_session=True)  # no controlling terminal
    if not check(midi_sender.ask("wait consynth:midi_in") == "connected",
                 "with standard input at its end it plays on, and takes MIDI"):
        return
    time.sleep(0.3)
    sent = midi_sender.note(60)
    check(capture.onset_after(sent, 1.5) is not None, "a MIDI note plays")
    terminated = time.monotonic()
    process.send_signal(signal.SIGTERM)
    try:
        code = process.wait(5)
    except subprocess.TimeoutExpired:
        code = None
    took = time.monotonic() - terminated
    figure(f"SIGTERM to exit: {took * 1000:.0f} ms")
    check(code == 0 and took < 1.0,
          f"SIGTERM ends it with status 0 within a second (got {code} in {took * 1000:.0f} ms)")
    check(read(written, "rb") == b"", f"nothing written ({read(written, 'rb')[:200]!r})")
    samples = take.check(renderer, "the take")
    check(" noteon 4 64 " in take.events(), "the take holds the MIDI note")
    if samples is not None:
        check_heard_take(capture, samples, started, terminated, 1)


def test_headless_leaves_the_terminal(scenario, capture, play, program):
    """In a terminal, keys typed: the terminal keeps its modes (it echoes them, as a terminal
    nobody reads does), the keys stay unread and play nothing, nothing else is shown; SIGHUP
    ends it with status 0. Keys in a file on standard input stay unread too."""
    run = play("--headless")
    tty = run.format("#{pane_tty}")
    time.sleep(1.0)  # the shell starts it half a second in
    pid = run.program_pid()
    before = read(run.stty + ".before")
    check(before is not None and tty_state(tty) == before,
          "the terminal keeps the modes the shell gave it")
    sent = run.send("a", "s", "d", "f")
    capture.reach(sent + 0.8)
    check(capture.level(capture.frame_at(sent), capture.frame_at(sent + 0.8)) == 0.0,
          "typed keys play nothing")
    check(pid is not None and read(f"/proc/{pid}/comm", missing="").strip() == "consynth",
          "it runs in the terminal")
    if pid is not None:
        os.kill(pid, signal.SIGHUP)
    check(run.exit_code(5) == 0, f"SIGHUP ends it with status 0 (got {run.exit_code(0)})")
    check(run.output() == b"asdf",
          f"nothing is shown but the terminal's own echo of the keys ({run.output()[:200]!r})")

    keys = scenario.write("keys", "asdf\x1b")
    with open(keys) as stdin:
        process = scenario.spawn([program, "--headless"], stdin=stdin,
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(0.8)
    position = read(f"/proc/{process.pid}/fdinfo/0", missing="").split()
    check(position[:2] == ["pos:", "0"] and process.poll() is None,
          f"keys in a file on standard input stay unread, and do not end it ({position[:2]})")
    process.send_signal(signal.SIGINT)
    check(process.wait(5) == 0, f"SIGINT ends it with status 0 (got {process.returncode})")
