#pragma once

#include <alsa/asoundlib.h>

namespace consynth::platform {

/// Whether the program's sequencer client `ownClient` listens to a port of `client` with
/// `capability`: every port that others may read from and subscribe to, hardware or
/// software, except its own, the system client's (the timer, and the announcements it
/// takes anyway) and those that ask not to be connected by others.
inline bool listensTo(int client, unsigned capability, int ownClient) {
  constexpr unsigned kReadable = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
  return client != ownClient && client != SND_SEQ_CLIENT_SYSTEM &&
         (capability & kReadable) == kReadable && !(capability & SND_SEQ_PORT_CAP_NO_EXPORT);
}

}  // namespace consynth::platform
