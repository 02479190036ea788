#!/usr/bin/python3
"""A client of the daemon's control socket for the boundary test and the abuse
benchmark, run as the user it should be (setpriv); it speaks the frames (a
4-byte big-endian length, then JSON) itself. One line per outcome; the holding
modes print theirs, then keep their connections until killed.

  socket_member.py SOCKET hold N | half N SIZE    idle connections | frames one byte short
  socket_member.py SOCKET save N SIZE             saves of configurations of SIZE bytes
  socket_member.py SOCKET start ID BOOTSTRAP TOKENS | call OPERATION ID
"""
import base64, json, select, socket, struct, sys, time


def connect(path):
    s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    s.connect(path)
    return s


def ask(s, request):
    body = json.dumps(request).encode()
    s.sendall(struct.pack(">I", len(body)) + body)
    f = s.makefile("rb")
    head = f.read(4)
    if len(head) < 4:
        return "closed"
    reply = json.loads(f.read(struct.unpack(">I", head)[0]))
    if "error" in reply:
        e = reply["error"]
        return "error %s %s %s" % (e.get("domain"), e.get("code"), e.get("message"))
    result = reply.get("result")
    if isinstance(result, dict):
        return "ok " + str(result.get("identifier", result.get("status", "")))
    return "ok"


def closed(s, wait):
    """Whether the daemon turned the connection away or dropped it (it closes)."""
    return bool(select.select([s], [], [], wait)[0])


def main():
    path, mode, args = sys.argv[1], sys.argv[2], sys.argv[3:]
    if mode in ("hold", "half"):
        size = int(args[1]) if mode == "half" else 0
        held, refused = [], 0
        for _ in range(int(args[0])):
            try:
                s = connect(path)
                if size:
                    s.sendall(struct.pack(">I", size) + b"x" * (size - 1))
            except OSError:
                refused += 1
                continue
            if closed(s, 0.05):
                refused += 1
            else:
                held.append(s)
        time.sleep(0.5)  # the daemon may let an earlier sender go for a later one
        still = [s for s in held if not closed(s, 0)]
        print("held %d refused %d" % (len(still), refused + len(held) - len(still)), flush=True)
        while True:
            time.sleep(3600)
    s = connect(path)
    if mode == "save":
        for i in range(int(args[0])):
            configuration = {"identifier": "", "providerBundleIdentifier": "com.example.tunnel",
                             "serverAddress": "192.0.2.1", "localizedDescription": "member",
                             "providerConfiguration": {"padding": "p" * int(args[1])},
                             "enabled": True}
            print("save %d %s" % (i + 1, ask(s, {"id": i + 1, "op": "save",
                                                 "configuration": configuration})), flush=True)
    elif mode == "start":
        options = {"high_speed_enabled": {"number": 1}}
        for key, name in (("bootstrap", args[1]), ("extension_tokens", args[2])):
            with open(name, "rb") as f:
                options[key] = {"data": base64.b64encode(f.read()).decode()}
        print("start " + ask(s, {"id": 1, "op": "start", "identifier": args[0],
                                 "options": options}), flush=True)
    elif mode == "call":
        print(args[0] + " " + ask(s, {"id": 1, "op": args[0], "identifier": args[1]}), flush=True)


main()
