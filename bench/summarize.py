"""Summarises the benchmark records of run.sh as Markdown tables.

    summarize.py [--tls] RECORDS SERVER_VERSION

Each record line: LABEL DIRECTION TOOL WALL USER SYSTEM RSS_KIB STATUS, where
LABEL is the file size in MiB or "small". Per label, direction and tool it
prints the median wall time, the throughput, the median user+system CPU
time, the peak resident memory over all runs, and the ratios Talven/curl;
then whether each performance target holds in this run. With --tls (explicit
FTPS) the targets are wall and CPU time at most curl's; the peak resident
memory is reported beside curl's and lftp's.
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


def main():
    tls = sys.argv[1] == "--tls"
    records_path, server = sys.argv[1 + tls], sys.argv[2 + tls]
    runs = defaultdict(list)
    with open(records_path) as records:
        for line in records:
            label, direction, tool, wall, user, system, rss, _status = line.split()
            runs[(label, direction, tool)].append((float(wall), float(user) + float(system), int(rss) / 1024))

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

    out = ["## Machine", ""] + machine() + [f"- server: {server}" + (", explicit FTPS required" if tls else ""), ""]
    checks = []
    labels = sorted({k[0] for k in runs if k[0] != "small"}, key=int)
    for label in labels:
        mib = int(label)
        for direction, name in (("put", "upload"), ("get", "download")):
            curl = figures((label, direction, "curl"))
            out += [f"## {label} MiB {name}", "",
                    "| tool | runs | wall s | MiB/s | CPU s | peak RSS MiB | wall /curl | CPU /curl | RSS /curl |",
                    "|---|---:|---:|---:|---:|---:|---:|---:|---:|"]
            for tool in TOOLS:
                f = figures((label, direction, tool))
                if f is None:
                    continue
                ratios = ["", "", ""]
                if tool in TALVENS and curl:
                    ratios = [f"{f['wall'] / curl['wall']:.2f}", f"{f['cpu'] / curl['cpu']:.2f}",
                              f"{f['rss'] / curl['rss']:.2f}"]
                out.append(f"| {tool} | {f['runs']} | {f['wall']:.3f} | {mib / f['wall']:.0f} | {f['cpu']:.3f} "
                           f"| {f['rss']:.2f} | " + " | ".join(ratios) + " |")
            out.append("")
            lftp = figures((label, direction, "lftp"))
            for tool in TALVENS:
                f = figures((label, direction, tool))
                if f is None:
                    continue
                if mib >= 64 and curl and tls:
                    checks.append((f"{tool} {name} {label} MiB: wall <= curl's "
                                   f"({f['wall']:.3f} s vs {curl['wall']:.3f} s)", f["wall"] <= curl["wall"]))
                elif mib >= 64 and curl and lftp:
                    best = min(curl["wall"], lftp["wall"])
                    checks.append((f"{tool} {name} {label} MiB: wall <= best of curl and lftp "
                                   f"({f['wall']:.3f} s vs {best:.3f} s, ratio {f['wall'] / best:.2f})",
                                   f["wall"] <= best))
                if mib >= 64 and curl:
                    checks.append((f"{tool} {name} {label} MiB: CPU <= curl's "
                                   f"({f['cpu']:.3f} s vs {curl['cpu']:.3f} s)", f["cpu"] <= curl["cpu"]))
                if tool == "talven" and not tls:
                    checks.append((f"talven {name} {label} MiB: peak RSS < {RSS_LIMIT_MIB:.0f} MiB "
                                   f"({f['rss']:.2f} MiB)", f["rss"] < RSS_LIMIT_MIB))

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
                checks.append((f"talven small upload: wall <= curl's ({f['wall'] * 1000:.1f} ms vs "
                               f"{curl['wall'] * 1000:.1f} ms)", f["wall"] <= curl["wall"]))
        out.append("")

    out += ["## Targets", ""]
    out += [f"- {'met' if ok else 'NOT MET'}: {text}" for text, ok in checks]
    print("\n".join(out))


if __name__ == "__main__":
    main()
