#!/usr/bin/env python3
"""Turns the raw figures of scripts/bench.sh into its table.

    report.py RESULTS RUNS --scenario S --machine M --commit C --date D
    report.py --readme README.md SCENARIO TABLE_FILE   (puts the table into the README)
"""
import datetime
import glob
import os
import re
import statistics
import sys

WHO = ("server", "floor")


def read_client(path):
    """(receipt us, topic, item, value) per update line."""
    rows = []
    with open(path, encoding="cp932", errors="replace") as f:
        for line in f:
            parts = line.rstrip("\r\n").split("\t")
            if len(parts) == 4 and parts[0].isdigit():
                rows.append((int(parts[0]), parts[1].lower(), parts[2].lower(), parts[3]))
    return rows


def stamp_us(text):
    """The stream's "2026-12-10 09:18:53.123456" (UTC) in microseconds."""
    try:
        moment = datetime.datetime.strptime(text, "%Y-%m-%d %H:%M:%S.%f").replace(tzinfo=datetime.timezone.utc)
    except ValueError:
        return None
    return int(moment.timestamp()) * 1000000 + moment.microsecond


def percentile(values, fraction):
    ordered = sorted(values)
    if not ordered:
        return None
    return ordered[min(len(ordered) - 1, int(fraction * len(ordered)))]


def read_number(path, index=0):
    with open(path) as f:
        return float(f.read().split()[index])


def bursts_in(sim_log, start, end):
    """(last seq, written us) of every burst on a btc_jpy connection in [start, end]."""
    btc = set()
    found = []
    with open(sim_log, errors="replace") as f:
        for line in f:
            m = re.match(r"#(\d+) stream: upgraded btc_jpy,", line)
            if m:
                btc.add(m.group(1))
            m = re.match(r"#(\d+) stream: burst of \d+ messages in one write, the last seq (\d+), written at (\d+) us", line)
            if m and m.group(1) in btc and start <= int(m.group(3)) <= end:
                found.append((int(m.group(2)), int(m.group(3))))
    return found


def measure(results, who, run):
    base = os.path.join(results, f"{who}.{run}")
    t0, t1, c0, c1, w0, w1, hz = (float(x) for x in open(base + ".cpu").read().split())
    wall = (t1 - t0) / 1e6
    figures = {
        "cpu": (c1 - c0) / hz / wall * 100,
        "wineserver": (w1 - w0) / hz / wall * 100,
        "memory": read_number(base + ".memory", 0) / 1024,
        "threads": read_number(base + ".memory", 1),
        "exit": read_number(base + ".exit") / 1000,
    }
    client = read_client(base + ".client")
    steady = [row for row in client if t0 <= row[0] <= t1]
    figures["rate"] = len(steady) / wall
    bursts = bursts_in(os.path.join(results, "sim.log"), t0, t1)
    # A message's latency is the first receipt of its stamp. Wine's DDEML
    # also hands a stamp to the links of other topics and items, late and
    # again, so which link shows it says nothing; a stamp seen before is a
    # repeat, not a delivery.
    latencies = []
    seen = set()
    for received, topic, item, value in client:
        sent = stamp_us(value) if topic.endswith(".r") else None
        if sent is None or sent in seen:
            continue
        seen.add(sent)
        # Messages of a burst wait behind each other by design; they are
        # the burst's figure, not the stream's.
        if not t0 <= received <= t1 or any(w - 2000000 <= sent <= w + 2000000 for _, w in bursts):
            continue
        latencies.append((received - sent) / 1000)
    figures["p50"] = percentile(latencies, 0.5)
    figures["p99"] = percentile(latencies, 0.99)
    figures["samples"] = len(latencies)
    fresh = []
    if os.path.exists(base + ".pins"):
        for line in open(base + ".pins"):
            pinned_at, price = (int(x) for x in line.split())
            for received, topic, item, value in client:
                # Wine's DDEML may hand a value to the link of the same item
                # under another topic; the pinned price is unique either way.
                if received >= pinned_at and topic.endswith(".h") and item == "last":
                    try:
                        if abs(float(value) - price) < 0.5:
                            fresh.append((received - pinned_at) / 1e6)
                            break
                    except ValueError:
                        pass
    figures["fresh"] = fresh
    burst_ms = []
    delivered = []
    seqs = [(received, value) for received, topic, item, value in client if topic == "btc_jpy.r" and item == "seq"]
    for last, written in bursts:
        arrived = [received for received, value in seqs if value == str(last) and received >= written]
        if arrived:
            burst_ms.append((arrived[0] - written) / 1000)
        wanted = {str(s) for s in range(last - 99, last + 1)}
        delivered.append(len({value for _, value in seqs if value in wanted}))
    figures["burst"] = burst_ms
    figures["delivered"] = delivered
    return figures


def span(values, digits=1, unit=""):
    values = [v for v in values if v is not None]
    if not values:
        return "—"
    low, high = min(values), max(values)
    if round(low, digits) == round(high, digits):
        return f"{low:.{digits}f}{unit}"
    return f"{low:.{digits}f}–{high:.{digits}f}{unit}"


def ratio(ours, floor):
    ours = [v for v in ours if v is not None]
    floor = [v for v in floor if v is not None]
    if not ours or not floor or statistics.median(floor) == 0:
        return "—"
    return f"{statistics.median(ours) / statistics.median(floor):.2f}×"


def table(results, runs, scenario, machine, commit, date):
    figures = {who: [measure(results, who, run) for run in range(1, runs + 1)] for who in WHO}

    def column(who, key):
        out = []
        for f in figures[who]:
            value = f[key]
            out.extend(value if isinstance(value, list) else [value])
        return out

    rows = [
        ("updates/s at the client", "rate", 0, ""),
        ("process CPU, steady (one core = 100%)", "cpu", 1, "%"),
        ("wineserver CPU, steady", "wineserver", 1, "%"),
        ("peak working set", "memory", 0, " MB"),
        ("threads (Wine's own included)", "threads", 0, ""),
        ("stream latency p50", "p50", 1, " ms"),
        ("stream latency p99", "p99", 1, " ms"),
        ("REST freshness (price change to cell)", "fresh", 2, " s"),
    ]
    if any(column("server", "burst") + column("floor", "burst")):
        rows.append(("burst of 100: last one in the cell", "burst", 0, " ms"))
        rows.append(("burst of 100: values that reached the cell", "delivered", 0, ""))
    rows.append(("exit time (client still linked)", "exit", 0, " ms"))
    lines = [
        f"### Scenario `{scenario}`",
        "",
        f"{date}, commit {commit}; {machine}. {runs} runs of each program, alternating;",
        "ranges are over runs (latency over all samples of a run), ratios of the medians.",
        "",
        "| figure | vornfeed.exe | floor (ddefloor) | ratio |",
        "|---|---|---|---|",
    ]
    for title, key, digits, unit in rows:
        ours, floor = column("server", key), column("floor", key)
        lines.append(f"| {title} | {span(ours, digits, unit)} | {span(floor, digits, unit)} | {ratio(ours, floor)} |")
    samples = [f["samples"] for who in WHO for f in figures[who]]
    lines += ["", f"Stream latency from {min(samples)}–{max(samples)} stamped messages per run."]
    return "\n".join(lines)


def update_readme(readme, scenario, table_file):
    text = open(readme).read()
    block = open(table_file).read().strip()
    begin, end = f"<!-- bench:{scenario}:begin -->", f"<!-- bench:{scenario}:end -->"
    body = f"{begin}\n{block}\n\n(from `{os.path.relpath(table_file, os.path.dirname(readme))}`)\n{end}"
    if begin in text:
        text = re.sub(re.escape(begin) + ".*?" + re.escape(end), lambda _: body, text, flags=re.S)
    else:
        anchor = "<!-- bench:end -->"
        text = text.replace(anchor, body + "\n\n" + anchor)
    open(readme, "w").write(text)


def main(argv):
    if argv[1] == "--readme":
        update_readme(argv[2], argv[3], argv[4])
        return
    options = dict(zip(argv[3::2], argv[4::2]))
    print(table(argv[1], int(argv[2]), options["--scenario"], options["--machine"], options["--commit"],
                options["--date"]))


if __name__ == "__main__":
    main(sys.argv)
