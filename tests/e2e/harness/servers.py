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
    first is the default), described as NAME-sink so that clients which list sinks by their
    descriptions (Wine) tell them apart; `realtime` runs it as desktop systems do, its audio
    thread real-time and its main thread at high priority."""

    def __init__(self, scenario, realtime=False, sinks=("e2e",)):
        self.scenario = scenario
        log = open(scenario.path("pulseaudio.log"), "a")
        modules = [f"module-null-sink sink_name={sink} format=float32le rate=44100 channels=2 "
                   f"norewinds=1 sink_properties=device.description={sink}-sink"
                   for sink in sinks] + ["module-native-protocol-unix"]
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


class PipeWireServer:
    """PipeWire with its session manager and one float32 null sink, `e2e`, as a desktop runs
    it, on a session bus of the scenario's own; ALSA's default device is PipeWire's plugin,
    unpacked from Debian's pipewire-alsa into the build (it conflicts with the PulseAudio
    packages, which the other tests need): scripts/install-deps.sh puts it there."""

    PLUGINS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "..",
                           "build", "pipewire-alsa")

    def __init__(self, scenario):
        self.scenario = scenario
        plugins = self.plugin_dir()
        if plugins is None:
            raise RuntimeError(f"no PipeWire ALSA plugin under {self.PLUGINS}: run "
                               "scripts/install-deps.sh test")
        os.makedirs(scenario.path("home/.config/pipewire/pipewire.conf.d"))
        scenario.write("home/.config/pipewire/pipewire.conf.d/e2e.conf", """
context.properties = { default.clock.rate = 44100  default.clock.allowed-rates = [ 44100 ] }
context.objects = [
  { factory = adapter args = { factory.name = support.null-audio-sink node.name = "e2e"
      media.class = Audio/Sink audio.position = [ FL FR ] audio.format = F32LE
      audio.rate = 44100 monitor.channel-volumes = true } }
]
""")
        scenario.write("home/.asoundrc", "".join(
            f'{kind}_type.pipewire {{ lib "{plugins}/libasound_module_{kind}_pipewire.so" }}\n'
            f"{kind}.!default {{ type pipewire }}\n" for kind in ("pcm", "ctl")))
        scenario.env["XDG_CONFIG_HOME"] = scenario.path("home/.config")
        log = open(scenario.path("pipewire.log"), "a")
        bus = scenario.spawn(["dbus-daemon", "--session", "--nofork", "--print-address"],
                             stdout=subprocess.PIPE, stderr=log, text=True)
        scenario.env["DBUS_SESSION_BUS_ADDRESS"] = bus.stdout.readline().strip()
        scenario.spawn(["pipewire"], stdout=log, stderr=log)
        scenario.spawn(["wireplumber"], stdout=log, stderr=log)
        if not wait_for(lambda: 'node.name = "e2e"' in scenario.run("pw-cli", "ls", "Node"),
                        10, 0.1):
            raise RuntimeError("PipeWire did not start: " + read(scenario.path("pipewire.log")))

    @classmethod
    def plugin_dir(cls):
        for root, _, files in os.walk(cls.PLUGINS):
            if "libasound_module_pcm_pipewire.so" in files:
                return os.path.realpath(root)
        return None


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
