/*
** The program as a client of a session manager (platform/session.h): the New Session
** Manager's protocol over one liblo socket.
**
** TbxSessionBegin makes the socket, sends the announce from it and reads its answers on the
** window thread (the window does not exist yet); TbxSessionListen then hands the socket to
** a thread of its own, which waits on it and on a pipe with poll and runs liblo's handlers,
** which only store a request and tell the watch. Replies and notices are sent from whatever
** thread answers, through the same socket under the same lock (liblo's server is not meant
** for two threads at once).
**
** Requests are taken only from the manager's port: the socket listens on every interface,
** and an open names a folder the program then writes to.
**
** SIGTERM (installed only under a session) writes one byte to the pipe; the thread tells
** the watch and, a second after the signal, ends the process with status 0 should it still
** run.
*/
#if TBX_HAVE_LIBLO

#include <errno.h>
#include <fcntl.h>
#include <lo/lo.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>

#include "platform/win32.h"

namespace {

constexpr int kAnswerMs = 5000;       /* longest wait for the announce's answer, then the open */
constexpr int kQuitGraceMs = 900;     /* after SIGTERM, the program's own end may take this */
constexpr char kTermByte = 'T';       /* written to the pipe by SIGTERM */
constexpr char kEndByte = 'E';        /* written by TbxSessionEnd */

struct Session {
  std::mutex mu;                      /* the socket (receiving, sending) and the fields below */
  lo_server server = nullptr;
  lo_address manager = nullptr;
  std::string managerPort;            /* requests come from here only */
  int answer = 0;                     /* to the announce: 1 taken, -1 refused, 0 none yet */
  bool openWaiting = false;           /* `open` holds a request not yet taken */
  TBXSESSIONOPEN open;
  std::atomic<TBXSESSIONPROC> proc{nullptr};
  std::thread thread;                 /* TbxSessionListen's */
};

Session* S = nullptr;                 /* the session, or nullptr; window thread sets it */
int gPipe[2] = {-1, -1};              /* read by the thread; SIGTERM and End write */

void OnTerm(int) {
  const int saved = errno;
  if (write(gPipe[1], &kTermByte, 1) < 0) {
    /* the pipe is non-blocking: a full one already says the same */
  }
  errno = saved;
}

void Silent(int, const char*, const char*) {}

/* Whether a message came from the manager's socket (lock held). */
bool FromManager(lo_message msg) {
  lo_address from = lo_message_get_source(msg);
  const char* port = from ? lo_address_get_port(from) : nullptr;
  return port && S->managerPort == port;
}

void Tell(int request) {
  if (TBXSESSIONPROC proc = S->proc.load()) proc(request);
}

bool IsString(char type) { return type == LO_STRING || type == LO_SYMBOL; }

/* A string argument. liblo's arguments sit at 4-byte offsets of the message, where the
** 8-byte union lo_arg may not be: it is read as bytes, never through its members. */
const char* Text(lo_arg* arg) { return reinterpret_cast<const char*>(arg); }

int OnReply(const char*, const char* types, lo_arg** argv, int argc, lo_message msg, void*) {
  if (!FromManager(msg) || argc < 1 || !IsString(types[0])) return 0;
  if (std::strcmp(Text(argv[0]), "/nsm/server/announce") == 0 && S->answer == 0) S->answer = 1;
  return 0;
}

int OnError(const char*, const char* types, lo_arg** argv, int argc, lo_message msg, void*) {
  if (!FromManager(msg) || argc < 1 || !IsString(types[0])) return 0;
  if (std::strcmp(Text(argv[0]), "/nsm/server/announce") != 0 || S->answer != 0) return 0;
  S->answer = -1;
  const char* why = argc >= 3 && IsString(types[2]) ? Text(argv[2]) : "no reason given";
  std::fprintf(stderr, "tamborix: the session manager refused the program (%s); going on without a session\n", why);
  return 0;
}

/* Copies a text whole into `out` of `size` bytes; false (and "") when it does not fit. */
bool CopyWhole(char* out, size_t size, const char* text) {
  const size_t n = std::strlen(text);
  if (n >= size) {
    out[0] = '\0';
    return false;
  }
  std::memcpy(out, text, n + 1);
  return true;
}

int OnOpen(const char*, const char*, lo_arg** argv, int, lo_message msg, void*) {
  if (!FromManager(msg)) return 0;
  /* A path that does not fit is left empty: the program refuses to open it. */
  CopyWhole(S->open.path, sizeof S->open.path, Text(argv[0]));
  if (!CopyWhole(S->open.displayName, sizeof S->open.displayName, Text(argv[1]))) S->open.path[0] = '\0';
  if (!CopyWhole(S->open.clientId, sizeof S->open.clientId, Text(argv[2]))) S->open.path[0] = '\0';
  S->openWaiting = true;
  Tell(TBX_SESSION_OPEN);
  return 0;
}

int OnRequest(const char*, const char*, lo_arg**, int, lo_message msg, void* request) {
  if (FromManager(msg)) Tell(static_cast<int>(reinterpret_cast<intptr_t>(request)));
  return 0;
}

int OnAnything(const char*, const char*, lo_arg**, int, lo_message, void*) {
  return 0;   /* session_is_loaded and whatever else: nothing to do */
}

void AddMethods(lo_server s) {
  lo_server_add_method(s, "/reply", nullptr, OnReply, nullptr);
  lo_server_add_method(s, "/error", nullptr, OnError, nullptr);
  lo_server_add_method(s, "/nsm/client/open", "sss", OnOpen, nullptr);
  lo_server_add_method(s, "/nsm/client/save", "", OnRequest, reinterpret_cast<void*>(TBX_SESSION_SAVE));
  lo_server_add_method(s, "/nsm/client/show_optional_gui", "", OnRequest, reinterpret_cast<void*>(TBX_SESSION_SHOW));
  lo_server_add_method(s, "/nsm/client/hide_optional_gui", "", OnRequest, reinterpret_cast<void*>(TBX_SESSION_HIDE));
  lo_server_add_method(s, nullptr, nullptr, OnAnything, nullptr);
}

/* Frees the session and gives SIGTERM back to the system. */
void Forget() {
  signal(SIGTERM, SIG_DFL);
  if (S->manager) lo_address_free(S->manager);
  if (S->server) lo_server_free(S->server);
  delete S;
  S = nullptr;
  for (int& fd : gPipe) {
    if (fd >= 0) close(fd);
    fd = -1;
  }
}

/* Reads what arrived on the socket within `ms` (lock held); a SIGTERM before the window
** exists ends the program at once. */
void ReceiveFor(int ms) {
  pollfd fds[2] = {{lo_server_get_socket_fd(S->server), POLLIN, 0}, {gPipe[0], POLLIN, 0}};
  if (poll(fds, 2, ms) <= 0) return;
  if (fds[1].revents) _exit(0);
  while (lo_server_recv_noblock(S->server, 0) > 0) {
  }
}

/* Waits up to `ms` until `done` is true (lock held). */
template <typename Done>
void WaitFor(int ms, Done done) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    ReceiveFor(static_cast<int>(left.count()));
  }
}

void Send(const char* path, lo_message m) {
  std::lock_guard<std::mutex> lock(S->mu);
  lo_send_message_from(S->manager, S->server, path, m);
}

void Run() {
  pollfd fds[2] = {{lo_server_get_socket_fd(S->server), POLLIN, 0}, {gPipe[0], POLLIN, 0}};
  for (;;) {
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return;
    if (fds[1].revents) {
      char c = 0;
      if (read(gPipe[0], &c, 1) == 1 && c == kTermByte) {
        Tell(TBX_SESSION_QUIT);
        std::this_thread::sleep_for(std::chrono::milliseconds(kQuitGraceMs));
        _exit(0);
      }
      return;
    }
    if (fds[0].revents) {
      std::lock_guard<std::mutex> lock(S->mu);
      while (lo_server_recv_noblock(S->server, 0) > 0) {
      }
    }
  }
}

}  // namespace

BOOL TbxSessionBegin(const char* appName, const char* capabilities) {
  const char* url = std::getenv("NSM_URL");
  if (!url || !*url || S) return FALSE;
  /* liblo would complain itself of what is no URL at all */
  lo_address manager = std::strncmp(url, "osc.udp://", 10) == 0 ? lo_address_new_from_url(url) : nullptr;
  if (!manager || lo_address_get_protocol(manager) != LO_UDP || !lo_address_get_port(manager)) {
    if (manager) lo_address_free(manager);
    std::fprintf(stderr, "tamborix: NSM_URL=%s is no OSC address over UDP; going on without a session\n", url);
    return FALSE;
  }
  if (pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
    lo_address_free(manager);
    std::fprintf(stderr, "tamborix: cannot reach the session manager (%s); going on without a session\n",
                 std::strerror(errno));
    return FALSE;
  }
  S = new Session;
  S->manager = manager;
  S->managerPort = lo_address_get_port(manager);
  S->server = lo_server_new_with_proto(nullptr, LO_UDP, Silent);
  std::memset(&S->open, 0, sizeof S->open);
  signal(SIGTERM, OnTerm);
  if (!S->server) {
    Forget();
    std::fprintf(stderr, "tamborix: cannot open a socket for the session manager; going on without a session\n");
    return FALSE;
  }
  AddMethods(S->server);
  extern char* program_invocation_name;   /* argv[0] (glibc) */
  std::unique_lock<std::mutex> lock(S->mu);
  if (lo_send_from(S->manager, S->server, LO_TT_IMMEDIATE, "/nsm/server/announce", "sssiii", appName, capabilities,
                   program_invocation_name, 1, 1, static_cast<int>(getpid())) < 0) {
    lock.unlock();
    Forget();
    std::fprintf(stderr, "tamborix: the session manager at %s cannot be reached; going on without a session\n", url);
    return FALSE;
  }
  WaitFor(kAnswerMs, [] { return S->answer != 0; });
  if (S->answer <= 0) {
    const bool silent = S->answer < 0;   /* the refusal said so already */
    lock.unlock();
    Forget();
    if (!silent)
      std::fprintf(stderr, "tamborix: the session manager at %s did not answer; going on without a session\n", url);
    return FALSE;
  }
  WaitFor(kAnswerMs, [] { return S->openWaiting; });
  return TRUE;
}

BOOL TbxSessionTakeOpen(TBXSESSIONOPEN* open) {
  if (!S) return FALSE;
  std::lock_guard<std::mutex> lock(S->mu);
  if (!S->openWaiting) return FALSE;
  *open = S->open;
  S->openWaiting = false;
  return TRUE;
}

void TbxSessionListen(TBXSESSIONPROC proc) {
  if (!S) return;
  S->proc = proc;
  if (!S->thread.joinable()) S->thread = std::thread(Run);
}

void TbxSessionReply(const char* path, const char* message) {
  if (!S) return;
  lo_message m = lo_message_new();
  lo_message_add_string(m, path);
  lo_message_add_string(m, message);
  Send("/reply", m);
  lo_message_free(m);
}

void TbxSessionError(const char* path, int code, const char* message) {
  if (!S) return;
  lo_message m = lo_message_new();
  lo_message_add_string(m, path);
  lo_message_add_int32(m, code);
  lo_message_add_string(m, message);
  Send("/error", m);
  lo_message_free(m);
}

void TbxSessionNotify(const char* path) {
  if (!S) return;
  lo_message m = lo_message_new();
  Send(path, m);
  lo_message_free(m);
}

void TbxSessionEnd(void) {
  if (!S) return;
  signal(SIGTERM, SIG_DFL);
  if (S->thread.joinable()) {
    if (write(gPipe[1], &kEndByte, 1) < 0) {
      /* an empty pipe takes one byte */
    }
    S->thread.join();
  }
  Forget();
}

#else  /* built without liblo: never under a session */

#include <cstdio>
#include <cstdlib>

#include "platform/win32.h"

BOOL TbxSessionBegin(const char*, const char*) {
  const char* url = std::getenv("NSM_URL");
  if (url && *url) std::fprintf(stderr, "tamborix: built without session support; NSM_URL is not used\n");
  return FALSE;
}
BOOL TbxSessionTakeOpen(TBXSESSIONOPEN*) { return FALSE; }
void TbxSessionListen(TBXSESSIONPROC) {}
void TbxSessionReply(const char*, const char*) {}
void TbxSessionError(const char*, int, const char*) {}
void TbxSessionNotify(const char*) {}
void TbxSessionEnd(void) {}

#endif
