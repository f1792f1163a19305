#!/usr/bin/env python3
"""The scan benchmark (make bench): lunscan's default table on generated SAN hosts, serial gather against the default pool, one table.

Usage: scripts/bench/run.py <build-dir> [sizes...]      (default sizes 256 1024 4096 16384)
Per size: wall time of the serial gather (LUNSCAN_THREADS=1) and the default pool with 0 and 1 ms
per SCSI command; CPU (user + system) per device at 0 ms, whole and beyond a run that only loads
the host file (-dev of one disk: the simulator's own share); peak RSS against 16 MB + 4 KB per
device; SCSI commands and other requests (opens, control requests) per device from the
simulator's CDB log. Every pool run must print what the serial run printed. It fails only on a
failed run or differing output, never on a goal; the goals are judged below the table.
"""
import math
import os
import platform
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))


def run(lunscan, host, threads, args=(), log=None):
    """One run: (stdout bytes, wall s, cpu s, peak rss KB), measured for that child alone."""
    env = dict(os.environ, SIL_SIM_HOST=host, LUNSCAN_THREADS=threads)
    for name in ("SDEBUG", "SDEBUG_FILE", "SDEBUG_FUNCTION_TRIGGER", "SIL_SIM_LOG"):
        env.pop(name, None)
    if log:
        env["SIL_SIM_LOG"] = log
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        start = time.monotonic()
        child = subprocess.Popen([lunscan, "-no_header", "-no_dots", *args], env=env, stdout=out, stderr=err)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.monotonic() - start
        out.seek(0)
        err.seek(0)
        if status != 0:
            sys.exit(f"lunscan failed on {host} (LUNSCAN_THREADS={threads} {' '.join(args)}):\n"
                     + err.read().decode(errors="replace")[:500])
        return out.read(), wall, usage.ru_utime + usage.ru_stime, usage.ru_maxrss


def bench_size(lunscan, work, n):
    hosts = {}
    for ms in (0, 1):
        hosts[ms] = os.path.join(work, f"h{n}-{ms}.json")
        subprocess.run([sys.executable, os.path.join(HERE, "make-san-host.py"), hosts[ms], "--devices", str(n),
                        "--latency-us", str(1000 * ms)], check=True)
    _, _, load_cpu, _ = run(lunscan, hosts[0], "1", ["-dev", "\\\\.\\PHYSICALDRIVE0"])
    row = {"n": n, "load_cpu": load_cpu, "rss": 0}
    expected = None
    for ms in (0, 1):
        for threads, name in (("1", "serial"), ("", "pool")):
            out, wall, cpu, rss = run(lunscan, hosts[ms], threads)
            if expected is None:
                expected = out
            elif out != expected:
                sys.exit(f"{n} LUNs, {ms} ms, {name}: the report differs from the serial gather's")
            row[f"{name}{ms}"] = wall
            row["rss"] = max(row["rss"], rss)
            if ms == 0 and name == "pool":
                row["cpu"] = cpu
    log = os.path.join(work, "cdb.log")
    run(lunscan, hosts[0], "", log=log)
    with open(log, encoding="utf-8", errors="replace") as f:
        lines = f.read().splitlines()
    os.remove(log)
    row["scsi"] = sum(1 for line in lines if not line.startswith("#")) / n
    row["other"] = sum(1 for line in lines if line.startswith(("# open", "# IOCTL"))) / n
    return row


def main():
    if len(sys.argv) < 2:
        sys.exit("usage: run.py <build-dir> [sizes...]")
    lunscan = os.path.join(os.path.abspath(sys.argv[1]), "sil", "lunscan")
    sizes = [int(s) for s in sys.argv[2:]] or [256, 1024, 4096, 16384]
    print(f"lunscan scan benchmark: {platform.machine()}, {os.cpu_count()} cores, {time.strftime('%Y-%m-%d %H:%M')}")
    print("default table, high-end LUNs and plain disks mixed; wall in seconds; CPU at 0 ms per command, default pool\n")
    head = "| LUNs | serial 0 ms | pool 0 ms | serial 1 ms | pool 1 ms | CPU/dev µs | beyond sim µs | peak RSS MB | budget MB | SCSI/dev | other/dev |"
    print(head)
    print("|" + "|".join("---:" for _ in range(head.count("|") - 1)) + "|")
    rows = []
    with tempfile.TemporaryDirectory() as work:
        for n in sizes:
            r = bench_size(lunscan, work, n)
            rows.append(r)
            print(f"| {n} | {r['serial0']:.2f} | {r['pool0']:.2f} | {r['serial1']:.2f} | {r['pool1']:.2f} | "
                  f"{r['cpu'] * 1e6 / n:.1f} | {(r['cpu'] - r['load_cpu']) * 1e6 / n:.1f} | {r['rss'] / 1024:.1f} | "
                  f"{16 + 4 * n / 1024:.1f} | {r['scsi']:.2f} | {r['other']:.2f} |", flush=True)
    print()
    for r in rows:
        n = r["n"]
        if n == 4096:
            print(f"goal: 4096 LUNs at 1 ms in <= 1.0 s with the pool: {r['pool1']:.2f} s, "
                  f"{'met' if r['pool1'] <= 1.0 else 'NOT met'}")
        beyond = (r["cpu"] - r["load_cpu"]) * 1e6 / n
        print(f"goal: CPU beyond the simulator <= 20 µs/device at {n}: {beyond:.1f} µs, {'met' if beyond <= 20 else 'NOT met'}")
        budget = 16 * 1024 + 4 * n
        print(f"goal: peak RSS <= 16 MB + 4 KB/device at {n}: {r['rss'] / 1024:.1f} of {budget / 1024:.1f} MB, "
              f"{'met' if r['rss'] <= budget else 'NOT met'}")
    # Linear: what each added device costs (CPU, RSS) does not grow from one size to the next by
    # more than n log n allows, with a quarter of slack for the measurement.
    for a, b in zip(rows, rows[1:]):
        added = b["n"] - a["n"]
        cpu_each = (b["cpu"] - a["cpu"]) * 1e6 / added
        rss_each = (b["rss"] - a["rss"]) / added
        print(f"growth {a['n']} -> {b['n']}: each added device {cpu_each:.1f} µs CPU, {rss_each:.2f} KB RSS")
    if len(rows) >= 3:
        steps = [((b["cpu"] - a["cpu"]) / (b["n"] - a["n"]), (b["rss"] - a["rss"]) / (b["n"] - a["n"]), b["n"])
                 for a, b in zip(rows, rows[1:])]
        for i, what in ((0, "time"), (1, "memory")):
            ok = all(later[i] <= 1.25 * earlier[i] * math.log(later[2]) / math.log(earlier[2])
                     for earlier, later in zip(steps[1:], steps[2:]))
            print(f"goal: {what} linear (no step above n log n, from {rows[1]['n']} on): {'met' if ok else 'NOT met'}")


if __name__ == "__main__":
    main()
