"""Measuring commands, the FTP server on loopback, medians and the printed tables."""

import os
import platform
import shlex
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from dataclasses import dataclass, field

SOURCE_DIR = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PYTHON = "/usr/bin/python3"  # Debian's interpreter: it has pyftpdlib


class BenchError(RuntimeError):
    """A measured command failed or produced something else than expected."""


@dataclass
class Sample:
    wall: float  # seconds
    cpu: float = 0.0  # user + system seconds of the command and its children
    max_rss_kb: int = 0  # the largest resident set of the command (or a child), in KiB


@dataclass
class Series:
    """The samples of one contender in one case."""

    name: str
    command: str = ""
    samples: list = field(default_factory=list)

    def median(self, what="wall"):
        values = [getattr(s, what) for s in self.samples]
        return statistics.median(values) if values else float("nan")

    def spread(self, what="wall"):
        values = [getattr(s, what) for s in self.samples]
        return (min(values), max(values)) if values else (float("nan"),) * 2


def run_measured(argv, cwd=None, env=None, timeout=900, expect=None, nice=0, rss=False):
    """Runs argv to its end and returns a Sample. `expect` is a text its stdout must hold.
    With `rss`, the command runs under /usr/bin/time for its largest resident set: a child of
    this process would report at least this interpreter's, which it had between fork and exec."""
    if nice:
        argv = ["nice", "-n", str(nice)] + list(argv)
    rss_file = None
    if rss:
        rss_file = tempfile.NamedTemporaryFile(mode="r", suffix=".rss")
        argv = ["/usr/bin/time", "-f", "%M", "-o", rss_file.name] + argv
    with tempfile.TemporaryFile() as out:
        start = time.perf_counter()
        child = subprocess.Popen(argv, cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=out,
                                 stderr=subprocess.STDOUT)
        # A blocking wait, so that the measuring process takes no CPU from the measured one.
        watchdog = threading.Timer(timeout, child.kill)
        watchdog.start()
        _, status, usage = os.wait4(child.pid, 0)
        watchdog.cancel()
        wall = time.perf_counter() - start
        child.returncode = os.waitstatus_to_exitcode(status)
        if wall >= timeout:
            raise BenchError(f"{shlex.join(argv)}: no end within {timeout} s")
        out.seek(0)
        output = out.read().decode(errors="replace")
    if child.returncode != 0 or (expect is not None and expect not in output):
        raise BenchError(f"{shlex.join(argv)} (in {cwd}) exited {child.returncode}:\n{output}")
    max_rss_kb = 0
    if rss_file is not None:
        max_rss_kb = int(rss_file.read().split()[-1])
        rss_file.close()
    return Sample(wall=wall, cpu=usage.ru_utime + usage.ru_stime, max_rss_kb=max_rss_kb)


class FtpServer:
    """tests/servers/ftp_server.py on 127.0.0.1 at a free port, anonymous and read-only."""

    def __init__(self, root):
        script = os.path.join(SOURCE_DIR, "tests", "servers", "ftp_server.py")
        self.process = subprocess.Popen([PYTHON, script, "--root", root, "--anonymous"],
                                        stdin=subprocess.PIPE, stdout=subprocess.PIPE)
        line = self.process.stdout.readline().strip()
        if not line.isdigit():
            self.stop()
            raise BenchError("the FTP server did not start")
        self.port = int(line)
        self.url = f"ftp://127.0.0.1:{self.port}"

    def stop(self):
        if self.process.poll() is None:
            self.process.stdin.close()  # the server ends when its stdin closes
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def thread_cpu_seconds(pid):
    """CPU time of every thread of a running process, from the scheduler's nanosecond counters."""
    total = 0
    task_dir = f"/proc/{pid}/task"
    for tid in os.listdir(task_dir):
        try:
            with open(f"{task_dir}/{tid}/schedstat") as stat:
                total += int(stat.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass  # the thread ended meanwhile
    return total / 1e9


def stop_process(process, sig=signal.SIGTERM, timeout=30):
    if process.poll() is None:
        process.send_signal(sig)
        try:
            process.wait(timeout=timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def machine():
    """The lines that say where figures were taken."""
    model = "unknown"
    try:
        with open("/proc/cpuinfo") as info:
            for line in info:
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    return [
        f"date: {time.strftime('%Y-%m-%d %H:%M %Z')}",
        f"nproc: {os.cpu_count()}, CPU: {model}",
        f"kernel: {platform.release()}, load average at start: {load}",
    ]


def tool_version(argv):
    try:
        out = subprocess.run(argv, capture_output=True, text=True, timeout=10).stdout
        return out.splitlines()[0].strip() if out else "?"
    except (OSError, subprocess.TimeoutExpired):
        return "?"


def fmt_seconds(value):
    if value != value:  # NaN
        return "-"
    if value < 1:
        return f"{value * 1000:.1f} ms"
    return f"{value:.2f} s"


def print_table(title, rows, header):
    """rows: lists of texts. Prints a Markdown table."""
    print(f"\n### {title}\n")
    print("| " + " | ".join(header) + " |")
    print("|" + "|".join("---" for _ in header) + "|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    sys.stdout.flush()


def interleave(rounds, contenders, before_each=None, settle=0.0):
    """Runs every contender once per round, in an order that rotates from round to round, so
    that a burst of load on the shared machine does not fall on one contender only. With
    `settle`, every run starts after that many idle seconds, so that no contender inherits what
    the one before it left in memory (see bench/RESULTS.md on memory freed back to the host).
    contenders: list of (Series, callable returning a Sample)."""
    for round_index in range(rounds):
        shift = round_index % len(contenders)
        for series, measure in contenders[shift:] + contenders[:shift]:
            if before_each is not None:
                before_each(series)
            if settle:
                time.sleep(settle)
            series.samples.append(measure())
