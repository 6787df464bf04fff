"""The servers a scenario plays into: PulseAudio with float32 null sinks, and JACK with a MIDI
sender."""

import os
import signal
import subprocess
import threading
from contextlib import suppress

from .scenario import read, wait_for


class SoundServer:
    """PulseAudio in the foreground with a float32 null sink for each name in `sinks` (the
    first is the default); `realtime` runs it as desktop systems do, its audio thread
    real-time and its main thread at high priority."""

    def __init__(self, scenario, realtime=False, sinks=("e2e",)):
        self.scenario = scenario
        log = open(scenario.path("pulseaudio.log"), "a")
        modules = [f"module-null-sink sink_name={sink} format=float32le rate=44100 channels=2 "
                   "norewinds=1" for sink in sinks] + ["module-native-protocol-unix"]
        self.process = scenario.spawn(
            ["pulseaudio", "-n", "--daemonize=no", "--use-pid-file=no", "--exit-idle-time=-1",
             "--disallow-exit", "--log-target=stderr",
             *(["--realtime", "--high-priority"] if realtime else []),
             *(word for module in modules for word in ("-L", module))], stdout=log, stderr=log)
        if not wait_for(lambda: subprocess.run(["pactl", "info"], env=scenario.env,
                                               stdout=subprocess.DEVNULL,
                                               stderr=subprocess.DEVNULL).returncode == 0, 10):
            raise RuntimeError("the sound server did not start: " +
                               read(scenario.path("pulseaudio.log")))

    def streams(self):  # whether any client plays into the server
        return self.scenario.run("pactl", "list", "short", "sink-inputs").strip() != ""

    def kill(self):
        self.process.kill()
        self.process.wait()

    def freeze(self):
        self.process.send_signal(signal.SIGSTOP)


class JackServer:
    """jackd with its dummy driver (no sound card, no real-time scheduling) at 44,100 Hz in
    periods of 512 frames, as a sandbox without the kernel's MIDI sequencer may offer.
    close() ends it as a user would, so it removes its files from /dev/shm, and then those of
    clients it left behind (a test cut short), named for the scenario's server."""

    def __init__(self, scenario):
        self.scenario = scenario
        log = open(scenario.path("jackd.log"), "a")
        self.process = scenario.spawn(["jackd", "--no-realtime", "-d", "dummy", "-r", "44100",
                                       "-p", "512"], stdout=log, stderr=log)
        if not wait_for(lambda: "system:" in self.ports(), 10, 0.1):
            self.close()
            raise RuntimeError("the JACK server did not start: " +
                               read(scenario.path("jackd.log")))

    def ports(self):
        return self.scenario.run("jack_lsp")

    def close(self):
        self.process.send_signal(signal.SIGCONT)
        self.process.terminate()
        with suppress(subprocess.TimeoutExpired):
            self.process.wait(10)
        for name in os.listdir("/dev/shm"):
            if f"_{self.scenario.env['JACK_DEFAULT_SERVER']}_" in name:
                with suppress(FileNotFoundError):
                    os.remove(os.path.join("/dev/shm", name))


class MidiSender:
    """A JACK MIDI client (midi_sender.py, on Debian's python3) that sends note-ons; each
    call returns the moment of the process cycle that sent them. close() ends the client as
    JACK expects, before its server ends."""

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

    def note(self, *notes, channel=1):
        return float(self.ask(f"on {channel} " + " ".join(map(str, notes))))

    def flood(self, rate, seconds):  # the moment of the last cycle that sent some
        return float(self.ask(f"flood {rate} {seconds}", seconds + 10))

    def close(self):
        with suppress(subprocess.TimeoutExpired, BrokenPipeError):
            self.process.stdin.close()
            self.process.wait(5)
