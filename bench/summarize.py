"""Summarises the benchmark records of run.sh as Markdown tables.

    summarize.py [--tls] [--load TEXT] RECORDS SERVER_VERSION

Each record line: LABEL DIRECTION TOOL WALL USER SYSTEM RSS_KIB STATUS ROUND,
where LABEL is the file size in MiB or "small" and ROUND numbers the round
in which every tool ran once (its runs are pairs). Per label, direction and
tool it prints the median wall time, the throughput, the median user+system
CPU time, the peak resident memory over all runs, the ratios Talven/curl of
the medians, and the medians of the per-round ratios Talven/curl,
Talven/lftp and talven-pty/talven; then a line per performance target
saying whether it is met. Targets: wall time at most the faster peer's
(paired: the median per-round ratio to curl and to lftp at most 1), CPU at
most curl's, talven-pty within 5 % of talven, peak RSS under 4 MiB (plain);
decided on 11 rounds or more, indicative below. --load gives the load
averages at the start and end, printed with the machine.
"""
import os
import platform
import statistics
import subprocess
import sys
from collections import defaultdict

TOOLS = ["talven", "talven-pty", "curl", "lftp", "ftplib"]
TALVENS = ["talven", "talven-pty"]
RSS_LIMIT_MIB = 4.0


def first_line(command):
    try:
        text = subprocess.run(command, capture_output=True, text=True, check=False).stdout
        return text.splitlines()[0].strip() if text else "?"
    except OSError:
        return "?"


def machine():
    model = "?"
    with open("/proc/cpuinfo") as info:
        for line in info:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    with open("/proc/meminfo") as info:
        memory_kib = int(info.readline().split()[1])
    return [
        f"- CPU: {model}, {os.cpu_count()} cores; memory {memory_kib / 1048576:.1f} GiB",
        f"- kernel: {platform.system()} {platform.release()}",
        f"- files on tmpfs; server and clients on 127.0.0.1",
        f"- curl: {first_line(['curl', '--version'])}",
        f"- lftp: {first_line(['lftp', '--version'])}",
        f"- Python: {platform.python_version()} (ftplib, 8 KiB blocks)",
    ]


PAIRS_TO_DECIDE = 11
PTY_MARGIN = 1.05


def paired(runs, key, other):
    """Median of the per-round wall ratios key/other, and the rounds."""
    mine = {r[3]: r[0] for r in runs.get(key, [])}
    theirs = {r[3]: r[0] for r in runs.get(other, [])}
    ratios = [mine[k] / theirs[k] for k in mine if k in theirs and theirs[k] > 0]
    return (statistics.median(ratios), len(ratios)) if ratios else (None, 0)


def verdict(ok, rounds):
    if rounds < PAIRS_TO_DECIDE:
        return f"{'met' if ok else 'NOT MET'} (indicative, {rounds} pairs)"
    return "met" if ok else "NOT MET"


def main():
    args = sys.argv[1:]
    tls = "--tls" in args
    if tls:
        args.remove("--tls")
    load = None
    if "--load" in args:
        at = args.index("--load")
        load = args[at + 1]
        del args[at:at + 2]
    records_path, server = args[0], args[1]
    runs = defaultdict(list)
    with open(records_path) as records:
        for line in records:
            fields = line.split()
            label, direction, tool, wall, user, system, rss = fields[:7]
            round_number = fields[8] if len(fields) > 8 else str(len(runs[(label, direction, tool)]))
            runs[(label, direction, tool)].append(
                (float(wall), float(user) + float(system), int(rss) / 1024, round_number))

    def figures(key):
        rows = runs.get(key)
        if not rows:
            return None
        return {
            "runs": len(rows),
            "wall": statistics.median(r[0] for r in rows),
            "cpu": statistics.median(r[1] for r in rows),
            "rss": max(r[2] for r in rows),
        }

    out = ["## Machine", ""] + machine() + [f"- server: {server}" + (", explicit FTPS required" if tls else "")]
    if load:
        out.append(f"- load average (1, 5, 15 min) at the start / at the end: {load}")
    out.append("")
    checks = []
    labels = sorted({k[0] for k in runs if k[0] != "small"}, key=int)
    for label in labels:
        mib = int(label)
        for direction, name in (("put", "upload"), ("get", "download")):
            if not any(k[:2] == (label, direction) for k in runs):
                continue
            curl = figures((label, direction, "curl"))
            out += [f"## {label} MiB {name}", "",
                    "| tool | runs | wall s | MiB/s | CPU s | peak RSS MiB | wall /curl | CPU /curl | RSS /curl "
                    "| paired /curl | paired /lftp | paired pty/talven |",
                    "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|"]
            for tool in TOOLS:
                f = figures((label, direction, tool))
                if f is None:
                    continue
                ratios = ["", "", "", "", "", ""]
                if tool in TALVENS:
                    if curl:
                        ratios[:3] = [f"{f['wall'] / curl['wall']:.2f}", f"{f['cpu'] / curl['cpu']:.2f}" if curl["cpu"] else "",
                                      f"{f['rss'] / curl['rss']:.2f}"]
                    for i, peer in ((3, "curl"), (4, "lftp")):
                        ratio, _ = paired(runs, (label, direction, tool), (label, direction, peer))
                        ratios[i] = f"{ratio:.2f}" if ratio is not None else ""
                    if tool == "talven-pty":
                        ratio, _ = paired(runs, (label, direction, tool), (label, direction, "talven"))
                        ratios[5] = f"{ratio:.2f}" if ratio is not None else ""
                out.append(f"| {tool} | {f['runs']} | {f['wall']:.3f} | {mib / f['wall']:.0f} | {f['cpu']:.3f} "
                           f"| {f['rss']:.2f} | " + " | ".join(ratios) + " |")
            out.append("")
            for tool in TALVENS:
                f = figures((label, direction, tool))
                if f is None or mib < 64:
                    if f is not None and tool == "talven" and not tls:
                        checks.append((f"talven {name} {label} MiB: peak RSS < {RSS_LIMIT_MIB:.0f} MiB "
                                       f"({f['rss']:.2f} MiB)", f["rss"] < RSS_LIMIT_MIB, len(runs[(label, direction, tool)])))
                    continue
                for peer in ("curl", "lftp"):
                    ratio, rounds = paired(runs, (label, direction, tool), (label, direction, peer))
                    if ratio is not None:
                        checks.append((f"{tool} {name} {label} MiB: wall <= {peer}'s, paired median ratio "
                                       f"{ratio:.2f} over {rounds} pairs", ratio <= 1.0, rounds))
                if curl:
                    rounds = min(f["runs"], curl["runs"])
                    checks.append((f"{tool} {name} {label} MiB: CPU <= curl's "
                                   f"({f['cpu']:.3f} s vs {curl['cpu']:.3f} s)", f["cpu"] <= curl["cpu"], rounds))
                if tool == "talven-pty":
                    ratio, rounds = paired(runs, (label, direction, tool), (label, direction, "talven"))
                    if ratio is not None:
                        checks.append((f"talven-pty {name} {label} MiB: within 5 % of talven, paired median ratio "
                                       f"{ratio:.3f} over {rounds} pairs", ratio <= PTY_MARGIN, rounds))
                if tool == "talven" and not tls:
                    checks.append((f"talven {name} {label} MiB: peak RSS < {RSS_LIMIT_MIB:.0f} MiB "
                                   f"({f['rss']:.2f} MiB)", f["rss"] < RSS_LIMIT_MIB, f["runs"]))

    curl = figures(("small", "put", "curl"))
    if curl:
        out += ["## Small upload (connect, log in, 1 KiB, quit)", "",
                "| tool | runs | wall ms | CPU ms | peak RSS MiB | wall /curl |", "|---|---:|---:|---:|---:|---:|"]
        for tool in TOOLS:
            f = figures(("small", "put", tool))
            if f is None:
                continue
            ratio = f"{f['wall'] / curl['wall']:.2f}" if tool in TALVENS else ""
            out.append(f"| {tool} | {f['runs']} | {f['wall'] * 1000:.1f} | {f['cpu'] * 1000:.0f} | {f['rss']:.2f} | {ratio} |")
            if tool == "talven":
                ratio, rounds = paired(runs, ("small", "put", "talven"), ("small", "put", "curl"))
                checks.append((f"talven small upload: wall <= curl's ({f['wall'] * 1000:.1f} ms vs "
                               f"{curl['wall'] * 1000:.1f} ms; paired median ratio {ratio:.2f})", ratio <= 1.0, rounds))
        out.append("")

    out += ["## Targets", ""]
    out += [f"- {verdict(ok, rounds)}: {text}" for text, ok, rounds in checks]
    print("\n".join(out))


if __name__ == "__main__":
    main()
