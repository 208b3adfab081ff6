#!/usr/bin/python3
# An FTP server for the tests, over pyftpdlib (Debian's python3-pyftpdlib).
#
# Serves one directory on 127.0.0.1 at a free port, prints that port on stdout once it listens,
# and exits when its stdin closes, so a test that crashes leaves nothing behind.
#
# Run it with /usr/bin/python3 (the Debian interpreter that has pyftpdlib and OpenSSL).

import argparse
import logging
import os
import sys
import threading

from pyftpdlib.authorizers import DummyAuthorizer
from pyftpdlib.handlers import FTPHandler
from pyftpdlib.servers import FTPServer


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--root", required=True)  # the directory served
    parser.add_argument("--user", action="append", default=[])  # NAME:PASSWORD, repeatable
    parser.add_argument("--anonymous", action="store_true")
    # MLSD and MLST refused as unknown commands: clients fall back to LIST.
    parser.add_argument("--no-mlsd", action="store_true")
    # Explicit TLS, required on both channels.
    parser.add_argument("--tls-cert")
    parser.add_argument("--tls-key")
    parser.add_argument("--transcript")  # receives every command, PASS masked
    arguments = parser.parse_args()
    logging.basicConfig(level=logging.WARNING, stream=sys.stderr)
    server = FTPServer(("127.0.0.1", 0), make_handler(arguments))
    print(server.address[1], flush=True)
    threading.Thread(target=lambda: server.serve_forever(handle_exit=False), daemon=True).start()
    sys.stdin.buffer.read()
    os._exit(0)


def make_handler(arguments):
    if arguments.tls_cert:
        from pyftpdlib.handlers import TLS_FTPHandler

        base = TLS_FTPHandler
    else:
        base = FTPHandler

    transcript = open(arguments.transcript or os.devnull, "a", buffering=1)

    class Handler(base):
        def pre_process_command(self, line, cmd, arg):
            transcript.write("PASS ****\n" if cmd == "PASS" else line + "\n")
            return super().pre_process_command(line, cmd, arg)

    if arguments.no_mlsd:
        Handler.proto_cmds = {name: info for name, info in base.proto_cmds.items()
                              if name not in ("MLSD", "MLST")}
    if arguments.tls_cert:
        from pyftpdlib.handlers import TLS_DTPHandler

        class DataHandler(TLS_DTPHandler):
            # A client may start the TLS handshake on a passive data connection before it sends
            # the transfer command. pyftpdlib takes an idle data connection that turns readable
            # for a closed one and resets it; let the handshake proceed instead.
            def readable(self):
                return self._ssl_accepting or super().readable()

        Handler.dtp_handler = DataHandler
        Handler.certfile = arguments.tls_cert
        Handler.keyfile = arguments.tls_key
        Handler.tls_control_required = True
        Handler.tls_data_required = True

    authorizer = DummyAuthorizer()
    for entry in arguments.user:
        name, _, password = entry.partition(":")
        authorizer.add_user(name, password, arguments.root, perm="elr")
    if arguments.anonymous:
        authorizer.add_anonymous(arguments.root, perm="elr")
    Handler.authorizer = authorizer
    Handler.banner = "Test server ready."
    Handler.permit_foreign_addresses = False
    Handler.auth_failed_timeout = 0
    return Handler


if __name__ == "__main__":
    main()
