/*
** The MIDI systems behind the device table: the program's own client on the ALSA sequencer
** (alsaseq.cpp) and on JACK (jack.cpp), behind one set of calls, so that devices.cpp speaks
** of "the own ports" and "a system port" without caring which system holds them.
**
** Both libraries print diagnostics of their own, and libjack would start a server when none
** runs; PortsSilence switches all that off before either is opened.
**
** Both clients carry one name, "Tamborix" unless a session manager gave the program another
** (PortsSetName); each system reads it as it opens its client.
*/
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

std::mutex gNameMu;                        /* guards gName */
std::string gName = "Tamborix";            /* the own clients' name */

#if TBX_HAVE_ALSA
void AlsaQuiet(const char*, int, const char*, int, const char*, ...) {}
#endif
#if TBX_HAVE_JACK
void JackQuiet(const char*) {}
#endif

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

std::string PortsName() {
  std::lock_guard<std::mutex> lock(gNameMu);
  return gName;
}

void PortsSetName(const std::string& name) {
  std::lock_guard<std::mutex> lock(gNameMu);
  gName = name;
}

void PortsOpen() {
  PortsSilence();
  AlsaSeqOpen();
  JackOpen();
}

void PortsClose() {
  AlsaSeqClose();
  JackClose();
}

bool PortsOwn(PortApi api) {
  switch (api) {
    case PortApi::Alsa: return AlsaSeqAlive();
    case PortApi::Jack: return JackAlive();
    case PortApi::None: return AlsaSeqAlive() || JackAlive();
  }
  return false;
}

std::vector<SystemPort> PortsList(bool inputs) {
  std::vector<SystemPort> ports;
  for (const std::string& name : AlsaSeqPorts(inputs)) ports.push_back(SystemPort{PortApi::Alsa, name});
  for (const std::string& name : JackPorts(inputs)) ports.push_back(SystemPort{PortApi::Jack, name});
  return ports;
}

bool PortsSend(PortApi api, int64_t dueNs, uint32_t bytes) {
  bool tried = false, ok = true;
  if ((api == PortApi::Alsa || api == PortApi::None) && AlsaSeqAlive()) {
    tried = true;
    ok = AlsaSeqSend(bytes) && ok;
  }
  if ((api == PortApi::Jack || api == PortApi::None) && JackAlive()) {
    tried = true;
    ok = JackQueue(dueNs, bytes) && ok;
  }
  return tried && ok;
}

int PortsConnect(const SystemPort& port, bool input) {
  switch (port.api) {
    case PortApi::Alsa: return AlsaSeqConnect(port.name, input);
    case PortApi::Jack: return JackConnect(port.name, input);
    case PortApi::None: break;
  }
  return -1;
}

uint64_t PortsIdentity(const SystemPort& port, bool input) {
  switch (port.api) {
    case PortApi::Alsa: return AlsaSeqPortIdentity(port.name, input);
    case PortApi::Jack: return JackPortIdentity(port.name);
    case PortApi::None: break;
  }
  return 0;
}

void PortsDisconnect(const SystemPort& port, bool input) {
  if (port.api == PortApi::Alsa) AlsaSeqDisconnect(port.name, input);
  if (port.api == PortApi::Jack) JackDisconnect(port.name, input);
}

std::vector<OwnPortLinks> PortsLinks() {
  std::vector<OwnPortLinks> links = AlsaSeqLinks();
  for (OwnPortLinks& l : JackLinks()) links.push_back(std::move(l));
  return links;
}

void PortsRelink(const std::vector<OwnPortLinks>& links) {
  AlsaSeqRelink(links);
  JackRelink(links);
}

void PortsDrain(PortApi api, int ms) {
  /* Direct delivery on the sequencer: nothing of ours waits there. */
  if (api == PortApi::Jack) JackDrain(ms);
}
