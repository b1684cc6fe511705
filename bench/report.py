#!/usr/bin/env python3
"""Turns the results of one benchmark run into a Markdown table.

  report.py MESSAGE_JSON WHOLE_JSON

MESSAGE_JSON is Google Benchmark's JSON output of bench_message, WHOLE_JSON what
whole_process.py wrote. Every row sets a measurement beside its reference from the same run.
"""

import json
import statistics
import sys


def load_micro(path):
    """Median real time (ns) and bytes/s of each benchmark, over its repetitions."""
    with open(path) as f:
        data = json.load(f)
    runs = {}
    for b in data["benchmarks"]:
        if b.get("run_type") == "aggregate":
            continue
        name = b.get("run_name", b["name"])
        runs.setdefault(name, []).append(b)
    out = {}
    for name, items in runs.items():
        out[name] = {
            "ns": statistics.median(i["real_time"] for i in items),
            "bytes_per_second": statistics.median(i.get("bytes_per_second", 0) for i in items),
        }
    out["_context"] = data.get("context", {})
    return out


def gib(bps):
    return f"{bps / (1 << 30):.1f} GiB/s"


def ms(seconds):
    return f"{seconds * 1000:.0f} ms"


def verdict(ok):
    return "met" if ok else "**missed**"


def main():
    micro = load_micro(sys.argv[1])
    with open(sys.argv[2]) as f:
        whole = json.load(f)
    rows = []

    copy_big = micro["copyReference/big_1MiB"]
    for kind in ("parseOnce", "parseStreamed"):
        m = micro[f"{kind}/big_1MiB"]
        ratio = m["bytes_per_second"] / copy_big["bytes_per_second"]
        how = "whole buffer" if kind == "parseOnce" else "in 64 KiB reads"
        rows.append((f"parse, message with a 1 MiB value ({how})", gib(m["bytes_per_second"]),
                     f"memcpy of the same bytes: {gib(copy_big['bytes_per_second'])}",
                     f"{ratio:.2f}x memcpy speed", ">= 0.5x", verdict(ratio >= 0.5)))
    m = micro["serializeOnce/big_1MiB"]
    ratio = m["bytes_per_second"] / copy_big["bytes_per_second"]
    rows.append(("serialize, message with a 1 MiB value", gib(m["bytes_per_second"]),
                 f"memcpy of the same bytes: {gib(copy_big['bytes_per_second'])}",
                 f"{ratio:.2f}x memcpy speed", "(none)", ""))
    copy_line = micro["copyReference/chat_line"]
    for kind, target in (("parseOnce", 1000), ("parseStreamed", 1000), ("serializeOnce", None)):
        m = micro[f"{kind}/chat_line"]
        what = {"parseOnce": "parse", "parseStreamed": "parse through the stream",
                "serializeOnce": "serialize"}[kind]
        rows.append((f"{what}, chat line with its two stamp pairs",
                     f"{m['ns']:.0f} ns/message ({1e9 / m['ns'] / 1e6:.2f} M messages/s)",
                     f"memcpy of the same bytes: {copy_line['ns']:.1f} ns",
                     f"{m['ns'] / copy_line['ns']:.0f}x memcpy time",
                     "<= 1 us" if target else "(none)",
                     verdict(m["ns"] <= target) if target else ""))

    # The targets of the whole-process benchmarks come with their results.
    d = whole.get("download")
    if d:
        mib = d["file_bytes"] >> 20
        target = d["ratio_target"]
        rows.append((f"download of a {mib} MiB file through the client (request to file on disk)",
                     ms(d["client_median"]),
                     f"raw read of the same bytes from a socket: {ms(d['raw_median'])}",
                     f"{d['ratio']:.2f}x", f"<= {target:g}x", verdict(d["ratio"] <= target)))
        rows.append(("  the same download, against a raw read that also writes each read to a file",
                     ms(d["client_median"]), ms(d["raw_to_file_median"]),
                     f"{d['ratio_to_raw_to_file']:.2f}x", "(floor)", ""))
        rows.append(("client peak RSS (VmHWM) during that download",
                     f"{d['peak_rss_kib'] / 1024:.1f} MiB",
                     f"limit 2 x file + 16 MiB = {d['peak_rss_limit_kib'] / 1024:.0f} MiB",
                     f"{d['peak_rss_kib'] / d['peak_rss_limit_kib']:.2f}x the limit", "<= 1x",
                     verdict(d["peak_rss_kib"] <= d["peak_rss_limit_kib"])))

    b = whole.get("burst")
    if b:
        target = b["ratio_target"]
        rows.append((f"burst of {b['lines']:,} chat lines: until the last is shown, all in order",
                     ms(b["client_median"]),
                     f"the same {b['payload_bytes'] / 1e6:.1f} MB raw onto a terminal: "
                     f"{ms(b['raw_terminal_median'])}",
                     f"{b['ratio_to_terminal']:.2f}x", f"<= {target:g}x",
                     verdict(b["ratio_to_terminal"] <= target)))
        rows.append(("  the same burst, against a raw read from a socket (no terminal)",
                     ms(b["client_median"]), f"{ms(b['raw_socket_median'])}",
                     f"{b['ratio_to_socket']:.0f}x", "(see below)", ""))
        rows.append(("  the same burst, against the shown lines copied onto a terminal one "
                     "write per line", ms(b["client_median"]), f"{ms(b['line_writes_median'])}",
                     f"{b['ratio_to_line_writes']:.2f}x", "(floor)", ""))
        if b.get("client_cpu_ms"):
            ours = statistics.median(b["client_cpu_ms"]) * 1000 / b["lines"]
            floor = statistics.median(b["line_writes_cpu_ms"]) * 1000 / b["lines"]
            rows.append(("  CPU time per shown line (user + system)", f"{ours:.2f} us",
                         f"line copier: {floor:.2f} us", f"{ours / floor:.2f}x", "", ""))

    i = whole.get("idle")
    if i:
        c, p = i["client"], i["irssi"]
        ticks, rss_kib = i["cpu_ticks_target"], i["rss_kib_target"]
        rows.append((f"idle {c['seconds']:.0f} s, connected: CPU",
                     f"{c['cpu_ticks']} ticks ({c['cpu_ms']:.1f} ms)",
                     f"irssi, idle, not connected: {p['cpu_ticks']} ticks ({p['cpu_ms']:.1f} ms)",
                     "", f"<= {ticks} tick" + ("" if ticks == 1 else "s"),
                     verdict(c["cpu_ticks"] <= ticks)))
        rows.append(("idle, connected: resident memory (VmRSS)", f"{c['rss_kib'] / 1024:.1f} MiB",
                     f"irssi: {p['rss_kib'] / 1024:.1f} MiB",
                     f"{c['rss_kib'] / p['rss_kib']:.2f}x irssi", f"<= {rss_kib / 1024:g} MiB",
                     verdict(c["rss_kib"] <= rss_kib)))

    o = whole.get("fanout")
    if o:
        rows.append((f"fan-out, {o['clients']} clients, {o['lines']} lines, each relayed to all: "
                     "throughput", f"{o['server_messages_per_second'] / 1e6:.2f} M messages/s",
                     f"raw relay (no parsing, one send per message): "
                     f"{o['relay_messages_per_second'] / 1e6:.2f} M messages/s",
                     f"{o['throughput_ratio']:.1f}x", "(none)", ""))
        rows.append(("fan-out: server CPU per relayed message",
                     f"{o['server_cpu_us_per_message'] * 1000:.0f} ns",
                     f"raw relay: {o['relay_cpu_us_per_message'] * 1000:.0f} ns",
                     f"{o['cpu_ratio']:.2f}x", "(none)", ""))

    ctx = micro["_context"]
    print(f"Machine: {ctx.get('num_cpus', '?')} CPUs at {ctx.get('mhz_per_cpu', '?')} MHz; "
          f"run {ctx.get('date', '')}\n")
    print("| benchmark | measured | reference (same run) | ratio | target | |")
    print("|---|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")


if __name__ == "__main__":
    main()
