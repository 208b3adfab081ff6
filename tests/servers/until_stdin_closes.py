#!/usr/bin/python3
# Runs a server program that does not watch its stdin (vsftpd) and ends it, with every process
# it started, when this wrapper's stdin closes or the program exits.
#
# Usage: until_stdin_closes.py PROGRAM [ARGUMENT...]

import os
import signal
import subprocess
import sys
import threading


def main():
    if len(sys.argv) < 2:
        sys.exit("usage: until_stdin_closes.py PROGRAM [ARGUMENT...]")
    # A session of its own, so that the program's own children (one per FTP session) go too.
    child = subprocess.Popen(sys.argv[1:], stdin=subprocess.DEVNULL, start_new_session=True)
    closed = threading.Event()

    def watch():
        try:
            while sys.stdin.buffer.read(4096):
                pass
        finally:
            closed.set()

    threading.Thread(target=watch, daemon=True).start()
    while not closed.wait(0.2):
        if child.poll() is not None:
            break
    try:
        os.killpg(child.pid, signal.SIGKILL)
    except ProcessLookupError:
        pass
    child.wait()
    sys.exit(0)


if __name__ == "__main__":
    main()
