#!/usr/bin/python3
"""A JACK MIDI client for the end-to-end tests: one MIDI output port, which it never
connects itself. Run with Debian's python3 (python3-jack-client). Reads commands from stdin
and answers each on stdout with the monotonic time of the process cycle that sent it:

  wait PORT          waits until PORT is connected to ours; answers "connected"
  note N...          a note-on of each note N, velocity 100, all in one cycle, on channel 1
  on CHANNEL N...    the same on CHANNEL, 1 to 16
  flood RATE SECS    RATE note-ons a second for SECS seconds, notes 36 to 95 in turn
"""

import sys
import threading
import time

import jack

client = jack.Client("e2e-sender", no_start_server=True)
port = client.midi_outports.register("out")
lock = threading.Lock()
pending = []  # (status byte, note) not yet sent
flood = {"per_cycle": 0.0, "left": 0, "carry": 0.0, "note": 36}
sent = []  # monotonic times of the cycles that sent something


@client.set_process_callback
def process(frames):
    port.clear_buffer()
    with lock:
        messages = [bytes([status, n, 100]) for status, n in pending]
        pending.clear()
        if flood["left"] > 0:
            flood["carry"] += flood["per_cycle"]
            count = min(int(flood["carry"]), flood["left"])
            flood["carry"] -= count
            flood["left"] -= count
            for _ in range(count):
                messages.append(bytes([0x90, flood["note"], 100]))
                flood["note"] = 36 + (flood["note"] - 35) % 60
        if messages:
            for i, message in enumerate(messages):
                port.write_midi_event(i * frames // len(messages), message)
            sent.append(time.monotonic())


def wait_sent(count):
    while True:
        with lock:
            if len(sent) >= count and not pending and flood["left"] == 0:
                return sent[-1]
        time.sleep(0.001)


with client:
    for line in sys.stdin:
        words = line.split()
        if words[0] == "wait":
            while not any(p.name == words[1] for p in port.connections):
                time.sleep(0.01)
            print("connected", flush=True)
        elif words[0] in ("note", "on"):
            channel, notes = (1, words[1:]) if words[0] == "note" else (int(words[1]), words[2:])
            with lock:
                before = len(sent)
                pending.extend((0x8F + channel, int(note)) for note in notes)
            print(wait_sent(before + 1), flush=True)
        elif words[0] == "flood":
            rate, seconds = float(words[1]), float(words[2])
            with lock:
                before = len(sent)
                flood.update(per_cycle=rate * client.blocksize / client.samplerate,
                             left=int(rate * seconds), carry=0.0)
            print(wait_sent(before + 1), flush=True)
