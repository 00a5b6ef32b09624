"""A small session manager (the NSM protocol over liblo) driving the real program.

Usage: session_manager.py PROGRAM SCRATCH. DISPLAY names an X server without a window
manager, JACK_DEFAULT_SERVER a JACK server of the caller's, XDG_CONFIG_HOME the user's
settings folder (it must stay without Tamborix's settings file). Prints one line a failed
check and "session: N passed, M failed"; the exit status is 1 when a check failed.

The manager answers the announce, then opens, saves, shows, hides and switches as
new-session-manager's nsmd would, from the one socket whose URL is NSM_URL, and ends the
program with SIGTERM.
"""
import hashlib
import os
import signal
import subprocess
import sys
import time

import liblo

PROGRAM, SCRATCH = sys.argv[1], sys.argv[2]
CAPS = ":switch:dirty:optional-gui:"
CELL = (10 + 26) * 8 + 4, (48 - 20) * 8 + 20   # client pixel of grid cell (10, 20)
MENU_HEIGHT = 20

passed = failed = 0


def check(ok, what):
    global passed, failed
    if ok:
        passed += 1
    else:
        failed += 1
        print("FAIL:", what, flush=True)
    return ok


server = liblo.Server()
inbox = []          # (path, args) of every message the program sent, in order
client = None       # the program's address, learnt from its announce


def receive(path, args, types, src):
    global client
    if path == "/nsm/server/announce":
        client = src
    inbox.append((path, list(args)))


server.add_method(None, None, receive)


def wait_for(path, seconds=10, first=None, since=0):
    """The index of the first message `path` (with `first` as its first argument) at or after
    index `since`; None after `seconds`."""
    end = time.time() + seconds
    while True:
        for i in range(since, len(inbox)):
            p, a = inbox[i]
            if p == path and (first is None or (a and a[0] == first)):
                return i
        if time.time() > end:
            return None
        server.recv(50)


def pump(seconds):
    end = time.time() + seconds
    while time.time() < end:
        server.recv(20)


def request(path, *args, answer=True):
    """Sends a request; with `answer`, waits for its /reply or /error and returns (path, args)."""
    since = len(inbox)
    server.send(client, path, *args)
    if not answer:
        return None
    end = time.time() + 15
    while time.time() < end:
        for p, a in inbox[since:]:
            if p in ("/reply", "/error") and a and a[0] == path:
                return p, a
        server.recv(50)
    return None, []


def notices(since):
    return [p for p, _ in inbox[since:] if p.startswith("/nsm/client/")]


def jack_clients():
    out = subprocess.run(["jack_lsp"], capture_output=True, text=True).stdout.split()
    return {name.split(":")[0] for name in out}


def await_clients(want, gone, seconds=10):
    end = time.time() + seconds
    while time.time() < end:
        now = jack_clients()
        if want in now and gone not in now:
            return True
        pump(0.2)
    return False


def connections():
    """JACK's connections: port -> the ports connected to it."""
    out = subprocess.run(["jack_lsp", "-c"], capture_output=True, text=True).stdout.splitlines()
    links, port = {}, None
    for line in out:
        if line.startswith((" ", "\t")):
            links.setdefault(port, set()).add(line.strip())
        else:
            port = line.strip()
            links.setdefault(port, set())
    return links


def visible_window():
    out = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Tamborix"],
                         capture_output=True, text=True).stdout.split()
    return out[0] if out else None


def await_window(shown, seconds=5):
    end = time.time() + seconds
    while time.time() < end:
        if (visible_window() is not None) == shown:
            return True
        pump(0.1)
    return False


def title():
    wid = visible_window()
    if not wid:
        return None
    return subprocess.run(["xdotool", "getwindowname", wid], capture_output=True, text=True).stdout.strip()


def click_cell():
    wid = visible_window()
    geo = dict(line.split("=") for line in subprocess.run(
        ["xdotool", "getwindowgeometry", "--shell", wid], capture_output=True, text=True).stdout.split())
    x, y = int(geo["X"]) + CELL[0], int(geo["Y"]) + MENU_HEIGHT + CELL[1]
    subprocess.run(["xdotool", "mousemove", "--sync", str(x), str(y), "click", "1"])


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha1(f.read()).hexdigest()


def project(name):
    return os.path.join(SCRATCH, "session", "Tamborix." + name)


os.makedirs(os.path.join(SCRATCH, "session"), exist_ok=True)
env = dict(os.environ, NSM_URL=server.url)
log = open(os.path.join(SCRATCH, "program.log"), "w")
program = subprocess.Popen([PROGRAM], env=env, stdout=log, stderr=subprocess.STDOUT)

# ---- announce: from the program's one socket, before its JACK client exists
i = wait_for("/nsm/server/announce", 20)
if not check(i is not None, "the program announced itself within 20 s"):
    program.kill()
    print("session: %d passed, %d failed" % (passed, failed))
    sys.exit(1)
args = inbox[i][1]
check(args[:2] == ["Tamborix", CAPS], "announce names Tamborix and %s: %r" % (CAPS, args))
check(args[2] == PROGRAM and args[3:5] == [1, 1] and args[5] == program.pid,
      "announce carries argv[0], API 1.1 and the pid: %r" % args)
check("Tamborix" not in jack_clients(), "no JACK client before the manager answered")
server.send(client, "/reply", "/nsm/server/announce", "Welcome", "Test Manager", ":server-control:")

# ---- open a new folder: created, hidden, clean, the JACK client named by the client id
since = len(inbox)
answer = request("/nsm/client/open", project("nAAAA"), "Tamborix", "nAAAA")
check(answer == ("/reply", ["/nsm/client/open", "Created"]), "open of a new folder is answered: %r" % (answer,))
check(os.path.isdir(project("nAAAA")), "the project's folder is made")
check("/nsm/client/gui_is_hidden" in notices(since) and "/nsm/client/is_clean" in notices(since),
      "a new project is clean and its window hidden: %r" % notices(since))
check(await_clients("nAAAA", "Tamborix"), "the JACK client is the client id: %r" % jack_clients())
check(not await_window(True, 1), "no window is mapped")

# ---- show, edit (dirty), save (clean)
since = len(inbox)
request("/nsm/client/show_optional_gui", answer=False)
check(await_window(True), "show_optional_gui maps the window")
check(wait_for("/nsm/client/gui_is_shown", since=since) is not None, "gui_is_shown follows")
check(title() == "Tamborix - pattern.tbx", "the caption names the project file: %r" % title())
since = len(inbox)
click_cell()
check(wait_for("/nsm/client/is_dirty", since=since) is not None, "an edit sends is_dirty")
pump(0.3)
check(title() == "Tamborix - pattern.tbx *", "the caption marks the change: %r" % title())
since = len(inbox)
answer = request("/nsm/client/save")
check(answer == ("/reply", ["/nsm/client/save", "Saved"]), "save is answered: %r" % (answer,))
check(wait_for("/nsm/client/is_clean", since=since) is not None, "is_clean follows the save")
pattern = os.path.join(project("nAAAA"), "pattern.tbx")
settings = os.path.join(project("nAAAA"), "settings.conf")
saved = open(pattern, "rb").read() if os.path.exists(pattern) else b""
check(len(saved) == 3540 and saved[:4] == b"TBRX", "pattern.tbx is a project file (%d bytes)" % len(saved))
conf = open(settings).read() if os.path.exists(settings) else ""
check("gui.visible=1\n" in conf and "midi.out=" in conf, "settings.conf keeps the window and the ports: %r" % conf)
pump(0.3)
check(title() == "Tamborix - pattern.tbx", "the change mark goes with the save: %r" % title())

# ---- hide
since = len(inbox)
request("/nsm/client/hide_optional_gui", answer=False)
check(await_window(False), "hide_optional_gui unmaps the window")
check(wait_for("/nsm/client/gui_is_hidden", since=since) is not None, "gui_is_hidden follows")

# ---- switch to a new project and back; what the user patched to the own ports stays
monitor = subprocess.Popen(["jack_midi_dump"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
end = time.time() + 5
while "midi-monitor:input" not in connections() and time.time() < end:
    pump(0.1)
subprocess.run(["jack_connect", "nAAAA:midi_out", "midi-monitor:input"])
subprocess.run(["jack_connect", "nAAAA:midi_out", "nAAAA:midi_in"])
synth = "nAAAA:synth_R" in connections()
if synth:
    subprocess.run(["jack_disconnect", "nAAAA:synth_R", "system:playback_2"])
answer = request("/nsm/client/open", project("nBBBB"), "Tamborix", "nBBBB")
check(answer == ("/reply", ["/nsm/client/open", "Created"]), "a switch to a new folder is answered: %r" % (answer,))
check(await_clients("nBBBB", "nAAAA"), "after a switch the JACK client is the new id only: %r" % jack_clients())
links = connections()
check(links.get("nBBBB:midi_out") == {"midi-monitor:input", "nBBBB:midi_in"},
      "the own ports' connections come back on the new client: %r" % links.get("nBBBB:midi_out"))
if synth:
    check(links.get("nBBBB:synth_L") == {"system:playback_1"} and links.get("nBBBB:synth_R") == set(),
          "the synth's ports are patched as they were: %r" % {p: links.get(p) for p in ("nBBBB:synth_L", "nBBBB:synth_R")})
monitor.terminate()
monitor.wait()
since = len(inbox)
answer = request("/nsm/client/open", project("nAAAA"), "Tamborix", "nAAAA")
check(answer == ("/reply", ["/nsm/client/open", "Loaded"]), "the switch back loads the project: %r" % (answer,))
check(await_clients("nAAAA", "nBBBB"), "and the JACK client is its id again: %r" % jack_clients())
check(wait_for("/nsm/client/gui_is_shown", since=since) is not None and await_window(True),
      "its window comes back as it was saved, shown")
answer = request("/nsm/client/save")
check(open(pattern, "rb").read() == saved, "the pattern came back as saved (saving again writes the same)")

# ---- SIGTERM: at once, status 0, nothing written
click_cell()
wait_for("/nsm/client/is_dirty", since=len(inbox) - 1)
before = {p: (digest(p), os.stat(p).st_mtime_ns) for p in (pattern, settings)}
start = time.time()
program.send_signal(signal.SIGTERM)
try:
    status = program.wait(5)
except subprocess.TimeoutExpired:
    program.kill()
    status = None
took = time.time() - start
check(status == 0 and took < 1.0, "SIGTERM ends the program with status 0 within 1 s (%r after %.2f s)" % (status, took))
after = {p: (digest(p), os.stat(p).st_mtime_ns) for p in (pattern, settings)}
check(before == after, "SIGTERM writes nothing")
check(not os.path.exists(os.path.join(os.environ["XDG_CONFIG_HOME"], "tamborix")),
      "the user's settings file is neither read nor written")

print("session: %d passed, %d failed" % (passed, failed))
if failed:
    print(open(os.path.join(SCRATCH, "program.log")).read())
sys.exit(1 if failed else 0)
