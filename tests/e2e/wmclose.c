/*
** wmclose WINDOW-ID: asks a top-level window to close the way a window manager does, by
** sending it the WM_PROTOCOLS client message WM_DELETE_WINDOW (xdotool can only destroy
** or kill a window, which is not what a user's close button does). Exit status 0 when sent.
*/
#include <X11/Xlib.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: wmclose WINDOW-ID\n");
    return 2;
  }
  Display* dpy = XOpenDisplay(NULL);
  if (!dpy) {
    fprintf(stderr, "wmclose: cannot open the display\n");
    return 1;
  }
  Window win = (Window)strtoul(argv[1], NULL, 0);
  XEvent ev;
  memset(&ev, 0, sizeof ev);
  ev.xclient.type = ClientMessage;
  ev.xclient.window = win;
  ev.xclient.message_type = XInternAtom(dpy, "WM_PROTOCOLS", False);
  ev.xclient.format = 32;
  ev.xclient.data.l[0] = (long)XInternAtom(dpy, "WM_DELETE_WINDOW", False);
  ev.xclient.data.l[1] = CurrentTime;
  Status ok = XSendEvent(dpy, win, False, NoEventMask, &ev);
  XSync(dpy, False);
  XCloseDisplay(dpy);
  return ok ? 0 : 1;
}
