"""The output and its level: --list-devices, --device (a float PCM, an integer-only one, one
that is missing, one whose server goes and comes back) and --gain, each heard on its own sink
and compared with the take, which keeps the sound as rendered."""

import array
import os
import subprocess
import time

import pytest

from harness import (RATE, Capture, SoundServer, Take, check, check_heard_take, figure,
                     wait_for)

# Two more outputs, beside `default` (the first sink): the second sink by the pulse plugin's
# `device` setting, and the same sink behind ALSA's linear plugin, which takes integers only
# (as a sound card's own device does) and hands them on through the conversion layer.
PCMS = """
pcm.second {
  type pulse
  device "second"
  hint { show on description "The second sink" }
}
pcm.integers {
  type linear
  slave { pcm "plug:second" format S32_LE }
  hint { show on description "The second sink, 32-bit integers only" }
}
"""

GAIN_DB = -12


def play_chord(scenario, server, program, emulator, *args):
    """The program with `args`, the chord typed on its standard input once it plays into
    `server`, then the end of the input: (exit code, stderr, the moment it started, the moment
    the input ended)."""
    started = time.monotonic()
    process = scenario.spawn([*emulator, program, *args], stdin=subprocess.PIPE,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    check(wait_for(server.streams, 10), f"{' '.join(args[:2])}: the stream opens")
    time.sleep(0.3)
    process.stdin.write(b"asdf")
    process.stdin.flush()
    time.sleep(1.5)
    ended = time.monotonic()
    _, err = process.communicate(timeout=20)
    return process.returncode, err, started, ended


def integers(sample):
    """A sample as the program hands it to a 32-bit integer device, scaled back: rounded to
    nearest, ties to even, and clipped at full scale."""
    return min(max(round(sample * 2.0**31), -2**31), 2**31 - 1) / 2.0**31


@pytest.mark.emulator
def test_outputs(scenario, program, emulator, renderer):
    with open(scenario.path("home/.asoundrc"), "a") as f:
        f.write(PCMS)
    server = SoundServer(scenario, sinks=("e2e", "second"))
    first, second = Capture(scenario, "e2e"), Capture(scenario, "second")

    listed = subprocess.run([*emulator, program, "--list-devices"], env=scenario.env,
                            capture_output=True, text=True, timeout=20)
    lines = listed.stdout.splitlines()
    check(listed.returncode == 0 and "second" in [line.split()[0] for line in lines] and
          any(line.split()[0] == "integers" and
              line.endswith("The second sink, 32-bit integers only") for line in lines),
          f"--list-devices lists the outputs, name first, then what they are ({lines})")

    missing = subprocess.run([*emulator, program, "--device", "nosuch", "--record",
                              scenario.path("never")], env=scenario.env, capture_output=True,
                             timeout=20)
    check(missing.returncode == 2 and b"'nosuch'" in missing.stderr and
          b"cannot be opened" in missing.stderr and missing.stdout == b"",
          f"a missing device: its name and why on stderr, exit 2 ({missing.stderr!r})")
    check(not os.path.exists(scenario.path("never.wav")), "and no take is made")

    # Float samples, softer by the gain: the sound as rendered, times the gain, on the named
    # sink and not on the default one; the take is the sound before the gain.
    take = Take(scenario.path("gain"))
    begun = time.monotonic()
    code, err, started, ended = play_chord(scenario, server, program, emulator, "--device",
                                           "second", "--gain", str(GAIN_DB), "--record",
                                           take.base)
    check(code == 0 and err == b"", f"--device second --gain {GAIN_DB}: exit 0 ({err!r})")
    samples = take.check(renderer, "a take with a gain")
    if samples is not None:
        gain = 10 ** (GAIN_DB / 20)
        check_heard_take(second, array.array("f", (x * gain for x in samples)), started,
                         ended, 1)
        peak = second.level(second.frame_at(started), second.frame_at(ended))
        figure(f"the chord peaks at {max(map(abs, samples)):.2f} as rendered, "
               f"{peak:.2f} at {GAIN_DB} dB")
        check(0.5 < peak < 1.0, f"at {GAIN_DB} dB the chord stays under full scale ({peak:.2f})")

    # A device that takes integers alone: 32-bit, rounded to nearest and clipped.
    take = Take(scenario.path("integers"))
    code, err, started, ended = play_chord(scenario, server, program, emulator, "--device",
                                           "integers", "--record", take.base)
    check(code == 0 and err == b"", f"--device integers: exit 0 ({err!r})")
    samples = take.check(renderer, "a take played as integers")
    if samples is not None:
        second.reach(ended)
        heard_from = second.onset(second.frame_at(started), 1e-6)
        kept_from = next((i // 2 for i, x in enumerate(samples) if abs(x) > 1e-6), None)
        if check(heard_from is not None and kept_from is not None, "the chord is heard"):
            length = min(second.frame_at(ended) - heard_from, len(samples) // 2 - kept_from)
            heard = second.part(heard_from, heard_from + length)
            kept = samples[2 * kept_from:2 * (kept_from + length)]
            # The sound server takes the integers back to floats with a rounding of its own.
            worst = max((abs(h - integers(k)) for h, k in zip(heard, kept)), default=1.0)
            clipped = sum(1 for k in kept if abs(k) >= 1.0)
            check(length > RATE and worst <= 2.0**-30 and clipped > 0 and
                  max(map(abs, heard)) <= 1.0,
                  f"the sink plays the take as 32-bit integers over {length / RATE:.2f} s, "
                  f"clipped at full scale ({clipped} samples), each within the server's "
                  f"rounding of the nearest one (worst {worst:.1e})")
    first.reach(ended)
    check(first.level(first.frame_at(begun), first.frame_at(ended)) == 0.0,
          "the default output stays silent all the while")

    # The named device is opened again, as `default` is, once its sound server is back.
    process = scenario.spawn([*emulator, program, "--device", "second"], stdin=subprocess.PIPE,
                             stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    time.sleep(0.8)
    process.stdin.write(b"a")
    process.stdin.flush()
    time.sleep(0.3)
    server.kill()
    time.sleep(0.5)
    restarted = time.monotonic()
    SoundServer(scenario, sinks=("e2e", "second"))
    again = Capture(scenario, "second")
    if check(wait_for(lambda: again.onset(0, 0.0) is not None, 5),
             "sound on the named device again once its sound server is back"):
        figure(f"sound back {again.time_of(again.onset(0, 0.0)) - restarted:.2f} s after the "
               "server was restarted")
    _, err = process.communicate(timeout=20)
    check(process.returncode == 0 and err == b"", f"then exit 0, quietly ({err!r})")


@pytest.mark.parametrize("args, message", [
    pytest.param(args, message, id=" ".join(args)) for args, message in [
        (["--device"], b"--device needs a value"),
        (["--device", "--headless"], b"--device needs an output's NAME"),
        (["--gain", "20"], b"--gain takes decibels from -40 to +6, not '20'"),
        (["--gain", "x"], b"not 'x'"),
        (["--midi-channel", "0"], b"--midi-channel takes a channel from 1 to 16, not '0'"),
        (["--midi-channel", "17"], b"not '17'"),
        (["--midi-channel", "x"], b"not 'x'"),
    ]])
def test_wrong_value(scenario, consynth, args, message):
    take = scenario.path("take")
    wrong = consynth("--record", take, *args)
    assert wrong.returncode == 2 and message in wrong.stderr and b"usage:" in wrong.stderr \
        and wrong.stdout == b"" and not os.path.exists(take + ".wav"), \
        f"{args}: a clear message, exit 2, no take ({wrong.stderr!r})"
