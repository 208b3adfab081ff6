"""The fleet simulation: N updaters in one process (bench/fleet_sim.cc), each with its own store
and directories, polling one nginx on 127.0.0.1 over HTTP. It measures the time from publishing a
new set until every updater installed it, what one poll with nothing new costs the server
(requests, connections, bytes, from nginx's access log and its connection counter) and the
updater (CPU), and the same per poll for curl polling the trigger file, with a plain GET and with
a conditional GET (-z). Started by bench/fleet.sh, which builds the programs first."""

import argparse
import json
import os
import random
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from benchlib import BenchError, machine, print_table, tool_version  # noqa: E402

NGINX = "/usr/sbin/nginx"
REMOTE = "fleet"
TRIGGER = "fleet.crc"

NGINX_CONFIG = """daemon off;
master_process off;
worker_processes 1;
worker_rlimit_nofile 16384;
pid {work}/nginx.pid;
error_log {work}/error.log warn;
events {{ worker_connections 8192; }}
http {{
  default_type application/octet-stream;
  log_format fleet '$msec $connection $status $bytes_sent $body_bytes_sent "$request"';
  access_log {work}/access.log fleet;
  client_body_temp_path {work}/body;
  proxy_temp_path {work}/proxy;
  fastcgi_temp_path {work}/fastcgi;
  uwsgi_temp_path {work}/uwsgi;
  scgi_temp_path {work}/scgi;
  server {{
    listen 127.0.0.1:{port};
    root {root};
    location = /nginx_status {{ stub_status; access_log off; }}
  }}
}}
"""


def parse_arguments():
    parser = argparse.ArgumentParser(prog="bench/fleet.sh", description=__doc__)
    parser.add_argument("--build", required=True, help="build directory with the programs")
    parser.add_argument("--updaters", type=int, default=1000)
    parser.add_argument("--interval", type=int, default=60, help="poll interval in seconds")
    parser.add_argument("--files", type=int, default=40, help="files in the set")
    parser.add_argument("--file-size", type=int, default=8192, help="mean file size in bytes")
    parser.add_argument("--changed", type=int, default=2, help="files the new set changes")
    parser.add_argument("--curl-polls", type=int, default=1000, help="polls of each curl peer")
    parser.add_argument("--work", help="work directory to keep (default: a temporary one)")
    return parser.parse_args()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class Nginx:
    """nginx serving `root` on 127.0.0.1, its access log and its connection counter sampled."""

    def __init__(self, work, root):
        self.work = work
        os.makedirs(work, exist_ok=True)
        self.port = free_port()
        self.url = f"http://127.0.0.1:{self.port}"
        config = os.path.join(work, "nginx.conf")
        with open(config, "w") as out:
            out.write(NGINX_CONFIG.format(work=work, port=self.port, root=root))
        self.process = subprocess.Popen([NGINX, "-c", config, "-p", work],
                                        stderr=open(os.path.join(work, "stderr"), "w"))
        for _ in range(300):
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                break
            except OSError:
                time.sleep(0.1)
        else:
            self.stop()
            raise BenchError("nginx did not start")

    def accepted(self):
        """The connections nginx accepted so far, this request's own left out, and the CPU
        seconds nginx used so far."""
        with urllib.request.urlopen(f"{self.url}/nginx_status", timeout=10) as reply:
            accepted = int(reply.read().decode().splitlines()[2].split()[0]) - 1
        with open(f"/proc/{self.process.pid}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
        return accepted, (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def requests(self, start, end):
        """The access log's requests in [start, end]: (count, bytes sent, body bytes, connections,
        statuses)."""
        count = sent = body = 0
        connections, statuses = set(), {}
        with open(os.path.join(self.work, "access.log")) as log:
            for line in log:
                msec, connection, status, bytes_sent, body_bytes = line.split(" ", 5)[:5]
                if start <= float(msec) <= end:
                    count += 1
                    sent += int(bytes_sent)
                    body += int(body_bytes)
                    connections.add(connection)
                    statuses[status] = statuses.get(status, 0) + 1
        return count, sent, body, len(connections), statuses

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def make_set(served, files, mean_size, updater):
    directory = os.path.join(served, REMOTE)
    os.makedirs(directory, exist_ok=True)
    generator = random.Random(15)
    paths = []
    for index in range(files):
        path = os.path.join(directory, f"f{index:03d}.dat")
        with open(path, "wb") as out:
            out.write(generator.randbytes(generator.randint(mean_size // 2, mean_size * 3 // 2)))
        paths.append(path)
    trigger = subprocess.run([updater, "checksum"] + paths, capture_output=True, check=True).stdout
    with open(os.path.join(directory, TRIGGER), "wb") as out:
        out.write(trigger)
    return sum(os.path.getsize(p) for p in paths), len(trigger)


def run_fleet(args, nginx, served, work):
    argv = [os.path.join(args.build, "bench", "fleet_sim"), "--updaters", str(args.updaters),
            "--server", nginx.url, "--remote-dir", REMOTE, "--trigger", TRIGGER,
            "--served", os.path.join(served, REMOTE), "--work", os.path.join(work, "fleet"),
            "--interval", str(args.interval), "--changed", str(args.changed)]
    events = {}
    accepted = {}  # nginx's count of connections when the quiet window began and ended
    stderr_path = os.path.join(work, "fleet_sim.stderr")
    with open(stderr_path, "w") as stderr:
        process = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=stderr, text=True)
        for line in process.stdout:
            event = json.loads(line)
            events[event["event"]] = event
            if event["event"] in ("quiet_start", "quiet"):
                accepted[event["event"]] = nginx.accepted()
            print(f"[{time.strftime('%H:%M:%S')}] fleet: {line.strip()}", file=sys.stderr,
                  flush=True)
        status = process.wait()
    if status != 0 or "done" not in events:
        with open(stderr_path) as text:
            raise BenchError(f"fleet_sim exited {status}: {text.read()}")
    (a0, c0), (a1, c1) = accepted["quiet_start"], accepted["quiet"]
    return events, a1 - a0, c1 - c0


def curl_polls(nginx, work, polls):
    """Polls of the trigger file by curl, one process each, in blocks per way of asking; per way:
    (CPU per poll, wall per poll, requests, bytes sent, body bytes, connections, statuses, polls).
    """
    url = f"{nginx.url}/{REMOTE}/{TRIGGER}"
    plain, conditional = os.path.join(work, "curl.crc"), os.path.join(work, "curl-z.crc")
    ways = {
        "curl GET": ["curl", "-s", "-o", plain, url],
        "curl -z (If-Modified-Since)": ["curl", "-s", "-R", "-z", conditional, "-o", conditional,
                                        url],
    }
    # A copy with the server's time, for -z to ask whether the file changed since.
    subprocess.run(["curl", "-s", "-R", "-o", conditional, url], check=True)
    results = {}
    for name, argv in ways.items():
        time.sleep(1)
        before, cpu_before = nginx.accepted()
        start = time.time()
        cpu = []
        for _ in range(polls):
            child = subprocess.Popen(argv)
            _, status, usage = os.wait4(child.pid, 0)
            if status != 0:
                raise BenchError(f"{' '.join(argv)} failed")
            cpu.append(usage.ru_utime + usage.ru_stime)
        end = time.time()
        after, cpu_after = nginx.accepted()
        time.sleep(1)  # nginx logs a request once it is sent
        results[name] = (statistics.median(cpu), (end - start) / polls,
                         *nginx.requests(start, end), after - before - 1, cpu_after - cpu_before,
                         polls)
    return results


def main():
    args = parse_arguments()
    work = args.work or tempfile.mkdtemp(prefix="fr-fleet-")
    work = os.path.abspath(work)
    log = lambda text: print(f"[{time.strftime('%H:%M:%S')}] {text}", file=sys.stderr, flush=True)
    served = os.path.join(work, "served")
    shutil.rmtree(os.path.join(work, "fleet"), ignore_errors=True)
    shutil.rmtree(served, ignore_errors=True)
    nginx = None
    try:
        updater = os.path.join(args.build, "repository-updater")
        set_bytes, trigger_bytes = make_set(served, args.files, args.file_size, updater)
        nginx = Nginx(os.path.join(work, "nginx"), served)
        load = " ".join(f"{x:.2f}" for x in os.getloadavg())
        log(f"{args.updaters} updaters, interval {args.interval} s, nginx at {nginx.url}")
        events, q_accepted, q_server_cpu = run_fleet(args, nginx, served, work)
        log("curl polls")
        peers = curl_polls(nginx, work, args.curl_polls)
        quiet = events["quiet"]
        q_requests, q_sent, q_body, q_conns, q_status = nginx.requests(quiet["start"],
                                                                       quiet["end"])
        conv = events["converged"]
        p_requests, p_sent = nginx.requests(conv["start"], conv["end"])[:2]
    except BenchError as error:
        print(f"\nbench: {error}", file=sys.stderr)
        return 1
    finally:
        if nginx is not None:
            nginx.stop()
        if not args.work:
            shutil.rmtree(work, ignore_errors=True)

    polls = quiet["passes"]
    print("## Fleet simulation")
    print()
    for line in machine():
        print(f"- {line}")
    print(f"- load average at the start of the fleet: {load}")
    print(f"- {args.updaters} updaters in one process (the library's update slot and worker loop "
          f"each, with its own property store, root directory and configuration block), HTTP "
          f"to nginx on 127.0.0.1; poll interval {args.interval} s, the updaters started one "
          f"after another over one interval so that their polls spread evenly over it")
    print(f"- the set: {args.files} files, {set_bytes:,} bytes, trigger file {trigger_bytes:,} "
          f"bytes; the new set changes {args.changed} files")
    nginx_version = subprocess.run([NGINX, "-v"], capture_output=True, text=True).stderr.strip()
    print(f"- peers: {tool_version(['curl', '--version'])}; {nginx_version}")
    warm, done = events["warm"], events["done"]
    print(f"- the fleet process: {warm['threads']} threads, {warm['descriptors']} descriptors, "
          f"VmRSS {warm['vm_rss']} once every updater had installed the set, VmHWM "
          f"{done['vm_hwm']}; {done['errors']} error entries in the log; every worker stopped "
          f"within {done['stop_s']:.2f} s")

    print_table("Time from publishing a new set until the updaters installed it",
                [[f"{conv['installed']} of {args.updaters}", f"{conv['first_s']:.1f} s",
                  f"{conv['median_s']:.1f} s", f"{conv['p90_s']:.1f} s", f"{conv['p99_s']:.1f} s",
                  f"{conv['last_s']:.1f} s", f"{args.interval} s",
                  f"{p_requests / args.updaters:.2f}", f"{p_sent / args.updaters:,.0f}",
                  f"{conv['pass_cpu_ms']:.2f} ms"]],
                ["installed", "first", "median", "90 %", "99 %", "all", "poll interval",
                 "requests / updater", "bytes sent / updater", "updater CPU / pass"])

    rows = [["repository-updater (in the fleet)", f"{polls}",
             f"{q_requests / polls:.2f}", f"{q_accepted / polls:.2f}",
             f"{q_sent / polls:,.0f}", f"{q_body / polls:,.0f}",
             f"{q_server_cpu * 1000 / polls:.2f} ms",
             f"{quiet['pass_cpu_ms']:.2f} ms", f"{quiet['process_cpu_per_pass_ms']:.2f} ms",
             f"{quiet['pass_wall_ms']:.1f} ms"]]
    for name, (cpu, wall, requests, sent, body, _, _, accepted, server_cpu, n) in peers.items():
        rows.append([name, f"{n}", f"{requests / n:.2f}", f"{accepted / n:.2f}",
                     f"{sent / n:,.0f}", f"{body / n:,.0f}", f"{server_cpu * 1000 / n:.2f} ms",
                     f"{cpu * 1000:.2f} ms", "", f"{wall * 1000:.1f} ms"])
    print_table("One poll with nothing new",
                rows, ["poller", "polls", "requests / poll", "connections / poll",
                       "bytes sent / poll", "of them body", "nginx CPU / poll",
                       "updater CPU / poll", "process CPU / poll (with the idle wait steps)",
                       "wall / poll"])
    print(f"\nStatuses in the quiet window: {q_status}; request connections {q_conns}. "
          f"Failed passes in the window: {quiet['failed']}.")
    return 0


if __name__ == "__main__":
    sys.exit(main())
