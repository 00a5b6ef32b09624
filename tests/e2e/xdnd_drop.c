/*
** xdnd_drop WINDOW-ID X Y FILE...: drops files on a window the way a file manager does, by
** the XDND protocol (version 5): it offers them as a text/uri-list, moves over the window
** to the root position X, Y, drops when the window accepts, and hands the list over when
** the window asks for it. Exit status 0 when the window accepted the drop and said it
** finished, 1 when it refused or did not answer within 5 s, 2 on a usage error.
*/
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <time.h>

static Display* dpy;
static Window source, target;
static Atom aSelection, aUriList, aEnter, aPosition, aStatus, aDrop, aFinished, aActionCopy;

static void Send(Atom type, long l1, long l2, long l3, long l4) {
  XEvent ev;
  memset(&ev, 0, sizeof ev);
  ev.xclient.type = ClientMessage;
  ev.xclient.window = target;
  ev.xclient.message_type = type;
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = (long)source;
  ev.xclient.data.l[1] = l1;
  ev.xclient.data.l[2] = l2;
  ev.xclient.data.l[3] = l3;
  ev.xclient.data.l[4] = l4;
  XSendEvent(dpy, target, False, NoEventMask, &ev);
  XFlush(dpy);
}

/* Appends a path to a URI list as file://PATH with the bytes a URI may not hold escaped. */
static void AppendUri(char* list, size_t size, const char* path) {
  size_t n = strlen(list);
  n += (size_t)snprintf(list + n, size - n, "file://");
  for (const unsigned char* p = (const unsigned char*)path; *p && n + 4 < size; p++) {
    if ((*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') || (*p >= '0' && *p <= '9') || strchr("/-._~", *p))
      list[n++] = (char)*p;
    else
      n += (size_t)snprintf(list + n, size - n, "%%%02X", *p);
  }
  n += (size_t)snprintf(list + n, size - n, "\r\n");
  list[n] = '\0';
}

/* Hands the list to a window that asks for the selection (whatever type it names). */
static void Answer(const XSelectionRequestEvent* req, const char* list) {
  XEvent reply;
  memset(&reply, 0, sizeof reply);
  reply.xselection.type = SelectionNotify;
  reply.xselection.requestor = req->requestor;
  reply.xselection.selection = req->selection;
  reply.xselection.target = req->target;
  reply.xselection.time = req->time;
  reply.xselection.property = req->property ? req->property : req->target;
  XChangeProperty(dpy, req->requestor, reply.xselection.property, req->target, 8, PropModeReplace,
                  (const unsigned char*)list, (int)strlen(list));
  XSendEvent(dpy, req->requestor, False, NoEventMask, &reply);
  XFlush(dpy);
}

/* Waits for the next event at most until `deadline`; 0 when none came. */
static int NextEvent(XEvent* ev, time_t deadline) {
  while (!XPending(dpy)) {
    if (time(NULL) > deadline) return 0;
    fd_set fds;
    FD_ZERO(&fds);
    FD_SET(ConnectionNumber(dpy), &fds);
    struct timeval tv = {0, 100000};
    select(ConnectionNumber(dpy) + 1, &fds, NULL, NULL, &tv);
  }
  XNextEvent(dpy, ev);
  return 1;
}

int main(int argc, char** argv) {
  if (argc < 5) {
    fprintf(stderr, "usage: xdnd_drop WINDOW-ID X Y FILE...\n");
    return 2;
  }
  dpy = XOpenDisplay(NULL);
  if (!dpy) {
    fprintf(stderr, "xdnd_drop: cannot open the display\n");
    return 1;
  }
  target = (Window)strtoul(argv[1], NULL, 0);
  const long x = strtol(argv[2], NULL, 10), y = strtol(argv[3], NULL, 10);
  static char list[65536];
  for (int i = 4; i < argc; i++) AppendUri(list, sizeof list, argv[i]);

  aSelection = XInternAtom(dpy, "XdndSelection", False);
  aUriList = XInternAtom(dpy, "text/uri-list", False);
  aEnter = XInternAtom(dpy, "XdndEnter", False);
  aPosition = XInternAtom(dpy, "XdndPosition", False);
  aStatus = XInternAtom(dpy, "XdndStatus", False);
  aDrop = XInternAtom(dpy, "XdndDrop", False);
  aFinished = XInternAtom(dpy, "XdndFinished", False);
  aActionCopy = XInternAtom(dpy, "XdndActionCopy", False);
  source = XCreateSimpleWindow(dpy, DefaultRootWindow(dpy), 0, 0, 1, 1, 0, 0, 0);
  XSetSelectionOwner(dpy, aSelection, source, CurrentTime);

  Send(aEnter, 5L << 24, (long)aUriList, 0, 0);
  Send(aPosition, 0, (x << 16) | (y & 0xFFFF), CurrentTime, (long)aActionCopy);
  const time_t deadline = time(NULL) + 5;
  int dropped = 0;
  XEvent ev;
  while (NextEvent(&ev, deadline)) {
    if (ev.type == SelectionRequest) {
      Answer(&ev.xselectionrequest, list);
    } else if (ev.type == ClientMessage && ev.xclient.message_type == aStatus && !dropped) {
      if (!(ev.xclient.data.l[1] & 1)) {
        fprintf(stderr, "xdnd_drop: the window refused the drop\n");
        return 1;
      }
      Send(aDrop, 0, CurrentTime, 0, 0);
      dropped = 1;
    } else if (ev.type == ClientMessage && ev.xclient.message_type == aFinished) {
      XCloseDisplay(dpy);
      return 0;
    }
  }
  fprintf(stderr, "xdnd_drop: no answer from the window (%s)\n", dropped ? "after the drop" : "to the move");
  return 1;
}
