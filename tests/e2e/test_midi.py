"""MIDI through a JACK server with its dummy driver, from a sender started after the program."""

import signal
import subprocess
import time
from contextlib import closing

import pytest

from harness import MidiSender, Take, check, check_exact_sound, figure, wait_for

pytestmark = pytest.mark.jack


def test_midi(scenario, capture, jack, play, renderer, pytestconfig):
    """A sender that appears later is connected; its note is heard exactly; latency; a flood
    does not pile up."""
    notes = pytestconfig.getoption("midi_notes")
    run = play()
    check(wait_for(lambda: "consynth:midi_in" in jack.ports(), 10),
          "the program's JACK MIDI input port consynth:midi_in appears")
    time.sleep(0.7)
    with closing(MidiSender(scenario)) as sender:
        check(sender.ask("wait consynth:midi_in") == "connected",
              "a sender started after the program is connected to it")

        # The first note on a silent engine: voice 4, four notes up, exactly as rendered.
        heard = []
        sent = sender.note(60)
        time.sleep(2.2)
        first = capture.onset(capture.frame_at(sent - 0.005), 0.0)
        if check(first is not None, "sound after MIDI note 60"):
            heard.append((sent, first))
            check_exact_sound(scenario, renderer, capture, first, "0 noteon 4 64")
        for i in range(notes - 1):
            sent = sender.note(48 + 5 * i)
            onset = capture.onset_after(sent, 1.2)
            if onset is not None:
                heard.append((sent, onset))
        check(len(heard) == notes, f"sound after each of {notes} MIDI notes")
        capture.check_latency(heard, "MIDI-to-sound latency", "notes")

        # A flood: the voices play the newest notes, and none starts long after it came, so the
        # sound ends about as long after the flood's last notes as after six notes alone (loud
        # parts, above 0.1: with the reverb, a little more than a note's 0.41 s).
        def sound_end(sent):
            time.sleep(2.5)
            last = capture.last_above(capture.frame_at(sent - 0.5), capture.frames(), 0.1)
            return None if last is None else (capture.time_of(last) - sent) * 1000

        alone = sound_end(sender.note(*range(60, 72, 2)))
        flood = sound_end(sender.flood(3000, 2.0))
        if check(alone is not None and flood is not None,
                 "sound after six notes and during a flood"):
            figure(f"sound ends {alone:.0f} ms after six notes, {flood:.0f} ms after a flood of "
                   "3000 note-ons a second for 2 s")
            check(flood < alone + 100, "the flood's sound ends as soon, within 100 ms")
        lines = len(run.statuses())
        time.sleep(0.3)
        check(len(run.statuses()) > lines + 15, "the status lines stream on")
        run.quit()


def test_midi_take(scenario, sound_server, midi_sender, play, renderer):
    """A take keeps each MIDI note on the voice it took, a burst in one buffer included, and
    replays bit for bit."""
    take = Take(scenario.path("midi-take"))
    run = play("--record", take.base)
    check(midi_sender.ask("wait consynth:midi_in") == "connected",
          "a program recording a take is connected to the sender")
    time.sleep(0.3)
    for chord in [(60,), (64, 67), (72,)]:
        midi_sender.note(*chord)
        time.sleep(0.3)
    midi_sender.flood(3000, 0.3)
    time.sleep(0.6)
    run.quit(" from a take with MIDI")
    take.check(renderer, "a take with MIDI notes")
    events = take.events()
    check(" noteon 4 64 " in events and events.count(" noteon ") > 500,
          "the take holds MIDI's notes on voices 4 to 9, the flood's included")


def test_midi_channel(scenario, capture, midi_sender, play, renderer):
    """--midi-channel 2 plays the note-ons of channel 2, and not those of another."""
    take = Take(scenario.path("channel"))
    run = play("--midi-channel", "2", "--record", take.base)
    check(midi_sender.ask("wait consynth:midi_in") == "connected",
          "a program listening to one channel is connected to the sender")
    time.sleep(0.3)
    other = midi_sender.note(62, channel=3)
    capture.reach(other + 0.8)
    check(capture.level(capture.frame_at(run.started), capture.frame_at(other + 0.8)) == 0.0,
          "a note-on on channel 3 plays nothing")
    check(capture.onset_after(midi_sender.note(60, channel=2), 1.0) is not None,
          "a note-on on channel 2 plays")
    run.quit(" listening to one MIDI channel")
    take.check(renderer, "a take of one MIDI channel")
    events = take.events()
    check(events.count(" noteon ") == 1 and " noteon 4 64 " in events,
          f"the take holds channel 2's note alone ({events.count(' noteon ')} note-ons)")


@pytest.mark.parametrize("args, port, freeze", [([], True, False), (["--no-midi"], False, False),
                                                ([], True, True)],
                         ids=["port", "no-midi", "server-frozen"])
def test_midi_start(scenario, sound_server, jack, program, args, port, freeze):
    """Started with a JACK server present: quiet on stderr; --no-midi opens no port; a server
    frozen while the program plays does not hold up its end."""
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
