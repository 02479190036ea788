#!/usr/bin/python3
"""A client of the daemon's control socket for the boundary test and the abuse
benchmark, run as the user it should be (setpriv). Speaks the socket's frames
directly: a 4-byte big-endian length, then JSON. Prints one line per outcome;
the holding modes print theirs, then keep their connections until killed.

  socket_member.py SOCKET hold N               N idle connections
  socket_member.py SOCKET half N SIZE          N frames announcing SIZE bytes, one short
  socket_member.py SOCKET save N SIZE          N saves of a configuration of SIZE bytes
  socket_member.py SOCKET start ID BOOTSTRAP TOKENS
  socket_member.py SOCKET call OPERATION ID       (connection, stop, remove)
"""
import base64
import json
import select
import socket
import struct
import sys
import time


def connect(path):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect(path)
    return s


def frame(obj):
    body = json.dumps(obj).encode()
    return struct.pack(">I", len(body)) + body


def read_frame(s, timeout=30.0):
    s.settimeout(timeout)
    head = b""
    while len(head) < 4:
        chunk = s.recv(4 - len(head))
        if not chunk:
            return None
        head += chunk
    (length,) = struct.unpack(">I", head)
    body = b""
    while len(body) < length:
        chunk = s.recv(length - len(body))
        if not chunk:
            return None
        body += chunk
    return json.loads(body)


def outcome(reply):
    if reply is None:
        return "closed"
    if "error" in reply:
        e = reply["error"]
        return "error %s %s %s" % (e.get("domain"), e.get("code"), e.get("message"))
    result = reply.get("result")
    if isinstance(result, dict):
        return "ok " + str(result.get("identifier", result.get("status", "")))
    return "ok"


def turned_away(s, wait=0.05):
    """Whether the daemon refused or dropped the connection (it says so and closes)."""
    ready, _, _ = select.select([s], [], [], wait)
    return bool(ready)


def hold_forever():
    while True:
        time.sleep(3600)


def main():
    path, mode, args = sys.argv[1], sys.argv[2], sys.argv[3:]
    if mode in ("hold", "half"):
        count = int(args[0])
        size = int(args[1]) if mode == "half" else 0
        held, refused = [], 0
        for _ in range(count):
            try:
                s = connect(path)
            except OSError:
                refused += 1
                continue
            if mode == "half":
                try:
                    s.sendall(struct.pack(">I", size) + b"x" * (size - 1))
                except OSError:
                    refused += 1
                    s.close()
                    continue
            if turned_away(s):
                refused += 1
                s.close()
            else:
                held.append(s)
        # Dropped since: the daemon may let an earlier sender go for a later one.
        time.sleep(0.5)
        dropped = [s for s in held if turned_away(s, 0)]
        held = [s for s in held if s not in dropped]
        print("held %d refused %d" % (len(held), refused + len(dropped)), flush=True)
        hold_forever()
    elif mode == "save":
        count, size = int(args[0]), int(args[1])
        s = connect(path)
        for i in range(count):
            configuration = {
                "identifier": "", "providerBundleIdentifier": "com.example.tunnel",
                "serverAddress": "192.0.2.1", "localizedDescription": "member",
                "providerConfiguration": {"padding": "p" * size}, "enabled": True}
            s.sendall(frame({"id": i + 1, "op": "save", "configuration": configuration}))
            print("save %d %s" % (i + 1, outcome(read_frame(s))), flush=True)
    elif mode == "start":
        identifier, bootstrap, tokens = args
        options = {}
        for key, name in (("bootstrap", bootstrap), ("extension_tokens", tokens)):
            with open(name, "rb") as f:
                options[key] = {"data": base64.b64encode(f.read()).decode()}
        options["high_speed_enabled"] = {"number": 1}
        s = connect(path)
        s.sendall(frame({"id": 1, "op": "start", "identifier": identifier, "options": options}))
        print("start " + outcome(read_frame(s)), flush=True)
    elif mode == "call":
        s = connect(path)
        s.sendall(frame({"id": 1, "op": args[0], "identifier": args[1]}))
        print(args[0] + " " + outcome(read_frame(s)), flush=True)


if __name__ == "__main__":
    main()
