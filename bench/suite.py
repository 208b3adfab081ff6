"""The benchmark suite: the updater against the tools a person would use instead, on one machine
in one run. Started by bench/run.sh, which builds the programs first."""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from benchlib import PYTHON, BenchError, FtpServer, machine, print_table, tool_version  # noqa: E402
from cases import CASES, Context  # noqa: E402
from datasets import FULL, QUICK, DataSets  # noqa: E402


def parse_arguments():
    parser = argparse.ArgumentParser(prog="bench/run.sh", description=__doc__)
    parser.add_argument("--build", required=True, help="build directory with the programs")
    parser.add_argument("--quick", action="store_true",
                        help="smaller data, 2 runs, 10 idle seconds: a smoke run")
    parser.add_argument("--runs", type=int, help="runs of each contender per case (default 5)")
    parser.add_argument("--cases", default="1,2,3,5,6,7,8,9",
                        help="comma-separated case numbers (4 comes with 1)")
    parser.add_argument("--data", help="data directory to make and keep (default: a temporary "
                        "one, removed at the end)")
    parser.add_argument("--idle-seconds", type=int, help="length of the idle case (default 60)")
    parser.add_argument("--no-curl", action="store_true",
                        help="leave curl out of the full update (it may wait a second a file)")
    parser.add_argument("--settle", type=float, default=3.0,
                        help="idle seconds before each run of the full update (default 3: every "
                        "contender starts with the writes of the one before it on disk)")
    parser.add_argument("--nice", type=int, default=10,
                        help="niceness of every measured command (default 10: the updater's "
                        "worker thread runs at that priority, so the peers run there too)")
    arguments = parser.parse_args()
    arguments.runs = arguments.runs or (2 if arguments.quick else 5)
    arguments.idle_seconds = arguments.idle_seconds or (10 if arguments.quick else 60)
    return arguments


def verify_triggers(data, updater):
    """The trigger files written here must be what the updater's own checksum command makes of
    the same files, or every figure would be of a failing update."""
    for remote, trigger in data.served_sets():
        directory = data.served_path(remote)
        names = sorted(n for n in os.listdir(directory) if n != trigger)
        made = subprocess.run([updater, "checksum"] + [os.path.join(directory, n) for n in names],
                              capture_output=True, check=True).stdout
        with open(os.path.join(directory, trigger), "rb") as text:
            if text.read() != made:
                raise BenchError(f"{directory}/{trigger} differs from repository-updater checksum")


def main():
    args = parse_arguments()
    cases = [c.strip() for c in args.cases.split(",") if c.strip()]
    cases = sorted({"1" if c == "4" else c for c in cases})
    unknown = [c for c in cases if c not in CASES]
    if unknown:
        sys.exit(f"unknown case: {', '.join(unknown)}")

    data_dir = args.data or tempfile.mkdtemp(prefix="fr-bench-")
    data = DataSets(os.path.abspath(data_dir), QUICK if args.quick else FULL)
    log = lambda text: print(f"[{time.strftime('%H:%M:%S')}] {text}", file=sys.stderr, flush=True)
    server = None
    verdicts = []
    try:
        data.make(log)
        verify_triggers(data, os.path.join(os.path.abspath(args.build), "repository-updater"))
        server = FtpServer(data.served)
        ctx = Context(args, data, server, os.path.abspath(args.build))
        os.makedirs(ctx.work, exist_ok=True)
        print("## Benchmarks" + (" (quick)" if args.quick else ""))
        print()
        for line in machine():
            print(f"- {line}")
        print(f"- peers: {tool_version(['lftp', '--version'])}; "
              f"{tool_version(['curl', '--version'])}; {tool_version(['cksum', '--version'])}; "
              f"{tool_version(['sha256sum', '--version'])}; {tool_version(['openssl', 'version'])}; "
              f"{tool_version([PYTHON, '--version'])}")
        print(f"- medians of {args.runs} runs per contender, interleaved; every command under "
              f"nice {args.nice}; the FTP server is pyftpdlib on 127.0.0.1")
        for case in cases:
            log(f"case {case}")
            verdicts += CASES[case](ctx)
    except BenchError as error:
        print(f"\nbench: {error}", file=sys.stderr)
        return 1
    finally:
        if server is not None:
            server.stop()
        if not args.data:
            shutil.rmtree(data_dir, ignore_errors=True)
    verdict = {True: "met", False: "MISSED", None: ""}
    print_table("Targets", [[case, what, ours, limit, verdict[met]]
                            for case, what, ours, limit, met in verdicts],
                ["case", "figure", "ours", "target", ""])
    return 3 if any(v[4] is False for v in verdicts) else 0


if __name__ == "__main__":
    sys.exit(main())
