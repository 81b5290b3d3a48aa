#!/usr/bin/python3
"""Prints the client messages sent to the root window of $DISPLAY, one line each, as a window
manager and a launcher receive them:

    ready time=T                          once it watches; T is the X server's time then
    startup TEXT                          a whole startup-notification message (_NET_STARTUP_INFO*)
    active window=0xW source=S time=T     a _NET_ACTIVE_WINDOW request

It selects PropertyChange and SubstructureNotify on the root window, which any number of clients
may, so it disturbs no one. Plain ctypes over libX11 (Debian package libx11-6), no Python X
library. Runs until it is stopped (SIGTERM).
"""

import ctypes
import sys

PROPERTY_CHANGE_MASK = 1 << 22
SUBSTRUCTURE_NOTIFY_MASK = 1 << 19
PROPERTY_NOTIFY = 28
CLIENT_MESSAGE = 33
PROP_MODE_REPLACE = 0
XA_STRING = 31


class XAnyEvent(ctypes.Structure):
    _fields_ = [("type", ctypes.c_int), ("serial", ctypes.c_ulong), ("send_event", ctypes.c_int),
                ("display", ctypes.c_void_p), ("window", ctypes.c_ulong)]


class XPropertyEvent(ctypes.Structure):
    _fields_ = XAnyEvent._fields_ + [("atom", ctypes.c_ulong), ("time", ctypes.c_ulong),
                                     ("state", ctypes.c_int)]


class ClientData(ctypes.Union):
    _fields_ = [("b", ctypes.c_char * 20), ("s", ctypes.c_short * 10), ("l", ctypes.c_long * 5)]


class XClientMessageEvent(ctypes.Structure):
    _fields_ = XAnyEvent._fields_ + [("message_type", ctypes.c_ulong), ("format", ctypes.c_int),
                                     ("data", ClientData)]


class XEvent(ctypes.Union):
    _fields_ = [("type", ctypes.c_int), ("any", XAnyEvent), ("property", XPropertyEvent),
                ("client", XClientMessageEvent), ("pad", ctypes.c_long * 24)]


def say(line):
    print(line, flush=True)


def main():
    x11 = ctypes.CDLL("libX11.so.6")
    x11.XOpenDisplay.restype = ctypes.c_void_p
    x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
    x11.XDefaultRootWindow.restype = ctypes.c_ulong
    x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
    x11.XInternAtom.restype = ctypes.c_ulong
    x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
    x11.XSelectInput.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_long]
    x11.XCreateSimpleWindow.restype = ctypes.c_ulong
    x11.XCreateSimpleWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int, ctypes.c_int,
                                        ctypes.c_uint, ctypes.c_uint, ctypes.c_uint,
                                        ctypes.c_ulong, ctypes.c_ulong]
    x11.XChangeProperty.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong,
                                    ctypes.c_ulong, ctypes.c_int, ctypes.c_int, ctypes.c_char_p,
                                    ctypes.c_int]
    x11.XNextEvent.argtypes = [ctypes.c_void_p, ctypes.POINTER(XEvent)]
    x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]

    display = x11.XOpenDisplay(None)
    if not display:
        sys.exit("root_messages: cannot open the display")
    root = x11.XDefaultRootWindow(display)
    begin = x11.XInternAtom(display, b"_NET_STARTUP_INFO_BEGIN", 0)
    more = x11.XInternAtom(display, b"_NET_STARTUP_INFO", 0)
    active = x11.XInternAtom(display, b"_NET_ACTIVE_WINDOW", 0)
    x11.XSelectInput(display, root, PROPERTY_CHANGE_MASK | SUBSTRUCTURE_NOTIFY_MASK)

    # The server's time: the time stamp of a property change on a window of our own.
    clock = x11.XCreateSimpleWindow(display, root, -10, -10, 1, 1, 0, 0, 0)
    x11.XSelectInput(display, clock, PROPERTY_CHANGE_MASK)
    stamp = x11.XInternAtom(display, b"_QUANTORIA_E2E_CLOCK", 0)
    x11.XChangeProperty(display, clock, stamp, XA_STRING, 8, PROP_MODE_REPLACE, b"", 0)
    x11.XSync(display, 0)

    pieces = {}  # startup messages being put together, by the window they come from
    event = XEvent()
    while True:
        x11.XNextEvent(display, ctypes.byref(event))
        if event.type == PROPERTY_NOTIFY and event.any.window == clock:
            say(f"ready time={event.property.time}")
        elif event.type == CLIENT_MESSAGE:
            message = event.client
            if message.message_type in (begin, more) and message.format == 8:
                sender = message.window
                if message.message_type == begin:
                    pieces[sender] = b""
                elif sender not in pieces:
                    continue  # the rest of a message whose beginning we did not see
                data = ctypes.string_at(ctypes.addressof(message.data), 20)
                end = data.find(b"\0")
                pieces[sender] += data if end < 0 else data[:end]
                if end >= 0:
                    say("startup " + pieces.pop(sender).decode(errors="replace"))
            elif message.message_type == active and message.format == 32:
                values = [v & 0xFFFFFFFF for v in message.data.l]
                say(f"active window={message.window:#x} source={values[0]} time={values[1]}")


if __name__ == "__main__":
    main()
