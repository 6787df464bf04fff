"""How soon a key and a MIDI note are heard, and how evenly MIDI notes land, at each length
and number of buffers; a take at each replays bit for bit and is what was heard.

A take holds the frame where each note took effect: against the moment each MIDI note was
sent, that gives the jitter exactly. The capture equals the take from the first sound, so
the same frames found in it give the moment each note was heard."""

import statistics
import time

import pytest

from harness import (RATE, Capture, PipeWireServer, SoundServer, Take, check, check_heard_take,
                     figure)

pytestmark = pytest.mark.jack

# (arguments, the MIDI-to-sound and key-to-sound medians' targets in ms, checked with half
# as much again for a noisy machine, or None where the default's own bound holds; whether
# what was heard must be the take, but for the gaps it marks: two 64-frame buffers queued,
# 2.9 ms, are less than PulseAudio keeps up with on a busy machine now and then, a minimal
# ALSA client too, and it may drop a block there, so the gaps are only counted).
SETTINGS = [
    (["--period", "64", "--periods", "3"], 6, 12, False),
    (["--period", "64"], 10, 15, True),
    (["--period", "128"], 15, 20, True),
    ([], None, None, True),
]
JITTER_MS = 1.5  # the 95th less the 5th percentile, read from the take
NOTES = 20
PRESSES = 10


def percentile(values, share):
    ordered = sorted(values)
    return ordered[round(share * (len(ordered) - 1))]


def spread(values):
    return percentile(values, 0.95) - percentile(values, 0.05)


def detrended(times, values):
    """`values` less their straight-line fit over `times`: what is left of a note's lateness
    once the sound server's clock, which runs apart from the system's by some parts in ten
    thousand, is taken out."""
    slope = statistics.linear_regression(times, values).slope
    return [value - slope * (t - times[0]) for t, value in zip(times, values)], slope


SERVERS = [pytest.param("pulseaudio"), pytest.param("pipewire", marks=pytest.mark.pipewire)]


@pytest.mark.parametrize("server", SERVERS)
@pytest.mark.parametrize("args, midi_ms, key_ms, whole", SETTINGS,
                         ids=["64x3", "64x6", "128x6", "default"])
def test_latency(scenario, midi_sender, play, renderer, server, args, midi_ms, key_ms, whole):
    """MIDI notes at uneven moments land where they were played and are heard soon after;
    keys are heard soon after they are pressed; the take is what was heard. The sound server
    runs real-time, as desktop systems run it: PulseAudio, or PipeWire through its ALSA
    plugin, whose figures are reported, not checked: its recorder does not give back the
    sound bit for bit, and its timing is the graph's it runs."""
    if server == "pipewire":
        PipeWireServer(scenario)
    else:
        SoundServer(scenario, realtime=True)
    capture = Capture(scenario, pipewire=server == "pipewire")
    take = Take(scenario.path("take"))
    run = play(*args, "--record", take.base)
    run.check_streaming()
    name = f"{' '.join(args) or 'default'}, {server}"
    check(midi_sender.ask("wait consynth:midi_in") == "connected", f"{name}: MIDI connected")
    started = run.started
    time.sleep(1.0)

    sent = []
    for i in range(NOTES):
        time.sleep(0.15 + (i % 7) * 0.0031)  # at every offset into a period
        sent.append(midi_sender.note(60))
    time.sleep(1.0)
    pressed = []
    for _ in range(PRESSES):
        when = run.send("a")
        onset = capture.onset_after(when, 1.0)
        if onset is not None:
            pressed.append((run.delivered, onset))
    escape = time.monotonic()
    run.quit(f" at {name}")

    samples = take.check(renderer, f"the take at {name}")
    figure(f"{name}: the device ran dry {len(take.underruns())} times")
    starts = take.note_frames(voices=range(4, 10))
    if not check(len(starts) == NOTES, f"{name}: the take holds the {NOTES} MIDI notes "
                 f"({len(starts)})"):
        return
    lateness = [1000 * (frame / RATE - at) for frame, at in zip(starts, sent)]
    even, slope = detrended(sent, lateness)
    figure(f"{name}: MIDI jitter {spread(even):.2f} ms (95th less 5th percentile; "
           f"{spread(lateness):.2f} ms before the servers' clocks' difference, "
           f"{1000 * slope:.0f} ppm, is taken out)")
    # Each time the output runs dry the clock goes on while the take's frames stand still, so
    # the notes after it read early by the gap: the jitter holds only over notes the take
    # marks no underrun between.
    dry = [frame for frame in take.underruns() if starts[0] < frame <= starts[-1]]
    if server == "pulseaudio" and dry:
        figure(f"{name}: MIDI jitter not checked: the output ran dry {len(dry)} times "
               "among the notes")
    elif server == "pulseaudio":
        check(spread(even) <= JITTER_MS,
              f"{name}: MIDI jitter {spread(even):.2f} ms, within {JITTER_MS} ms")

    strict = server == "pulseaudio"
    shift = None if samples is None else capture.shift_to(samples, started, required=strict)
    if shift is None:
        return
    heard = [(at, frame + shift) for frame, at in zip(starts, sent)]
    midi = capture.check_latency(heard, f"{name}: MIDI-to-sound latency", "notes",
                                 1.5 * midi_ms if midi_ms and strict else None)
    keys = capture.check_latency(pressed, f"{name}: key-to-sound latency in tmux", "presses",
                                 1.5 * key_ms if key_ms and strict else None)
    check(midi is not None and keys is not None, f"{name}: latencies measured")
    if strict and whole:
        check_heard_take(capture, samples, started, escape, 5, take.underruns())
    else:
        _, gaps, longest = capture.gaps(capture.frame_at(started), capture.frame_at(escape))
        figure(f"{name}: {gaps} gaps in the sound, the longest {1000 * longest / RATE:.1f} ms")
