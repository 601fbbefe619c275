#!/usr/bin/env python3
"""Runs commands side by side the way a busy two-core machine still allows a
fair comparison, for the scripts in bench/ (through bench/lib.sh).

Every round runs each case once, in an order shuffled anew each round, after
a few warm-up rounds that are not counted. A case's figures per run are its
wall time, its CPU time (user + system, its children included, plus the CPU
that a named helper process spent meanwhile) and, when asked, the time until
its first output line matching a pattern; one more run of each case after
the rounds gives its peak resident memory. Each
counted round also gives the ratio of every case to the reference case of
the same round, so a machine that slows down between rounds moves both sides
of a ratio alike. Printed: min / median / max of each figure and each ratio.

Before a run counts, what it received is checked: its exit status, the bytes
it wrote to stdout or to a file, the lines of its output, or the bytes nginx
logged as sent while it ran. A run that fails a check ends the benchmark with
a message naming the case; a fast run that fetched nothing is no result.

The cases come from a file of NUL-terminated fields, as bench/lib.sh writes
it: for each case its name, its label, the number of checks, each check, the
number of arguments, each argument (no shell in between). A check is one of
  rc=N                 exit status N (rc=0 when no rc check is given)
  out=N / out>=N       bytes written to stdout
  file=PATH=N          a file of N bytes written by the run (removed after it)
  lines=N=REGEX        N lines of stdout match REGEX
  mark=REGEX           record the time to the first stdout line matching REGEX
  sent=LOG=N           nginx logged N bytes sent while the run lasted (the
                       last field of each new line of LOG, summed)
  pid=PID              add the CPU time of process PID during the run
  cwd=DIR              run in DIR
Results: a table on stdout, and with --results FILE lines "case.figure=median"
and "case.figure_ratio=median" for the script to judge targets with.
"""
import argparse
import os
import random
import re
import select
import signal
import statistics
import subprocess
import sys
import tempfile
import time

def read_cases(path):
    with open(path, "rb") as f:
        fields = f.read().split(b"\0")
    if fields and fields[-1] == b"":
        fields.pop()
    fields = [x.decode() for x in fields]
    cases = []
    i = 0
    while i < len(fields):
        name, label, nchecks = fields[i], fields[i + 1], int(fields[i + 2])
        i += 3
        checks = fields[i:i + nchecks]
        i += nchecks
        argc = int(fields[i])
        argv = fields[i + 1:i + 1 + argc]
        i += 1 + argc
        case = {"name": name, "label": label or name, "argv": argv, "rc": 0,
                "out": None, "out_min": None, "file": None, "lines": [],
                "mark": None, "sent": None, "pid": None, "cwd": None}
        for c in checks:
            key, _, value = c.partition("=")
            if key == "rc":
                case["rc"] = int(value)
            elif key == "out>":
                case["out_min"] = int(value.lstrip("="))
            elif key == "out":
                case["out"] = int(value)
            elif key == "file":
                p, _, n = value.rpartition("=")
                case["file"] = (p, int(n))
            elif key == "lines":
                n, _, rx = value.partition("=")
                case["lines"].append((int(n), re.compile(rx)))
            elif key == "mark":
                case["mark"] = re.compile(value)
            elif key == "sent":
                p, _, n = value.rpartition("=")
                case["sent"] = (p, int(n))
            elif key == "pid":
                case["pid"] = int(value)
            elif key == "cwd":
                case["cwd"] = value
            else:
                sys.exit(f"harness: unknown check {c!r} for {name}")
        cases.append(case)
    return cases


def proc_cpu(pid):
    """CPU seconds a running process has used: the kernel's run time of each
    of its threads, in ns (the clock ticks of /proc/PID/stat are 10 ms)."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass  # a thread that ended meanwhile
    return total / 1e9


def file_size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def logged_sent(path, start):
    """Bytes sent that nginx logged past offset START of its access log."""
    total = 0
    with open(path, "rb") as f:
        f.seek(start)
        for line in f.read().decode(errors="replace").splitlines():
            parts = line.split()
            if parts:
                total += int(parts[-1])
    return total


def run_once(case, timeout, measure_rss=False):
    """One run of a case: its figures, or an exception saying what was wrong.
    With measure_rss the command runs under /usr/bin/time, which forks it from
    a small process: a child forked from this interpreter would report the
    interpreter's resident memory as its own peak."""
    if case["file"]:
        try:
            os.unlink(case["file"][0])
        except FileNotFoundError:
            pass
    sent_start = file_size(case["sent"][0]) if case["sent"] else 0
    helper_cpu = proc_cpu(case["pid"]) if case["pid"] else 0.0
    argv = case["argv"]
    if measure_rss:
        rss_file = tempfile.NamedTemporaryFile(prefix="sentrel-bench-rss-", delete=False)
        rss_file.close()
        argv = ["/usr/bin/time", "-q", "-f", "%M", "-o", rss_file.name] + argv
    t0 = time.monotonic()
    try:
        proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                stdin=subprocess.DEVNULL, cwd=case["cwd"])
    except OSError as e:
        raise RuntimeError(f"cannot start: {e}") from e
    out_bytes = 0
    mark_ms = None
    want_lines = bool(case["lines"]) or case["mark"] is not None
    pending = b""
    matched = [0] * len(case["lines"])
    err = b""
    streams = [proc.stdout, proc.stderr]
    deadline = t0 + timeout
    while streams:
        left = deadline - time.monotonic()
        if left <= 0:
            proc.kill()
            proc.wait()
            raise RuntimeError(f"still running after {timeout} s")
        ready, _, _ = select.select(streams, [], [], left)
        for s in ready:
            chunk = os.read(s.fileno(), 1 << 16)
            if not chunk:
                streams.remove(s)
                continue
            if s is proc.stderr:
                err = (err + chunk)[-4000:]
                continue
            now = time.monotonic()
            out_bytes += len(chunk)
            if want_lines:
                pending += chunk
                *complete, pending = pending.split(b"\n")
                for raw in complete:
                    line = raw.decode(errors="replace")
                    if mark_ms is None and case["mark"] and case["mark"].search(line):
                        mark_ms = (now - t0) * 1000
                    for i, (_, rx) in enumerate(case["lines"]):
                        if rx.search(line):
                            matched[i] += 1
    _, status, usage = os.wait4(proc.pid, 0)
    t1 = time.monotonic()
    proc.returncode = os.waitstatus_to_exitcode(status)
    proc.stdout.close()
    proc.stderr.close()
    cpu = usage.ru_utime + usage.ru_stime
    if case["pid"]:
        cpu += proc_cpu(case["pid"]) - helper_cpu

    def fail(what):
        tail = err.decode(errors="replace").strip()
        raise RuntimeError(what + (f"; its stderr ends: {tail[-300:]}" if tail else ""))

    if proc.returncode != case["rc"]:
        fail(f"exit status {proc.returncode}, expected {case['rc']}")
    if case["out"] is not None and out_bytes != case["out"]:
        fail(f"{out_bytes} bytes on stdout, expected {case['out']}")
    if case["out_min"] is not None and out_bytes < case["out_min"]:
        fail(f"{out_bytes} bytes on stdout, expected at least {case['out_min']}")
    for (n, rx), got in zip(case["lines"], matched):
        if got != n:
            fail(f"{got} output lines match /{rx.pattern}/, expected {n}")
    if case["mark"] is not None and mark_ms is None:
        fail(f"no output line matches /{case['mark'].pattern}/")
    if case["file"]:
        path, size = case["file"]
        got = file_size(path)
        if got != size:
            fail(f"wrote {got} bytes to {path}, expected {size}")
        os.unlink(path)
    if case["sent"]:
        # nginx logs a request when it ends; give it a moment to write the line.
        path, size = case["sent"]
        for _ in range(50):
            got = logged_sent(path, sent_start)
            if got >= size:
                break
            time.sleep(0.01)
        if got != size:
            fail(f"the server logged {got} bytes sent, expected {size}")
    rss = None
    if measure_rss:
        with open(rss_file.name) as f:
            rss = int(f.read().split()[-1]) / 1024
        os.unlink(rss_file.name)
    return {"wall": (t1 - t0) * 1000, "cpu": cpu * 1000, "rss": rss, "mark": mark_ms}


def spread(values, fmt):
    return " / ".join(fmt.format(v) for v in (min(values), statistics.median(values), max(values)))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("cases")
    ap.add_argument("--title", default="")
    ap.add_argument("--rounds", type=int, default=7)
    ap.add_argument("--warmup", type=int, default=2)
    ap.add_argument("--ref", help="the case every other one is set against (default: the last)")
    ap.add_argument("--bytes", type=int, help="bytes each run moves: print MiB/s, and ratios of throughput")
    ap.add_argument("--timeout", type=float, default=60)
    ap.add_argument("--results", help="file to append case.figure=median lines to")
    args = ap.parse_args()

    cases = read_cases(args.cases)
    ref = next((c for c in cases if c["name"] == args.ref), cases[-1])
    runs = {c["name"]: [] for c in cases}
    ratios = {c["name"]: {"wall": [], "cpu": [], "mark": []} for c in cases}
    rng = random.Random()
    for rnd in range(args.warmup + args.rounds):
        order = cases[:]
        rng.shuffle(order)
        this_round = {}
        for case in order:
            try:
                this_round[case["name"]] = run_once(case, args.timeout)
            except RuntimeError as e:
                sys.exit(f"bench: {case['label']}: {e}\n  command: {' '.join(case['argv'])}")
        if rnd < args.warmup:
            continue
        r = this_round[ref["name"]]
        for name, fig in this_round.items():
            runs[name].append(fig)
            ratios[name]["wall"].append(fig["wall"] / r["wall"])
            if r["cpu"] > 0:
                ratios[name]["cpu"].append(fig["cpu"] / r["cpu"])
            if fig["mark"] is not None and r["mark"]:
                ratios[name]["mark"].append(fig["mark"] / r["mark"])

    # Resident memory hardly varies from run to run: one more run of each.
    peak = {}
    for case in cases:
        try:
            peak[case["name"]] = run_once(case, args.timeout, measure_rss=True)["rss"]
        except RuntimeError as e:
            sys.exit(f"bench: {case['label']}: {e}\n  command: {' '.join(case['argv'])}")

    title = args.title or "benchmark"
    print(f"{title}: {args.rounds} rounds after {args.warmup} warm-up, order shuffled each round; "
          f"min / median / max; ratios paired per round against {ref['label']}")
    width = max(len(c["label"]) for c in cases)
    results = []
    for case in cases:
        name = case["name"]
        figs = runs[name]
        wall = [f["wall"] for f in figs]
        cpu = [f["cpu"] for f in figs]
        parts = []
        if args.bytes:
            tput = [args.bytes / 1048576 / (w / 1000) for w in wall]
            parts.append(f"MiB/s {spread(tput, '{:.0f}')}")
            results.append(f"{name}.mibs={statistics.median(tput):.1f}")
        parts.append(f"wall ms {spread(wall, '{:.1f}')}")
        parts.append(f"cpu ms {spread(cpu, '{:.1f}')}")
        parts.append(f"peak RSS MiB {peak[name]:.1f}")
        marks = [f["mark"] for f in figs if f["mark"] is not None]
        if marks:
            parts.append(f"first mark ms {spread(marks, '{:.1f}')}")
            results.append(f"{name}.mark={statistics.median(marks):.2f}")
        results += [f"{name}.wall={statistics.median(wall):.2f}", f"{name}.cpu={statistics.median(cpu):.2f}",
                    f"{name}.rss={peak[name]:.2f}"]
        print(f"  {case['label']:<{width}}  " + "  ".join(parts))
        if case is not ref:
            rparts = []
            w = ratios[name]["wall"]
            if args.bytes:
                t = [1 / x for x in w]
                rparts.append(f"throughput {spread(t, '{:.2f}')}x")
                results.append(f"{name}.mibs_ratio={statistics.median(t):.3f}")
            else:
                rparts.append(f"wall {spread(w, '{:.2f}')}x")
            results.append(f"{name}.wall_ratio={statistics.median(w):.3f}")
            if ratios[name]["cpu"]:
                rparts.append(f"cpu {spread(ratios[name]['cpu'], '{:.2f}')}x")
                results.append(f"{name}.cpu_ratio={statistics.median(ratios[name]['cpu']):.3f}")
            if ratios[name]["mark"]:
                rparts.append(f"first mark {spread(ratios[name]['mark'], '{:.2f}')}x")
                results.append(f"{name}.mark_ratio={statistics.median(ratios[name]['mark']):.3f}")
            print(f"  {'':<{width}}    vs {ref['label']}: " + "  ".join(rparts))
    if args.results:
        with open(args.results, "a") as f:
            f.write("\n".join(results) + "\n")


if __name__ == "__main__":
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)
    main()
