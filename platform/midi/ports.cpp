/*
** MIDI ports through RtMidi: the ALSA sequencer, else the ports of a running JACK server.
**
** RtMidi reports failures by throwing RtMidiError and, before an error callback can be set,
** by printing warnings; ALSA and libjack print their own diagnostics. So nothing is asked of
** RtMidi until PortsProbe has seen the system answer with its diagnostics switched off, every
** RtMidi object gets a silent error callback at once, and every call is inside a try block.
** libjack is kept from starting a server by itself (JACK_NO_START_SERVER), so that opening
** can never hang on a server that is not there.
*/
#include <rtmidi/RtMidi.h>

#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#if TBX_HAVE_ALSA
#include <alsa/asoundlib.h>
#endif
#if TBX_HAVE_JACK
#include <jack/jack.h>
#endif

#include "platform/midi/midi_internal.h"


namespace {

const char* const kClientName = "Tamborix";   /* our client in the ALSA/JACK graph */

#if TBX_HAVE_ALSA
void AlsaQuiet(const char*, int, const char*, int, const char*, ...) {}
#endif
#if TBX_HAVE_JACK
void JackQuiet(const char*) {}
#endif

void RtQuiet(RtMidiError::Type, const std::string&, void*) {}

RtMidi::Api ToRtApi(PortApi api) {
  return api == PortApi::Alsa ? RtMidi::LINUX_ALSA : RtMidi::UNIX_JACK;
}

/* Index of the port called `name`, or -1. Port numbers shift as ports come and go, so a
** device is found again by its name. */
int FindPort(RtMidi& rt, const std::string& name) {
  unsigned n = rt.getPortCount();
  for (unsigned i = 0; i < n; i++)
    if (rt.getPortName(i) == name) return static_cast<int>(i);
  return -1;
}

void InputTrampoline(double, std::vector<unsigned char>* message, void* user);

}  // namespace

struct PortOut {
  RtMidiOut* rt;
};

struct PortIn {
  RtMidiIn* rt;
  PortInHandler handler;
  void* user;
};

namespace {

void InputTrampoline(double, std::vector<unsigned char>* message, void* user) {
  PortIn* port = static_cast<PortIn*>(user);
  if (!message || message->empty() || message->size() > 3) return;
  port->handler(message->data(), message->size(), port->user);
}

}  // namespace

void PortsSilence() {
  static std::once_flag once;
  std::call_once(once, [] {
    setenv("JACK_NO_START_SERVER", "1", 1);
#if TBX_HAVE_ALSA
    snd_lib_error_set_handler(AlsaQuiet);
#endif
#if TBX_HAVE_JACK
    jack_set_error_function(JackQuiet);
    jack_set_info_function(JackQuiet);
#endif
  });
}

PortApi PortsProbe() {
  PortsSilence();
  std::vector<RtMidi::Api> compiled;
  RtMidi::getCompiledApi(compiled);
  auto has = [&compiled](RtMidi::Api a) {
    for (RtMidi::Api c : compiled)
      if (c == a) return true;
    return false;
  };
#if TBX_HAVE_ALSA
  if (has(RtMidi::LINUX_ALSA)) {
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) >= 0) {
      snd_seq_close(seq);
      return PortApi::Alsa;
    }
  }
#endif
#if TBX_HAVE_JACK
  if (has(RtMidi::UNIX_JACK)) {
    jack_status_t status;
    jack_client_t* client = jack_client_open("Tamborix probe", JackNoStartServer, &status);
    if (client) {
      jack_client_close(client);
      return PortApi::Jack;
    }
  }
#endif
  (void)has;
  return PortApi::None;
}

std::vector<std::string> PortsList(PortApi api, bool inputs) {
  std::vector<std::string> names;
  if (api == PortApi::None) return names;
  try {
    if (inputs) {
      RtMidiIn rt(ToRtApi(api), kClientName);
      rt.setErrorCallback(RtQuiet);
      unsigned n = rt.getPortCount();
      for (unsigned i = 0; i < n; i++) names.push_back(rt.getPortName(i));
    } else {
      RtMidiOut rt(ToRtApi(api), kClientName);
      rt.setErrorCallback(RtQuiet);
      unsigned n = rt.getPortCount();
      for (unsigned i = 0; i < n; i++) names.push_back(rt.getPortName(i));
    }
  } catch (const std::exception&) {
    names.clear();
  }
  return names;
}

PortOut* PortsOpenOut(PortApi api, const std::string& name) {
  if (api == PortApi::None) return nullptr;
  RtMidiOut* rt = nullptr;
  try {
    rt = new RtMidiOut(ToRtApi(api), kClientName);
    rt->setErrorCallback(RtQuiet);
    int index = FindPort(*rt, name);
    if (index < 0) {
      delete rt;
      return nullptr;
    }
    rt->openPort(static_cast<unsigned>(index), "Tamborix Out");
    if (!rt->isPortOpen()) {
      delete rt;
      return nullptr;
    }
  } catch (const std::exception&) {
    delete rt;
    return nullptr;
  }
  return new PortOut{rt};
}

bool PortsSend(PortOut* port, const unsigned char* bytes, size_t size) {
  if (!port) return false;
  try {
    port->rt->sendMessage(bytes, size);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

void PortsCloseOut(PortOut* port) {
  if (!port) return;
  try {
    port->rt->closePort();
  } catch (const std::exception&) {
  }
  delete port->rt;
  delete port;
}

PortIn* PortsOpenIn(PortApi api, const std::string& name, PortInHandler handler, void* user) {
  if (api == PortApi::None || !handler) return nullptr;
  PortIn* port = new PortIn{nullptr, handler, user};
  try {
    port->rt = new RtMidiIn(ToRtApi(api), kClientName);
    port->rt->setErrorCallback(RtQuiet);
    port->rt->ignoreTypes(true, true, true);   /* sysex, timing clock, active sensing */
    int index = FindPort(*port->rt, name);
    if (index >= 0) {
      port->rt->setCallback(InputTrampoline, port);
      port->rt->openPort(static_cast<unsigned>(index), "Tamborix In");
    }
    if (index < 0 || !port->rt->isPortOpen()) {
      delete port->rt;
      delete port;
      return nullptr;
    }
  } catch (const std::exception&) {
    delete port->rt;
    delete port;
    return nullptr;
  }
  return port;
}

void PortsCloseIn(PortIn* port) {
  if (!port) return;
  /* Closing the port and deleting the RtMidiIn (which closes its ALSA or JACK client) stop
  ** the input thread; only then is the record the trampoline reads freed. */
  try {
    port->rt->closePort();
  } catch (const std::exception&) {
  }
  delete port->rt;
  delete port;
}
