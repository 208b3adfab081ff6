#!/usr/bin/python3
# An FTP or HTTP server whose faults a test scripts, for what real servers will not do on demand:
# files shorter or longer than listed or announced, transfers broken off, stalled, trickling or
# endless, replies that refuse or stall, garbage, connections closed without an answer.
#
#     scripted_server.py ftp|http
#
# It listens on 127.0.0.1 at a free port (or $FR_TEST_PORT), prints that port on stdout, then takes
# commands on stdin, one a line, and answers each with one line on stdout. It exits when its stdin
# closes. Words of a command are plain (an operation, a number, a name such as "drip"), "-" for
# none, or a text as "x" and its bytes in hexadecimal. Commands (tests/support/scripted_ftp_server.h
# and scripted_http_server.h tell what they mean):
#
#     dir PATH | file PATH CONTENT LISTED FAULT OFFSET TIMES | rule VERB ARGUMENT ACTION REPLY TIMES
#     transcript -> LINE...                                                                    (ftp)
#     serve TARGET STATUS BODY FRAMING LENGTH FAULT OFFSET RAW HEADER...
#     requests -> CONNECTION:LINE:HEADER:...  ...                                              (http)

import collections
import os
import posixpath
import socket
import socketserver
import sys
import threading
import time

lock = threading.Lock()
dirs = {"/"}
files = {}  # path: [content, listed size or None, fault, offset, times the fault still strikes]
rules = []  # [verb, argument or None, action, reply, times]
transcript, requests = [], []
answers = collections.defaultdict(collections.deque)
default = (404, "Not found.\n", "length", None, "none", 0, None, [])
accepted = 0
FILLER = b"e" * 65536


def word(text):
    if text == "-":
        return None
    return bytes.fromhex(text[1:]).decode("latin-1") if text.startswith("x") else text


def hexword(text):
    return "x" + text.encode("latin-1").hex()


# A connection: lines and raw bytes, and waiting until the other side closes.
class Peer:
    def __init__(self, sock):
        self.sock, self.data = sock, b""

    def send(self, text):
        try:
            self.sock.sendall(text if isinstance(text, bytes) else text.encode("latin-1"))
            return True
        except OSError:
            return False

    def read_until(self, end, limit=65536):
        while end not in self.data:
            try:
                chunk = self.sock.recv(4096) if len(self.data) <= limit else b""
            except OSError:
                chunk = b""
            if not chunk:
                return None
            self.data += chunk
        head, _, self.data = self.data.partition(end)
        return head.decode("latin-1")

    def wait_closed(self):
        try:
            while self.sock.recv(4096):
                pass
        except OSError:
            pass


class FtpSession(socketserver.BaseRequestHandler):
    def handle(self):
        self.request.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.peer, self.cwd, self.logged_in, self.passive = Peer(self.request), "/", False, None
        if not self.peer.send("220 Scripted server ready.\r\n"):
            return
        while (line := self.peer.read_until(b"\n")) is not None:
            line = line.removesuffix("\r")
            verb, _, argument = line.partition(" ")
            verb = verb.upper()
            with lock:
                transcript.append("PASS ****" if verb == "PASS" else line)
                rule = next((r for r in rules if r[4] != 0 and r[0] == verb
                             and r[1] in (None, argument)), None)
                if rule and rule[4] > 0:
                    rule[4] -= 1
            if rule and rule[2] == "stall":
                return self.peer.wait_closed()
            if rule and rule[2] == "close":
                return
            if not (self.peer.send(rule[3]) if rule else self.command(verb, argument)):
                return

    def command(self, verb, argument):
        reply = self.peer.send
        if verb in ("USER", "PASS"):
            self.logged_in = verb == "PASS"
            return reply("230 Logged in.\r\n" if self.logged_in else "331 Password required.\r\n")
        if verb == "QUIT":
            return reply("221 Goodbye.\r\n") and False
        if not self.logged_in:
            return reply("530 Please log in first.\r\n")
        path = posixpath.normpath(posixpath.join(self.cwd, argument)).replace("//", "/")
        if verb == "PWD":
            return reply('257 "%s" is the current directory.\r\n' % self.cwd)
        if verb == "CWD" and path in dirs:
            self.cwd = path
            return reply("250 Directory changed.\r\n")
        if verb == "TYPE":
            return reply("200 Type set.\r\n")
        if verb == "EPSV":
            self.passive = socket.create_server(("127.0.0.1", 0))
            return reply("229 Entering Extended Passive Mode (|||%d|)\r\n" % self.passive.getsockname()[1])
        if verb == "MLSD":
            return self.transfer(self.listing())
        with lock:
            found = files.get(path) if verb == "RETR" else None
            faulty = found and found[2] != "none" and found[4] != 0
            if faulty and found[4] > 0:
                found[4] -= 1
        if found:
            return self.transfer(found[0], found if faulty else None)
        return reply("550 No such file or directory.\r\n" if verb in ("CWD", "RETR")
                     else "502 Command not implemented.\r\n")

    def listing(self):
        lines = []
        with lock:
            for sub in sorted(d for d in dirs if d != "/" and posixpath.dirname(d) == self.cwd):
                lines.append("type=dir;modify=20260105123400; " + posixpath.basename(sub))
            for path, (content, listed, *_) in sorted(files.items()):
                if posixpath.dirname(path) == self.cwd:
                    lines.append("type=file;size=%d;modify=20260105123400; %s" % (
                        len(content) if listed is None else listed, posixpath.basename(path)))
        return "".join(line + "\r\n" for line in lines).encode("latin-1")

    def transfer(self, body, fault=None):
        if not self.peer.send("150 Opening data connection.\r\n"):
            return False
        data = None
        if self.passive:
            self.passive.settimeout(30)
            try:
                data = Peer(self.passive.accept()[0])
            except OSError:
                pass
            self.passive.close()
            self.passive = None
        if data is None:
            return self.peer.send("425 Cannot open data connection.\r\n")
        kind, offset = (fault[2], fault[3]) if fault else ("none", len(body))
        sent = data.send(body[:offset])
        if kind == "drip":
            for at in range(offset, len(body)):
                time.sleep(1)
                sent = sent and data.send(body[at:at + 1])
        while kind == "endless" and data.send(FILLER):
            pass
        if kind == "stall":
            self.peer.wait_closed()
        data.sock.close()
        if kind == "break":
            return self.peer.send("426 Connection closed; transfer aborted.\r\n")
        if kind in ("none", "drip"):
            return self.peer.send("226 Transfer complete.\r\n" if sent else "426 Transfer aborted.\r\n")
        return False


class HttpSession(socketserver.BaseRequestHandler):
    def handle(self):
        global accepted
        with lock:
            accepted += 1
            connection = accepted
        peer = Peer(self.request)
        while (head := peer.read_until(b"\r\n\r\n")) is not None:
            line, *headers = head.split("\r\n")
            target = (line.split(" ") + ["", ""])[1]
            with lock:
                requests.append([str(connection)] + [hexword(t) for t in [line] + headers])
                queue = answers.get(target)
                answer = (queue.popleft() if len(queue) > 1 else queue[0]) if queue else default
            if not self.respond(peer, *answer):
                return

    @staticmethod
    def respond(peer, status, body, framing, length, fault, offset, raw, headers):
        if fault == "stall-before-head":
            return peer.wait_closed()
        if fault == "close-before-head":
            return False
        if raw is not None:
            return peer.send(raw)
        head = ["HTTP/1.1 %d Scripted" % status]
        if framing == "length":
            head.append("Content-Length: %s" % (len(body) if length is None else length))
        elif framing == "chunked":
            head.append("Transfer-Encoding: chunked")
        head += headers
        faulty = fault != "none"
        if faulty:
            body = body[:offset]
        if framing == "chunked":
            body = "".join("%x\r\n%s\r\n" % (len(body[at:at + 1000]), body[at:at + 1000])
                           for at in range(0, len(body), 1000)) + ("" if faulty else "0\r\n\r\n")
        if not peer.send("\r\n".join(head) + "\r\n\r\n" + body):
            return False
        if fault == "stall-after":
            peer.wait_closed()
        while fault == "endless-after" and peer.send(FILLER):
            pass
        return not faulty


def serve_commands():
    for line in sys.stdin:
        op, *args = line.split()
        out = "ok"
        with lock:
            if op == "dir" or op == "file":
                name = path = posixpath.normpath("/" + word(args[0])).replace("//", "/")
                while path != "/":
                    path = posixpath.dirname(path)
                    dirs.add(path)
                if op == "dir":
                    dirs.add(name)
                else:
                    files[name] = [word(args[1]).encode("latin-1"),
                                            None if args[2] == "-" else int(args[2]),
                                            args[3], int(args[4]), int(args[5])]
            elif op == "rule":
                rules.append([args[0], word(args[1]), args[2], word(args[3]), int(args[4])])
            elif op == "transcript":
                out = " ".join(hexword(t) for t in transcript)
            elif op == "serve":
                answer = (int(args[1]), word(args[2]), args[3], word(args[4]), args[5], int(args[6]),
                          word(args[7]), [word(h) for h in args[8:]])
                answers[word(args[0])].append(answer)
            elif op == "requests":
                out = " ".join(":".join(request) for request in requests)
        print(out, flush=True)
    os._exit(0)


def main():
    session = FtpSession if sys.argv[1:] == ["ftp"] else HttpSession
    socketserver.ThreadingTCPServer.daemon_threads = True
    server = socketserver.ThreadingTCPServer(
        ("127.0.0.1", int(os.environ.get("FR_TEST_PORT", "0"))), session)
    print(server.server_address[1], flush=True)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    serve_commands()


if __name__ == "__main__":
    main()
