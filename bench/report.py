#!/usr/bin/env python3
"""Turns the JSON of a rotolog_bench run into the table of messages per second,
the ratios of rotolog to each peer and to the limit lines, the list of targets
met and missed, and (with --svg) a bar chart. Standard library only."""

import argparse
import json
import math
import sys
from collections import OrderedDict

TITLES = {
    "memory_write": "In-memory write into a full ring of ~4096 messages",
    "memory_write_read": "In-memory write then read",
    "read_all": "Read every message of a full 1 MiB ring without consuming",
    "file_write": "Append to a file, one process, no flush",
    "spdlog_logger": "spdlog logger->info(text) through each sink, default pattern (end to end)",
    "processes": "Processes appending to one file at once (aggregate)",
    "flush_64KiB": "Flushed write, 64 KiB file",
    "flush_64MiB": "Flushed write, 64 MiB file",
    "read_64MiB_busy": "read_all of a full 64 MiB file beside 4 writer processes (rates in full rings)",
}

# (label, measurement, processes, size, ours, other, minimum ratio ours/other).
# `other` may name a contender of another process count as "name@procs".
# boost_push_copy (the caller already holds a std::string) stays in the tables
# for information only: the goals compare with a new string per message.
TARGETS = [
    ("in-memory write 64 B >= 1.5x boost push (new string)", "memory_write", 0, 64, "rotolog", "boost_push_new_string", 1.5),
    ("in-memory write+read 64 B >= 1.4x boost push+pop", "memory_write_read", 0, 64, "rotolog", "boost_push_pop", 1.4),
    ("in-memory write 1 KiB >= 1.3x boost push (new string)", "memory_write", 0, 1024, "rotolog", "boost_push_new_string", 1.3),
    ("in-memory write+read 1 KiB >= 1.3x boost push+pop", "memory_write_read", 0, 1024, "rotolog", "boost_push_pop", 1.3),
    ("read_all 64 B >= 10x spdlog last_raw()", "read_all", 0, 64, "rotolog", "spdlog_last_raw", 10.0),
    ("read_all 1 KiB >= 10x spdlog last_raw()", "read_all", 0, 1024, "rotolog", "spdlog_last_raw", 10.0),
    ("read_all 64 B within 2x of memcpy", "read_all", 0, 64, "rotolog", "limit_memcpy", 0.5),
    ("read_all 1 KiB within 2x of memcpy", "read_all", 0, 1024, "rotolog", "limit_memcpy", 0.5),
    ("read 64 MiB beside 4 writers within 3x of memcpy", "read_64MiB_busy", 0, 300, "rotolog", "limit_memcpy", 1 / 3),
    ("file write 64 B >= 15x write(2) O_APPEND", "file_write", 0, 64, "rotolog_write", "write_append", 15.0),
    ("file write 64 B >= 1.5x spdlog basic_file_sink_mt", "file_write", 0, 64, "rotolog_write", "spdlog_basic_file", 1.5),
    ("4 processes 64 B >= 5x write(2) O_APPEND", "processes", 4, 64, "rotolog", "write_append", 5.0),
    ("4 processes 64 B >= 2x Boost message_queue", "processes", 4, 64, "rotolog", "boost_message_queue", 2.0),
    ("4 processes 64 B keep >= 25% of 1 process", "processes", 4, 64, "rotolog", "rotolog@1", 0.25),
    ("flush 64 KiB, 64 B: cost <= 1.3x pwrite+fdatasync", "flush_64KiB", 0, 64, "rotolog_flush", "pwrite_fdatasync", 1 / 1.3),
    ("flush 64 MiB, 64 B: cost <= 1.3x pwrite+fdatasync", "flush_64MiB", 0, 64, "rotolog_flush", "pwrite_fdatasync", 1 / 1.3),
    ("flush 64 KiB, 1 KiB: cost <= 1.3x pwrite+fdatasync", "flush_64KiB", 0, 1024, "rotolog_flush", "pwrite_fdatasync", 1 / 1.3),
    ("flush 64 MiB, 1 KiB: cost <= 1.3x pwrite+fdatasync", "flush_64MiB", 0, 1024, "rotolog_flush", "pwrite_fdatasync", 1 / 1.3),
]


def parse_name(run_name):
    """'<measurement>/<contender>/<bytes>[/procs:<n>][/...]' -> its parts."""
    parts = run_name.split("/")
    processes = 0
    for part in parts[3:]:
        if part.startswith("procs:"):
            processes = int(part[len("procs:"):])
    return parts[0], parts[1], int(parts[2]), processes


def load(paths):
    """Messages per second by (measurement, processes) -> contender -> size.
    Medians when the run has aggregates, otherwise the median of the runs."""
    medians, samples, registered = {}, {}, {}
    for path in paths:
        with open(path) as stream:
            document = json.load(stream)
        for entry in document.get("benchmarks", []):
            if entry.get("error_occurred") or "items_per_second" not in entry:
                continue
            key = parse_name(entry.get("run_name", entry["name"]))
            index = entry.get("family_index", len(registered))
            registered[key[1]] = min(index, registered.get(key[1], index))
            if entry.get("run_type") == "aggregate":
                if entry.get("aggregate_name") == "median":
                    medians[key] = entry["items_per_second"]
            else:
                samples.setdefault(key, []).append(entry["items_per_second"])
    for key, values in samples.items():
        if key not in medians:
            values.sort()
            middle = len(values) // 2
            medians[key] = values[middle] if len(values) % 2 else (values[middle - 1] + values[middle]) / 2
    groups = OrderedDict()
    # Contenders in the order the benchmark registered them, whatever order
    # the repetitions ran in.
    by_registration = sorted(medians.items(), key=lambda item: registered.get(item[0][1], 0))
    for (measurement, contender, size, processes), rate in by_registration:
        groups.setdefault((measurement, processes), OrderedDict()).setdefault(contender, {})[size] = rate
    return groups


def rate_text(rate):
    for unit, scale in (("G", 1e9), ("M", 1e6), ("k", 1e3)):
        if rate >= scale:
            return "%.3g%s" % (rate / scale, unit)
    return "%.3g" % rate


def size_text(size):
    return "%d KiB" % (size // 1024) if size >= 1024 and size % 1024 == 0 else "%d B" % size


def ordered(contenders):
    """rotolog first, then the peers, then the limit lines."""
    rank = lambda name: 0 if name.startswith("rotolog") else (2 if name.startswith("limit") else 1)
    return sorted(contenders, key=lambda name: (rank(name), list(contenders).index(name)))


def group_title(measurement, processes):
    title = TITLES.get(measurement, measurement)
    if processes:
        title += ", %d process%s" % (processes, "" if processes == 1 else "es")
    return title


def in_report_order(groups):
    """The groups in the order of TITLES, then by process count."""
    rank = lambda key: (list(TITLES).index(key[0]) if key[0] in TITLES else len(TITLES), key[1])
    return sorted(groups.items(), key=lambda item: rank(item[0]))


def print_tables(groups, out):
    for (measurement, processes), contenders in in_report_order(groups):
        sizes = sorted({size for rates in contenders.values() for size in rates})
        ours = [name for name in ordered(contenders) if name.startswith("rotolog")]
        out.write("\n### %s\n\n" % group_title(measurement, processes))
        header = "| contender |"
        rule = "|---|"
        for size in sizes:
            header += " %s msg/s |" % size_text(size)
            rule += "---:|"
            for name in ours:
                header += " %s ÷ this |" % name
                rule += "---:|"
        out.write(header + "\n" + rule + "\n")
        for name in ordered(contenders):
            row = "| %s |" % name
            for size in sizes:
                rate = contenders[name].get(size)
                row += " %s |" % (rate_text(rate) if rate else "-")
                for our in ours:
                    mine = contenders[our].get(size)
                    row += " %s |" % ("%.2fx" % (mine / rate) if mine and rate and our != name else "")
            out.write(row + "\n")


# The contenders the targets name, as the README's performance table calls them.
PEERS = OrderedDict([
    ("boost_push_new_string", "boost::circular_buffer<std::string>, a new string pushed per message"),
    ("boost_push_pop", "boost::circular_buffer<std::string>, push then pop"),
    ("spdlog_last_raw", "spdlog ringbuffer sink, read back with last_raw()"),
    ("limit_memcpy", "a bare memcpy of the same bytes (a lower bound, not a peer)"),
    ("write_append", "write(2) to a file opened with O_APPEND"),
    ("spdlog_basic_file", "spdlog basic_file_sink_mt"),
    ("boost_message_queue", "Boost message_queue (interprocess)"),
    ("rotolog@1", "rotolog itself with one process"),
    ("pwrite_fdatasync", "pwrite + fdatasync of the same bytes"),
])


def check_targets(groups, out):
    out.write("\n### Targets\n\n")
    out.write("Each target is a goal for the ratio of rotolog's median rate to a peer's in this run:\n"
              "'met' when the ratio reaches it, 'MISSED' when it does not. The ratios move with the\n"
              "machine's load; a miss by a few percent on a busy machine deserves a second run\n"
              "before it deserves a bug report. The peers (the README's names):\n\n")
    for other in OrderedDict((target[5], None) for target in TARGETS):
        out.write("- %s: %s\n" % (other, PEERS.get(other, other)))
    out.write("\n")
    met = 0
    for label, measurement, processes, size, ours, other, minimum in TARGETS:
        mine = groups.get((measurement, processes), {}).get(ours, {}).get(size)
        other_processes = processes
        if "@" in other:
            other, other_processes = other.split("@")[0], int(other.split("@")[1])
        theirs = groups.get((measurement, other_processes), {}).get(other, {}).get(size)
        if not mine or not theirs:
            out.write("- %s: not measured\n" % label)
            continue
        ratio = mine / theirs
        verdict = "met" if ratio >= minimum else "MISSED"
        met += ratio >= minimum
        out.write("- %s: %.2fx, %s\n" % (label, ratio, verdict))
    out.write("\n%d of %d targets met.\n" % (met, len(TARGETS)))


def write_svg(groups, path):
    """Horizontal bars on a log scale, one block per measurement and size."""
    rows = []
    for (measurement, processes), contenders in in_report_order(groups):
        for size in sorted({size for rates in contenders.values() for size in rates}):
            rows.append(("title", "%s, %s" % (group_title(measurement, processes), size_text(size)), 0))
            for name in ordered(contenders):
                if size in contenders[name]:
                    rows.append((name, name, contenders[name][size]))
    rates = [rate for kind, _, rate in rows if kind != "title"]
    if not rates:
        return
    low = 10 ** math.floor(math.log10(min(rates)))
    high = 10 ** math.ceil(math.log10(max(rates)))
    label_width, bar_width, line = 260, 560, 18
    width, height = label_width + bar_width + 90, line * (len(rows) + 2)
    scale = lambda rate: bar_width * (math.log10(rate) - math.log10(low)) / (math.log10(high) - math.log10(low))
    svg = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="sans-serif" font-size="11">'
           % (width, height), '<rect width="100%" height="100%" fill="white"/>']
    decade = low
    while decade <= high:
        x = label_width + scale(decade)
        svg.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#ddd"/>' % (x, line, x, height - line))
        svg.append('<text x="%.1f" y="%d" text-anchor="middle" fill="#666">%s/s</text>' % (x, height - 4, rate_text(decade)))
        decade *= 10
    for index, (kind, label, rate) in enumerate(rows):
        y = line * (index + 1)
        if kind == "title":
            svg.append('<text x="4" y="%d" font-weight="bold">%s</text>' % (y + 13, escape(label)))
            continue
        colour = "#1f6fb4" if kind.startswith("rotolog") else ("#bbbbbb" if kind.startswith("limit") else "#e08a2c")
        svg.append('<text x="%d" y="%d" text-anchor="end">%s</text>' % (label_width - 6, y + 13, escape(label)))
        svg.append('<rect x="%d" y="%d" width="%.1f" height="%d" fill="%s"/>'
                   % (label_width, y + 3, max(scale(rate), 1), line - 5, colour))
        svg.append('<text x="%.1f" y="%d">%s</text>' % (label_width + max(scale(rate), 1) + 4, y + 13, rate_text(rate)))
    svg.append("</svg>")
    with open(path, "w") as stream:
        stream.write("\n".join(svg) + "\n")


def escape(text):
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("json", nargs="+", help="Google Benchmark JSON output (--benchmark_out)")
    parser.add_argument("--svg", help="also write a bar chart to this SVG file")
    arguments = parser.parse_args()
    groups = load(arguments.json)
    if not groups:
        sys.exit("report.py: no results in %s" % ", ".join(arguments.json))
    sys.stdout.write("Messages per second (medians); 'X ÷ this' is X's rate over this row's rate.\n")
    print_tables(groups, sys.stdout)
    check_targets(groups, sys.stdout)
    if arguments.svg:
        write_svg(groups, arguments.svg)
        sys.stdout.write("Chart: %s\n" % arguments.svg)


if __name__ == "__main__":
    main()
