#!/usr/bin/python3
"""Asks the Wayland compositor of $WAYLAND_DISPLAY for an xdg-activation token, as a launcher does
before it starts a program with XDG_ACTIVATION_TOKEN, and prints it.

    /usr/bin/python3 tests/e2e/wayland_activation.py [--app-id ID] [--timeout SECONDS]

Exit status 0 with the token on standard output; 1 when the compositor has no xdg_activation_v1
global, does not answer in time or reports a protocol error. The token is asked for without a
seat and serial (no input event to prove), which wlroots 0.15 (sway 1.7) grants; a compositor
that wants proof of user input hands out a token it will not honour.

A client of the plain wire protocol (Python's socket and struct), with no Wayland library, so it
runs wherever the end-to-end suite runs. Importable: request_token(timeout, app_id).
"""

import argparse
import os
import socket
import struct
import sys
import time

DISPLAY_ID = 1
REGISTRY_ID, SYNC_ID, ACTIVATION_ID, TOKEN_ID = 2, 3, 4, 5


class WaylandError(RuntimeError):
    pass


def _string(text):
    data = text.encode() + b"\0"
    return struct.pack("=I", len(data)) + data + b"\0" * (-len(data) % 4)


def _read_string(payload, offset):
    (length,) = struct.unpack_from("=I", payload, offset)
    text = payload[offset + 4:offset + 4 + length - 1].decode(errors="replace")
    return text, offset + 4 + length + (-length % 4)


class _Connection:
    def __init__(self, timeout):
        name = os.environ.get("WAYLAND_DISPLAY") or "wayland-0"
        path = name if name.startswith("/") else os.path.join(
            os.environ.get("XDG_RUNTIME_DIR", ""), name)
        self.deadline = time.monotonic() + timeout
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.settimeout(timeout)
        self.sock.connect(path)
        self.buffer = b""

    def send(self, obj, opcode, args=b""):
        self.sock.sendall(struct.pack("=II", obj, ((8 + len(args)) << 16) | opcode) + args)

    def events(self):
        """Yields (object, opcode, payload) until the deadline."""
        while True:
            while len(self.buffer) >= 8:
                obj, word = struct.unpack_from("=II", self.buffer)
                size = word >> 16
                if size < 8:
                    raise WaylandError(f"malformed message of {size} bytes")
                if len(self.buffer) < size:
                    break
                payload, self.buffer = self.buffer[8:size], self.buffer[size:]
                if obj == DISPLAY_ID and word & 0xFFFF == 0:
                    failed, code = struct.unpack_from("=II", payload)
                    message, _ = _read_string(payload, 8)
                    raise WaylandError(f"protocol error on object {failed} ({code}): {message}")
                yield obj, word & 0xFFFF, payload
            remaining = self.deadline - time.monotonic()
            if remaining <= 0:
                raise WaylandError("the compositor did not answer in time")
            self.sock.settimeout(remaining)
            chunk = self.sock.recv(4096)
            if not chunk:
                raise WaylandError("the compositor closed the connection")
            self.buffer += chunk


def request_token(timeout=10.0, app_id=None):
    """A fresh xdg-activation token from the compositor of $WAYLAND_DISPLAY."""
    connection = _Connection(timeout)
    try:
        connection.send(DISPLAY_ID, 1, struct.pack("=I", REGISTRY_ID))  # get_registry
        connection.send(DISPLAY_ID, 0, struct.pack("=I", SYNC_ID))      # sync
        activation = None
        for obj, opcode, payload in connection.events():
            if obj == REGISTRY_ID and opcode == 0:  # global
                (name,) = struct.unpack_from("=I", payload)
                interface, offset = _read_string(payload, 4)
                if interface == "xdg_activation_v1":
                    activation = name
            elif obj == SYNC_ID and opcode == 0:  # done: every global was announced
                break
        if activation is None:
            raise WaylandError("the compositor offers no xdg_activation_v1")
        connection.send(REGISTRY_ID, 0, struct.pack("=I", activation) + _string("xdg_activation_v1")
                        + struct.pack("=II", 1, ACTIVATION_ID))                     # bind
        connection.send(ACTIVATION_ID, 1, struct.pack("=I", TOKEN_ID))  # get_activation_token
        if app_id:
            connection.send(TOKEN_ID, 1, _string(app_id))                # set_app_id
        connection.send(TOKEN_ID, 3)                                     # commit
        for obj, opcode, payload in connection.events():
            if obj == TOKEN_ID and opcode == 0:  # done
                token, _ = _read_string(payload, 0)
                return token
    finally:
        connection.sock.close()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--app-id", help="the application the token is for")
    parser.add_argument("--timeout", type=float, default=10.0)
    args = parser.parse_args()
    try:
        print(request_token(args.timeout, args.app_id))
    except (OSError, WaylandError) as error:
        print(f"wayland_activation: {error}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
