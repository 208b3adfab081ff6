"""The cases of the suite. Each measures our figures and the peers' in the same run, interleaved,
prints a table and returns its verdicts: (case, what, our figure, the limit, met)."""

import json
import os
import shlex
import shutil
import subprocess
import time

from benchlib import (PYTHON, BenchError, Sample, Series, fmt_seconds, interleave, print_table,
                      run_measured, stop_process, thread_cpu_seconds)
from datasets import (CHANGED_FILE, MIB, TRIGGER_FULL, TRIGGER_MANY, ChangingFile)

PYTHON_CRC = """
import sys, zlib
for path in sys.argv[1:]:
    crc = 0
    with open(path, "rb") as f:
        while block := f.read(1 << 20):
            crc = zlib.crc32(block, crc)
    print(f"{crc:x} {path}")
"""


class Context:
    def __init__(self, args, data, server, build_dir):
        self.args = args
        self.data = data
        self.server = server
        self.updater = os.path.join(build_dir, "repository-updater")
        self.update_bench = os.path.join(build_dir, "bench", "update_bench")
        self.work = os.path.join(data.data_dir, "work")
        self.nice = args.nice

    def fresh_dir(self, name):
        path = os.path.join(self.work, name)
        shutil.rmtree(path, ignore_errors=True)
        os.makedirs(path)
        return path

    def config(self, name, remote_dir, trigger, root):
        """A configuration of one processor with only the required keys, its store in `root`."""
        path = os.path.join(self.work, f"{name}.toml")
        with open(path, "w") as out:
            out.write(f'[store]\npath = "{root}/store.db"\n\n'
                      f'[log]\nfile = "{self.work}/{name}.log"\n\n'
                      f'[[processor]]\nname = "MailFilter0"\nserver = "{self.server.url}"\n'
                      f'remote_dir = "{remote_dir}"\nroot_dir = "{root}"\n'
                      f'trigger_file = "{trigger}"\nextensions = "dat"\n')
        return path

    def once(self, config, expect, rss=False):
        return run_measured([self.updater, "once", "-c", config], expect=expect, nice=self.nice,
                            rss=rss)

    def in_process(self, benchmark, env, min_time):
        """One run of a benchmark of update_bench: its JSON entry (times in milliseconds)."""
        argv = [self.update_bench, f"--benchmark_filter=^{benchmark}(/|$)", "--benchmark_format=json",
                f"--benchmark_min_time={min_time}"]
        if self.nice:
            argv = ["nice", "-n", str(self.nice)] + argv
        done = subprocess.run(argv, env={**os.environ, **env}, capture_output=True, text=True,
                              timeout=900)
        try:
            entry = json.loads(done.stdout)["benchmarks"][0]
        except (ValueError, KeyError, IndexError):
            raise BenchError(f"{benchmark}: {done.stdout}\n{done.stderr}") from None
        if entry.get("error_occurred"):
            raise BenchError(f"{benchmark}: {entry.get('error_message')}")
        return entry


def tree_bytes(path):
    total = 0
    for base, _, files in os.walk(path):
        total += sum(os.path.getsize(os.path.join(base, name)) for name in files)
    return total


def ratio(ours, theirs):
    return f"{ours / theirs:.2f}" if theirs > 0 else "-"


def case_full_update(ctx):
    """1 and 4: every file of a new set into empty directories, and the peak memory of it."""
    data = ctx.data
    names = data.full_names()
    expected_bytes = data.full_bytes()
    remote = data.full_dir
    root = os.path.join(ctx.work, "full-ours")
    config = ctx.config("full", remote, TRIGGER_FULL, root)
    peers_dir = os.path.join(ctx.work, "full-peer")

    def ours():
        shutil.rmtree(root, ignore_errors=True)
        return ctx.once(config, f"updated {len(names)} files", rss=True)

    def peer(argv, cwd_is_target):
        def measure():
            target = ctx.fresh_dir("full-peer")
            sample = run_measured(argv(target), cwd=target if cwd_is_target else ctx.work,
                                  nice=ctx.nice, rss=True)
            got = tree_bytes(target)
            if got < expected_bytes:
                raise BenchError(f"{argv(target)[0]} fetched {got} of {expected_bytes} bytes")
            return sample
        return measure

    urls = [f"{ctx.server.url}/{remote}/{name}" for name in names + [TRIGGER_FULL]]
    lftp = lambda target: ["lftp", "-e", f"mirror {remote} {target}/{remote}; quit", ctx.server.url]
    curl = lambda target: ["curl", "-s", "--remote-name-all"] + urls
    series = [Series("repository-updater once", f"repository-updater once -c {config}"),
              Series("lftp mirror", shlex.join(lftp("DEST"))),
              Series("curl, all files in one invocation",
                     f"curl -s --remote-name-all {urls[0]} ... ({len(urls)} URLs)")]
    contenders = [(series[0], ours), (series[1], peer(lftp, False)), (series[2], peer(curl, True))]
    if ctx.args.no_curl:
        series, contenders = series[:2], contenders[:2]
    interleave(ctx.args.runs, contenders, settle=ctx.args.settle)
    shutil.rmtree(root, ignore_errors=True)
    shutil.rmtree(peers_dir, ignore_errors=True)

    mine = series[0].median()
    best_peer = min(s.median() for s in series[1:])
    rows = []
    for s in series:
        low, high = s.spread()
        rows.append([s.name, fmt_seconds(s.median()), f"{fmt_seconds(low)} .. {fmt_seconds(high)}",
                     ratio(mine, s.median()), f"`{s.command}`"])
    print_table(f"1. Full update: {len(names)} files, {expected_bytes // MIB} MiB, into empty "
                f"directories", rows, ["contender", "median", "range", "ours / it", "command"])

    largest = max(MIB, data.sizes.full_big)
    limit_kb = (largest + 16 * MIB) // 1024
    rss = [s.max_rss_kb for s in series[0].samples]
    print_table("4. Peak memory of the full update (maximum resident set)",
                [[series[0].name, f"{max(rss):,} KiB", f"{limit_kb:,} KiB (largest file + 16 MiB)",
                  "/usr/bin/time %M of the command"]] +
                [[s.name, f"{max(x.max_rss_kb for x in s.samples):,} KiB", "", ""]
                 for s in series[1:]],
                ["contender", "largest of the runs", "limit", "how"])
    return [("1", "full update, ours / faster peer", f"{mine / best_peer:.2f}", "1.10",
             mine <= 1.1 * best_peer),
            ("4", "peak resident set", f"{max(rss):,} KiB", f"{limit_kb:,} KiB",
             max(rss) <= limit_kb)]


def case_poll(ctx):
    """2: the pass that finds nothing new."""
    remote = ctx.data.full_dir
    root = ctx.fresh_dir("poll")
    config = ctx.config("poll", remote, TRIGGER_FULL, root)
    ctx.once(config, "updated")  # installs the set once; every measured pass then finds nothing
    inproc_root = os.path.join(ctx.work, "poll-inproc")
    env = {"FR_BENCH_SERVER": ctx.server.url, "FR_BENCH_REMOTE_DIR": remote,
           "FR_BENCH_TRIGGER": TRIGGER_FULL, "FR_BENCH_ROOT": inproc_root}
    out = os.path.join(ctx.work, "poll-curl.crc")
    curl = ["curl", "-s", "-o", out, f"{ctx.server.url}/{remote}/{TRIGGER_FULL}"]

    def cycle():
        entry = ctx.in_process("BM_NoChangeCycle", env, 0.3)
        return Sample(wall=entry["real_time"] / 1000)

    series = [Series("repository-updater once (whole command)", f"repository-updater once -c {config}"),
              Series("the cycle in-process (RunUpdateCycle)",
                     "update_bench --benchmark_filter=BM_NoChangeCycle"),
              Series("curl, the trigger file only", shlex.join(curl))]
    interleave(ctx.args.runs, [(series[0], lambda: ctx.once(config, "up to date")),
                               (series[1], cycle),
                               (series[2], lambda: run_measured(curl, nice=ctx.nice))])
    theirs = series[2].median()
    rows = [[s.name, fmt_seconds(s.median()), ratio(s.median(), theirs), f"`{s.command}`"]
            for s in series]
    print_table("2. Poll with nothing new", rows, ["contender", "median", "/ curl", "command"])
    # A scheduled pass runs inside the service, whose process, store and worker exist already:
    # the cycle is what it pays. The whole command adds a process start and the store's set-up.
    return [("2", "poll, the cycle (what a scheduled pass pays) / curl",
             f"{series[1].median() / theirs:.2f}", "1.50", series[1].median() <= 1.5 * theirs),
            ("2", "poll, the whole `once` command / curl", f"{series[0].median() / theirs:.2f}",
             "reported", None)]


def case_one_changed(ctx):
    """3: one changed file among many small ones; how the time grows with the set."""
    results = {}
    for count in ctx.data.sizes.many_counts:
        remote = ctx.data.many_dir(count)
        served = ctx.data.served_path(remote)
        changing = ChangingFile(served)
        # Every contender starts from the installed set, copied here with its times: fetching
        # thousands of files over FTP first would hold as many ports in TIME_WAIT for a minute.
        root = ctx.fresh_dir(f"many{count}")
        inproc_root = ctx.fresh_dir(f"many{count}-in")
        mirror = ctx.fresh_dir(f"many{count}-lftp")
        for copy in (f"{root}/backup", f"{root}/definitions", f"{inproc_root}/backup",
                     f"{inproc_root}/definitions", f"{mirror}/{remote}"):
            shutil.copytree(served, copy)
        config = ctx.config(f"many{count}", remote, TRIGGER_MANY, root)
        ctx.once(config, "up to date")
        lftp = ["lftp", "-e", f"mirror {remote} {mirror}/{remote}; quit", ctx.server.url]
        env = {"FR_BENCH_SERVER": ctx.server.url, "FR_BENCH_REMOTE_DIR": remote,
               "FR_BENCH_TRIGGER": TRIGGER_MANY, "FR_BENCH_ROOT": inproc_root,
               "FR_BENCH_SERVED_DIR": served, "FR_BENCH_CHANGED_FILE": CHANGED_FILE}
        steps = {"connect": [], "choice": [], "fetch": [], "install": []}

        def cycle():
            entry = ctx.in_process("BM_OneChangedFile", env, 0.01)
            if entry.get("fetched") != 1:
                raise BenchError(f"BM_OneChangedFile fetched {entry.get('fetched')} files a cycle")
            for step in steps:
                steps[step].append(entry[f"{step}_s"])
            return Sample(wall=entry["real_time"] / 1000)

        series = [Series("repository-updater once"), Series("the cycle in-process"),
                  Series("lftp mirror (only what changed)", shlex.join(lftp))]
        interleave(ctx.args.runs, [(series[0], lambda: ctx.once(config, "updated 1 files")),
                                   (series[1], cycle),
                                   (series[2], lambda: run_measured(lftp, nice=ctx.nice))],
                   before_each=lambda _: changing.change())
        results[count] = (series, {k: sorted(v)[len(v) // 2] for k, v in steps.items()})
        shutil.rmtree(mirror, ignore_errors=True)

    small, large = ctx.data.sizes.many_counts
    rows = []
    names = [s.name for s in results[small][0]]
    for index, name in enumerate(names):
        a, b = results[small][0][index].median(), results[large][0][index].median()
        rows.append([name, fmt_seconds(a), fmt_seconds(b), f"{b / a:.1f}"])
    for step in ("connect", "choice", "fetch", "install"):
        a, b = results[small][1][step], results[large][1][step]
        rows.append([f"  in-process step: {step}", fmt_seconds(a), fmt_seconds(b), f"{b / a:.1f}"])
    print_table(f"3. One changed file among {small:,} and {large:,} small files", rows,
                ["contender", f"{small:,} files", f"{large:,} files", "growth"])
    growth = results[large][0][0].median() / results[small][0][0].median()
    scale = large / small
    return [("3", f"growth of the whole command for {scale:.0f}x the files", f"{growth:.1f}",
             f"{scale * 1.5:.0f} (linear; quadratic is {scale * scale:.0f})",
             growth <= scale * 1.5)]


def case_file_crc(ctx):
    """5: the CRC of one page-cached file."""
    path = ctx.data.crc_file
    size = os.path.getsize(path)
    subprocess.run(["cat", path], stdout=subprocess.DEVNULL, check=True)  # into the page cache
    ours = [ctx.updater, "checksum", path]
    python = [PYTHON, "-c", PYTHON_CRC, path]
    series = [Series("repository-updater checksum", shlex.join(ours)),
              Series("Python zlib.crc32, 1 MiB blocks", f"{PYTHON} -c '<zlib loop>' FILE")]
    interleave(ctx.args.runs, [(series[0], lambda: run_measured(ours, nice=ctx.nice)),
                               (series[1], lambda: run_measured(python, nice=ctx.nice))])
    mine, theirs = series[0].median(), series[1].median()
    rows = [[s.name, fmt_seconds(s.median()), f"{size / s.median() / (1 << 30):.2f} GiB/s",
             f"`{s.command}`"] for s in series]
    print_table(f"5. File CRC: one page-cached file of {size // MIB} MiB", rows,
                ["contender", "median", "throughput", "command"])
    return [("5", "file CRC, Python's time / ours", f"{theirs / mine:.2f}", ">= 1.50",
             theirs >= 1.5 * mine)]


def installed_files(ctx, benchmark):
    """The installed files of cases 6 and 8, read once so that the page cache holds them: their
    directory, names, paths and total size, and a run of the in-process `benchmark` over them."""
    directory = ctx.data.integrity_dir
    names = ctx.data.integrity_names()
    paths = [os.path.join(directory, name) for name in names]
    total = sum(os.path.getsize(p) for p in paths)
    subprocess.run(["cat"] + paths, stdout=subprocess.DEVNULL, check=True)
    env = {"FR_BENCH_SERVER": "ftp://127.0.0.1:1", "FR_BENCH_TRIGGER": "none.crc",
           "FR_BENCH_ROOT": ctx.data.integrity_root}

    def check():
        entry = ctx.in_process(benchmark, env, 0.5)
        return Sample(wall=entry["real_time"] / 1000)
    return directory, names, paths, total, check


def case_integrity(ctx):
    """6: the integrity check of installed files against the usual tools over the same files."""
    directory, names, paths, total, check = installed_files(ctx, "BM_CheckInstalledFiles")

    ours = [ctx.updater, "checksum", directory]
    series = [Series("CheckInstalledFiles in-process", "update_bench --benchmark_filter="
                     "BM_CheckInstalledFiles"),
              Series("repository-updater checksum DIR", shlex.join(ours)),
              Series("cksum FILES", "cksum FILES..."),
              Series("Python zlib.crc32 over the files", f"{PYTHON} -c '<zlib loop>' FILES...")]
    interleave(ctx.args.runs, [
        (series[0], check),
        (series[1], lambda: run_measured(ours, nice=ctx.nice)),
        (series[2], lambda: run_measured(["cksum"] + paths, cwd=directory, nice=ctx.nice)),
        (series[3], lambda: run_measured([PYTHON, "-c", PYTHON_CRC] + paths, nice=ctx.nice))])
    mine = series[0].median()
    rows = [[s.name, fmt_seconds(s.median()), f"{total / s.median() / (1 << 30):.2f} GiB/s",
             ratio(s.median(), mine), f"`{s.command}`"] for s in series]
    print_table(f"6. Integrity check: {len(names)} installed files, {total // MIB} MiB", rows,
                ["contender", "median", "throughput", "it / in-process check", "command"])
    best_peer = min(s.median() for s in series[2:])
    return [("6", "integrity check, the faster peer's time / ours (in-process)",
             f"{best_peer / mine:.2f}", "> 1", best_peer > mine),
            ("6", "the faster peer's time / `repository-updater checksum DIR`",
             f"{best_peer / series[1].median():.2f}", "reported", None)]


def case_sha256(ctx):
    """8: the verified integrity check (SHA-256 and size of every installed file against the
    verified reference), against the tools a person would check a manifest with, over the files of
    case 6."""
    directory, names, paths, total, check = installed_files(ctx, "BM_CheckVerifiedFiles")

    ours = [ctx.updater, "manifest", directory]
    sha256sum = ["sha256sum"] + names
    openssl = ["openssl", "dgst", "-sha256"] + names
    # The figures count only if the digests are the same.
    made = subprocess.run(ours, capture_output=True, check=True).stdout
    if made != subprocess.run(sha256sum, cwd=directory, capture_output=True, check=True).stdout:
        raise BenchError("repository-updater manifest differs from sha256sum")
    series = [Series("verified CheckInstalledFiles in-process",
                     "update_bench --benchmark_filter=BM_CheckVerifiedFiles"),
              Series("repository-updater manifest DIR", shlex.join(ours)),
              Series("sha256sum FILES", "sha256sum FILES..."),
              Series("openssl dgst -sha256 FILES", "openssl dgst -sha256 FILES...")]
    interleave(ctx.args.runs, [
        (series[0], check),
        (series[1], lambda: run_measured(ours, nice=ctx.nice)),
        (series[2], lambda: run_measured(sha256sum, cwd=directory, nice=ctx.nice)),
        (series[3], lambda: run_measured(openssl, cwd=directory, nice=ctx.nice))])
    mine = series[0].median()
    rows = [[s.name, fmt_seconds(s.median()), f"{total / s.median() / (1 << 30):.2f} GiB/s",
             ratio(s.median(), mine), f"`{s.command}`"] for s in series]
    print_table(f"8. Verified integrity check: SHA-256 of {len(names)} installed files, "
                f"{total // MIB} MiB, one core", rows,
                ["contender", "median", "throughput", "it / ours", "command"])
    openssl_time = series[3].median()
    return [("8", "verified check, OpenSSL's time / ours (our speed in OpenSSL's)",
             f"{openssl_time / mine:.2f}", ">= 0.80", openssl_time >= 0.8 * mine),
            ("8", "sha256sum's time / ours", f"{series[2].median() / mine:.2f}", "reported", None)]


def case_verified_update(ctx):
    """9: the full update of case 1 in verified mode against the classic one: the set published
    with sha256sum and minisign, the same files fetched, each checked against the manifest too."""
    data = ctx.data
    names = data.full_names()
    served = data.served_path(data.full_dir)
    manifest = os.path.join(served, TRIGGER_FULL + ".sha256")
    keys = ctx.fresh_dir("keys")
    subprocess.run(["minisign", "-G", "-W", "-p", f"{keys}/bench.pub", "-s", f"{keys}/bench.key"],
                   check=True, capture_output=True)
    with open(manifest, "wb") as out:
        subprocess.run(["sha256sum"] + names + [TRIGGER_FULL], cwd=served, stdout=out, check=True)
    subprocess.run(["minisign", "-S", "-s", f"{keys}/bench.key", "-m", manifest], check=True,
                   capture_output=True)
    roots = {kind: os.path.join(ctx.work, f"full-{kind}") for kind in ("classic", "verified")}
    configs = {kind: ctx.config(f"full-{kind}", data.full_dir, TRIGGER_FULL, roots[kind])
               for kind in roots}
    with open(configs["verified"], "a") as out:
        out.write(f'public_key_file = "{keys}/bench.pub"\n')

    def run(kind):
        def measure():
            shutil.rmtree(roots[kind], ignore_errors=True)
            return ctx.once(configs[kind], f"updated {len(names)} files")
        return measure

    series = [Series("once, classic", f"repository-updater once -c {configs['classic']}"),
              Series("once, verified", f"repository-updater once -c {configs['verified']}")]
    try:
        interleave(ctx.args.runs, [(series[0], run("classic")), (series[1], run("verified"))],
                   settle=ctx.args.settle)
    finally:
        for path in (manifest, manifest + ".minisig"):
            if os.path.exists(path):
                os.remove(path)
        for root in roots.values():
            shutil.rmtree(root, ignore_errors=True)
    classic, verified = series[0].median(), series[1].median()
    rows = []
    for s in series:
        low, high = s.spread()
        rows.append([s.name, fmt_seconds(s.median()), f"{fmt_seconds(low)} .. {fmt_seconds(high)}",
                     ratio(s.median(), classic), f"`{s.command}`"])
    print_table(f"9. Verified full update: {len(names)} files, {data.full_bytes() // MIB} MiB, "
                f"into empty directories", rows, ["contender", "median", "range", "it / classic",
                                                   "command"])
    return [("9", "verified full update / classic", f"{verified / classic:.2f}", "<= 1.15",
             verified <= 1.15 * classic)]


def case_idle(ctx):
    """7: what the service costs while it waits."""
    seconds = ctx.args.idle_seconds
    root = os.path.join(ctx.work, "poll")  # installed by the poll case; made here when missing
    if not os.path.isdir(os.path.join(root, "definitions")):
        root = ctx.fresh_dir("poll")
    config = ctx.config("idle", ctx.data.full_dir, TRIGGER_FULL, root)
    get = [ctx.updater, "get", "-c", config, "MailFilter0", "NextUpdateTime"]
    subprocess.run([ctx.updater, "set", "-c", config, "MailFilter0", "NextUpdateTime", "0"],
                   check=True, capture_output=True)
    service = subprocess.Popen([ctx.updater, "run", "-c", config], stdin=subprocess.DEVNULL,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.monotonic() + 300
        while True:  # the first pass ends when the worker publishes its next update time
            done = subprocess.run(get, capture_output=True, text=True)
            if done.returncode == 0 and done.stdout.strip() not in ("", "0"):
                break
            if service.poll() is not None or time.monotonic() > deadline:
                raise BenchError("the service did not finish its first pass")
            time.sleep(0.2)
        time.sleep(1)  # the pass's last writes
        before = thread_cpu_seconds(service.pid)
        time.sleep(seconds)
        used = thread_cpu_seconds(service.pid) - before
    finally:
        stop_process(service)
    print_table(f"7. Idle cost of `run` (default wait step of 1 s) over {seconds} s",
                [["repository-updater run", f"{used * 1000:.1f} ms",
                  f"{used / seconds * 100:.3f} %", f"{used / seconds * 3600:.2f} s",
                  f"`repository-updater run -c {config}`"]],
                ["contender", "CPU time", "of one core", "CPU per hour", "command"])
    return [("7", f"idle CPU over {seconds} s", f"{used * 1000:.1f} ms", "close to 0 (< 1 %)",
             used < 0.01 * seconds)]


CASES = {"1": case_full_update, "2": case_poll, "3": case_one_changed, "5": case_file_crc,
         "6": case_integrity, "7": case_idle, "8": case_sha256, "9": case_verified_update}
