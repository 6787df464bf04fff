"""Keys and terminals: floods of presses and job control in tmux, and kitty, which speaks the
keyboard protocol: exact held keys and releases."""

import os
import signal
import time

import pytest

from harness import (HELP, RATE, STATUS, Kitty, TmuxShell, check, check_stop_and_fg, child_pid,
                     figure, keep_status, process_state, read_when_there, start_xvfb, tty_state,
                     wait_for)


def test_key_floods(capture, play):
    """Neither a late kitty protocol answer nor a flood of presses outlasts the keys."""
    run = play()
    run.check_streaming()
    time.sleep(0.5)
    # Long after start-up, input that looks like the terminal's answer to the kitty protocol
    # query: it must not turn a tap into a held key.
    run.send("-l", "\x1b[?1u")
    time.sleep(0.3)
    for what, keys in [("a tap of A after a late kitty protocol answer", "a"),
                       ("300 presses of A at once", "a" * 300)]:
        run.send("-l", keys)
        last_press = time.monotonic()
        time.sleep(2.5)
        # Above level 0.1 a note lasts 0.41 s, its envelope's loud part; the reverb's tail is
        # quieter. Timed on the recording's own clock, which the recorder's scheduling cannot
        # stretch: with 60 to 100 ms from key to sound, 0.6 s of sound ends within 0.7 s of
        # the last press.
        start = capture.frame_at(last_press - 0.1)
        onset = capture.onset(start, 0.1)
        last = capture.last_above(start, capture.frames(), 0.1)
        if not check(onset is not None and last is not None, f"{what}: sound"):
            continue
        lasted = (last - onset) / RATE
        check(lasted < 0.6, f"{what}: sound for {lasted * 1000:.0f} ms, under 0.6 s")
        figure(f"{what}: sound ends {(capture.time_of(last) - last_press) * 1000:.0f} ms "
               "after the last press")
    run.quit()


def test_job_control(scenario, capture, program):
    """Ctrl-Z and SIGTSTP hand the terminal back to the shell; fg resumes play."""
    shell = TmuxShell(scenario)
    time.sleep(0.3)
    before = tty_state(shell.tty)
    shell.line(program)
    pids = []
    check(wait_for(lambda: pids.append(child_pid(shell.shell_pid)) or pids[-1], 10) and
          wait_for(lambda: tty_state(shell.tty) != before, 10), "the program starts, raw")
    pid = pids[-1]
    for how, stop in [("Ctrl-Z", lambda: shell.send("C-z")),
                      ("SIGTSTP", lambda: os.kill(pid, signal.SIGTSTP))]:
        check_stop_and_fg(shell, pid, before, how, stop)
        sent = shell.send("a")
        check(capture.onset_after(sent) is not None, "A sounds after fg")
    shell.send("Escape")
    check(wait_for(lambda: process_state(pid) is None, 5), "Escape quits")
    check(tty_state(shell.tty) == before, "the terminal is restored")
    shell.line(keep_status(scenario.path("exit")))
    code = read_when_there(scenario.path("exit"))
    check(code == "0", f"exit code 0 (got {code})")


@pytest.mark.kitty
@pytest.mark.xvfb
def test_kitty(scenario, sound_server, capture, program):
    """Started from a shell in kitty: taps, latency, Ctrl-Z and fg, held keys, Escape."""
    # No auto-repeat: a key held down sends one press, so holding can only come from the
    # protocol's release events.
    start_xvfb(scenario, "-screen", "0", "800x600x24", "-ardelay", "60000")
    kitty = Kitty(scenario)
    time.sleep(0.5)
    before = tty_state(kitty.tty)
    out, exit_file = scenario.path("out"), scenario.path("exit")
    # In a subshell that keeps its exit status: nothing is typed once it has ended, when kitty
    # may not have read its last output yet and would still send keys in its protocol.
    kitty.line(f"({program} > {out}; {keep_status(exit_file)})")
    # The program is up once its stream plays into the sink; the keyboard protocol is
    # agreed before that.
    check(wait_for(sound_server.streams, 30, 0.1), "the program plays into the sound server")
    time.sleep(0.5)

    # Taps of A: a press and release quicker than one poll is still one note.
    heard = []
    for _ in range(3):
        sent = time.monotonic()
        kitty.xdotool("key", "a")
        delivered = time.monotonic()
        onset = capture.onset_after(sent, 2.2)
        if onset is not None:
            heard.append((delivered, onset))
    check(len(heard) == 3, "sound after each tap of A")
    capture.check_latency(heard, "key-to-sound latency in kitty")

    # Ctrl-Z comes as a protocol key: the program hands the shell a plain terminal.
    pid = child_pid(child_pid(kitty.shell_pid))
    check_stop_and_fg(kitty, pid, before, "Ctrl-Z", lambda: kitty.xdotool("key", "ctrl+z"))
    time.sleep(0.3)

    # From here on, held keys show that the protocol is back on after fg.
    kitty.xdotool("keydown", "Up")
    time.sleep(0.5)
    kitty.xdotool("keyup", "Up")
    # F5 held keeps the sound dry, so it ends with the voice, not a reverb tail.
    kitty.xdotool("keydown", "F5")
    time.sleep(0.1)
    pressed = time.monotonic()
    kitty.xdotool("keydown", "a")
    time.sleep(1.5)
    released = time.monotonic()
    kitty.xdotool("keyup", "a")
    time.sleep(1.5)
    kitty.xdotool("keyup", "F5")
    time.sleep(0.2)
    first = capture.onset(capture.frame_at(pressed - 0.01), 1e-4)
    last = capture.last_above(capture.frame_at(pressed), capture.frames(), 1e-3)
    if check(first is not None and last is not None, "sound while A is held"):
        lasted = capture.time_of(last) - capture.time_of(first)
        held = released - pressed
        figure(f"A held {held:.2f} s: sound lasted {lasted:.2f} s")
        # Re-triggered on every poll while held, then one full envelope (0.53 s).
        check(held + 0.2 < lasted < held + 1.0,
              "a held A keeps sounding and stops after its release")

    sent = time.monotonic()
    kitty.xdotool("key", "Escape")
    check(wait_for(lambda: process_state(pid) is None, 5, 0.01), "Escape ends the program")
    took = time.monotonic() - sent
    code = read_when_there(exit_file)
    check(code == "0", f"exit code 0 (got {code}, {took * 1000:.0f} ms after Escape)")
    text = open(out, "rb").read()
    check(text.startswith(HELP.encode()) or HELP.encode() in text, "the help text")
    statuses = STATUS.findall(text)
    check(statuses and statuses[-1][0] == b"5", "Up held half a second steps lpfnum exactly once")
    check(tty_state(kitty.tty) == before, "the terminal is restored")
