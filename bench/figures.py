#!/usr/bin/env python3
"""The images bench/run times the programs with, and its tables.

  figures.py images DIR SAMPLE     writes the images into DIR
  figures.py summary RESULTS DIR   prints the tables from bench/run's JSON

What each figure means: bench/README.md.
"""
import json
import os
import platform
import random
import shutil
import statistics
import sys
import time

BAUD = 115200
BASE_LINES = 3  # an address, one data line and the end line: the least the tool takes
MEMORY_FILE_SIZE = 64 * 1024 * 1024  # the largest file the tool reads
SPACE = 1 << 20  # the instrument's address space
UNITS_IN_US = {"ns": 1e-3, "us": 1.0, "ms": 1e3, "s": 1e6}  # Google Benchmark's time units


def hex_line(data):
    return " ".join("%02X" % b for b in data)


def prepared_image(path, lines):
    """The form line preparation leaves as it is, so the C loop can send the
    file as it stands: "@" and five digits before each 1 KiB, 16-byte data
    lines, the end line; addresses wrap at 1 MiB."""
    rnd = random.Random(20261207)
    out, block, in_block = [], 0, 64
    while len(out) < lines - 1:
        if in_block == 64:
            out.append("@%05X" % (block * 1024 % SPACE))
            block, in_block = block + 1, 0
        else:
            out.append(hex_line(rnd.randbytes(16)))
            in_block += 1
    out.append("q")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")


def checksum(data):
    return sum(data) & 0xFF


def format_files(d):
    """The same 1 MiB of random data as the text image, Intel HEX (16-byte
    records, an 04 record before each 64 KiB), S-records (S2, S8), and Intel
    HEX of one-byte records, last address first: the most the image map can
    be made to keep."""
    data = random.Random(20261208).randbytes(SPACE)
    with open(os.path.join(d, "format-text.txt"), "w") as f:
        f.write("@00000\n")
        for at in range(0, SPACE, 16):
            f.write(hex_line(data[at:at + 16]) + "\n")
        f.write("q\n")

    def intel(record):
        return ":" + record.hex().upper() + "%02X\n" % (-checksum(record) & 0xFF)

    def intel_data(at, chunk):
        return intel(bytes([len(chunk), at >> 8 & 0xFF, at & 0xFF, 0]) + chunk)

    def intel_upper(at):
        return intel(bytes([2, 0, 0, 4, 0, at >> 16]))

    with open(os.path.join(d, "format-intel.txt"), "w") as f:
        for at in range(0, SPACE, 16):
            if at % 0x10000 == 0:
                f.write(intel_upper(at))
            f.write(intel_data(at, data[at:at + 16]))
        f.write(":00000001FF\n")
    with open(os.path.join(d, "format-reversed.txt"), "w") as f:
        upper = None
        for at in range(SPACE - 1, -1, -1):
            if at >> 16 != upper:
                upper = at >> 16
                f.write(intel_upper(at))
            f.write(intel_data(at, data[at:at + 1]))
        f.write(":00000001FF\n")
    with open(os.path.join(d, "format-srec.txt"), "w") as f:
        for at in range(0, SPACE, 16):
            record = bytes([20, at >> 16, at >> 8 & 0xFF, at & 0xFF]) + data[at:at + 16]
            f.write("S2" + record.hex().upper() + "%02X\n" % (~checksum(record) & 0xFF))
        f.write("S804000000FB\n")


def memory_files(d):
    """Files of the largest size the tool reads, one kind of line each, made
    images the tool takes by an address, a data line and the end line; the
    one long line is refused as soon as its start is read."""
    size, rnd = MEMORY_FILE_SIZE, random.Random(20261208)

    def write(kind, text):
        assert len(text) <= size
        with open(os.path.join(d, "memory-%s.txt" % kind), "w") as f:
            f.write(text)

    write("blank", "@00000\n31 40\n" + "\n" * (size - 15) + "q\n")
    write("address", "@F000\n31 40\n" + "@F000\n" * ((size - 14) // 6) + "q\n")
    write("oneline", "@F000\n" + "A5 " * ((size - 6) // 3 - 1) + "A5")
    for kind, per_line in (("data16", 16), ("data1", 1)):
        # Blocks of data, each after its address line, wrapping at 1 MiB.
        parts, total, block = [], 0, 0
        while True:
            # 64 KiB as the instrument stores it: a 1-byte line gains its pad byte.
            lines = min(65536 // (per_line + per_line % 2), (size - 2 - total - 7) // (3 * per_line))
            if lines <= 0:
                break
            data = rnd.randbytes(lines * per_line)
            text = (data.hex("\n") if per_line == 1 else
                    "\n".join(data[i:i + 16].hex(" ") for i in range(0, len(data), 16))).upper()
            parts.append("@%05X\n%s\n" % (block * 65536 % SPACE, text))
            total, block = total + len(parts[-1]), block + 1
        write(kind, "".join(parts) + "q\n")


def images(d, sample):
    for n in (BASE_LINES, 1000, 2000, 20000, 200000):
        prepared_image(os.path.join(d, "image-%d.txt" % n), n)
    shutil.copy(sample, os.path.join(d, "sample.txt"))
    format_files(d)
    memory_files(d)


# --- The tables -----------------------------------------------------------------


def lines_sent(path):
    """Lines up to and including the end line."""
    with open(path) as f:
        for n, line in enumerate(f, 1):
            if line.strip() in ("q", "Q"):
                return n
    raise SystemExit("no end line in " + path)


def wire_seconds(path):
    """Each line and its line feed, each reply ('*', "OK*" to the end line), 10 bits a byte."""
    with open(path) as f:
        lines = [line.rstrip("\n") for line in f]
    return sum(len(s) + 1 + (3 if s == "q" else 1) for s in lines) * 10 / BAUD


def hyperfine(results, name):
    with open(os.path.join(results, name + ".json")) as f:
        out = {}
        for r in json.load(f)["results"]:
            r["cpu"] = r["user"] + r["system"]
            name = r["command"]
            if "ms" in r.get("parameters", {}):  # the latency timer: the sample image or the baseline
                name = ("sample-" if "sample.txt" in name else "base-") + r["parameters"]["ms"]
            out[name] = r
        return out


def spread(r, scale=1.0, unit="s", digits=3):
    return "%.*f %s (%.*f–%.*f)" % (digits, r["median"] * scale, unit, digits, r["min"] * scale, digits,
                                     r["max"] * scale)


def table(header, rows):
    print("| " + " | ".join(header) + " |")
    print("|" + " --- |" * len(header))
    for row in rows:
        print("| " + " | ".join(str(c) for c in row) + " |")
    print()


def cpu_model():
    with open("/proc/cpuinfo") as f:
        return next((l.split(":", 1)[1].strip() for l in f if l.startswith("model name")), platform.machine())


def verdict(ok):
    return "yes" if ok else "**no**"


def summary(results, d):
    runs = len(hyperfine(results, "cost")["cli-3"]["times"])
    with open(os.path.join(results, "core.json")) as f:
        core = json.load(f)
    rows = []
    for b in core["benchmarks"]:
        per_item = "%.0f ns" % (1e9 / b["items_per_second"]) if "items_per_second" in b else ""
        rate = "%.0f MB/s" % (b["bytes_per_second"] / 1e6) if "bytes_per_second" in b else ""
        rows.append(["`%s` %s" % (b["name"], b.get("label", "")), "%.1f µs" % (b["cpu_time"] * UNITS_IN_US[b["time_unit"]]),
                     per_item, rate])
    print("### In-process: the firmware core (Google Benchmark, CPU time)\n")
    table(["benchmark (64 KiB of data: 4,096 data lines)", "CPU time an iteration", "per line", "throughput"], rows)

    print("### Whole programs (hyperfine, %d runs of each command; median (range))\n" % runs)
    cost = hyperfine(results, "cost")
    per = 20000 - BASE_LINES

    def diff(res, prog, n, key="median"):
        return res["%s-%d" % (prog, n)][key] - res["%s-%d" % (prog, BASE_LINES)][key]

    cw, lw = diff(cost, "cli", 20000) / per, diff(cost, "loop", 20000) / per
    cc, lc = diff(cost, "cli", 20000, "cpu") / per, diff(cost, "loop", 20000, "cpu") / per
    paced = hyperfine(results, "paced")
    pc, pl = diff(paced, "cli", 2000), diff(paced, "loop", 2000)
    wire = wire_seconds(os.path.join(d, "image-2000.txt")) - wire_seconds(os.path.join(d, "image-3.txt"))
    mem = {}
    with open(os.path.join(results, "memory.txt")) as f:
        for line in f:
            label, _, _, rss_kb, status = line.split()
            mem[label] = (int(rss_kb) / 1024, int(status))
    small, large = mem["update-image-1000"][0], mem["update-image-200000"][0]
    file_growth = (os.path.getsize(os.path.join(d, "image-200000.txt")) -
                   os.path.getsize(os.path.join(d, "image-1000.txt"))) / 2**20
    rows = [
        ["1. wall time per line, instant simulator (20000 lines)", "%.1f µs" % (cw * 1e6), "C loop %.1f µs" % (lw * 1e6),
         "%.2fx" % (cw / lw), "≤ 1.25x", verdict(cw / lw <= 1.25)],
        ["1. CPU time per line (user + system, mean)", "%.1f µs" % (cc * 1e6), "C loop %.1f µs" % (lc * 1e6),
         "%.2fx" % (cc / lc), "≤ 2x", verdict(cc / lc <= 2)],
        ["2. write phase at 115200 baud (1997 lines)", "%.3f s" % pc, "C loop %.3f s" % pl, "%.4fx" % (pc / pl),
         "≤ 1.01x", verdict(pc / pl <= 1.01)],
        ["2. the same against its wire time, %.3f s" % wire, "%.4fx" % (pc / wire), "C loop %.4fx" % (pl / wire), "", "", ""],
        ["3. peak memory of an update, 1000 → 200000 lines", "%.1f → %.1f MiB: +%.1f MiB" % (small, large, large - small),
         "2 × file growth: %.1f MiB" % (2 * file_growth), "%.2f" % ((large - small) / (2 * file_growth)), "≤ 1",
         verdict(large - small <= 2 * file_growth)],
    ]
    base_rss = mem["check-image-3"][0]
    for kind, what in (("blank", "blank lines"), ("data16", "16-byte data lines"),
                       ("data1", "1-byte data lines (each padded to 2)"), ("address", "four-digit address lines"),
                       ("oneline", "one data line without a line end (refused)")):
        rss, status = mem["check-memory-" + kind]
        size = os.path.getsize(os.path.join(d, "memory-%s.txt" % kind)) / 2**20
        refused = kind == "oneline"
        if (status != 0) != refused:
            raise SystemExit("--check of memory-%s.txt ended with %d" % (kind, status))
        rows.append(["3. peak memory of `--check`, %.1f MiB of %s" % (size, what), "%.1f MiB: +%.1f MiB" % (rss, rss - base_rss),
                     "2 × file: %.1f MiB" % (2 * size), "%.2f" % ((rss - base_rss) / (2 * size)), "≤ 1",
                     verdict(rss - base_rss <= 2 * size)])
    help_run = next(iter(hyperfine(results, "help").values()))
    window = next(iter(hyperfine(results, "first-window").values()))
    rows += [["4. `wexel-update-cli --help`, wall time", spread(help_run, 1000, "ms", 1), "", "", "", ""],
             ["4. desktop program, exec to its first shown window (Xvfb)", spread(window, 1000, "ms", 0), "", "", "", ""]]
    table(["benchmark", "wexel-update-cli", "reference", "ratio of medians", "target", "met"], rows)

    latency = hyperfine(results, "latency")
    sample = os.path.join(d, "sample.txt")
    sent = lines_sent(sample)
    line_wire = 49 * 10 / BAUD * 1000
    rows, first = [], None
    for ms in (0, 1, 2, 4, 8, 16):
        cost_ms = (latency["sample-%d" % ms]["median"] - latency["base-%d" % ms]["median"]) / (sent - BASE_LINES) * 1000
        first = first or cost_ms
        model = line_wire if ms == 0 else -(-line_wire // ms) * ms
        rows.append(["%d ms" % ms, "%.2f ms" % cost_ms, "%.2f ms" % model, "%.2f s" % (cost_ms * (sent - BASE_LINES) / 1000),
                     "%.2fx" % (cost_ms / first)])
    print("5. Behind a USB adapter's latency timer: the sample image less the baseline, per line\n")
    table(["latency timer", "cost per line", "model: %.2f ms of wire time, up to the next tick" % line_wire,
           "write phase of the sample image (%d lines)" % (sent - BASE_LINES), "against no timer"], rows)

    station = hyperfine(results, "station")
    one = station["1"]["median"]
    rows = [[n, spread(station[n]), "%.3fx" % (station[n]["median"] / one), "≤ 1.05x: %s" % verdict(station[n]["median"] / one <= 1.05) if n == "32" else "",
             "%.1f µs" % (station[n]["cpu"] / (int(n) * sent) * 1e6)] for n in ("1", "4", "16", "32")]
    print("6. Station mode: one wexel-update-cli, N simulators at 115200 baud, the sample image\n")
    table(["instruments", "wall time", "against 1 instrument", "target", "CPU time per line (user + system, mean)"], rows)

    formats = hyperfine(results, "formats")
    base = formats["base"]["median"]
    text = formats["text"]["median"] - base
    rows = []
    for kind, what in (("text", "text image"), ("intel", "Intel HEX, 16-byte records"), ("srec", "S-records (S2), 16-byte records"),
                       ("reversed", "Intel HEX, 1-byte records, last address first")):
        size = os.path.getsize(os.path.join(d, "format-%s.txt" % kind)) / 2**20
        wall = formats[kind]["median"] - base
        timed = kind in ("intel", "srec")
        rss = mem["check-format-" + kind][0]
        rows.append([what, "%.2f MiB" % size, "%.1f ms" % (wall * 1000), "%.2fx" % (wall / text), "≤ 1.5x" if timed else "",
                     verdict(wall / text <= 1.5) if timed else "", "%.1f MiB" % rss,
                     verdict(rss <= 2 * size + base_rss)])
    print("7. Record formats against text: `--check` of 1 MiB of data, less `--check` of the 3-line image\n")
    table(["file", "size", "wall time less start-up", "against text", "target", "met", "peak memory",
           "within 2 × file + %.1f MiB" % base_rss], rows)

    sw = hyperfine(results, "station-window")
    with open(os.path.join(results, "station-stats.json")) as f:
        stats = json.load(f)
    ratio = sw["station-32"]["median"] / sw["cli-1"]["median"]
    running = stats["longest_stall_running_ms"]
    busiest = max(lane["busiest_second"] for lane in stats["lanes"])
    redraws = sorted(lane["redraws"] for lane in stats["lanes"])
    print("8. The station window: 32 lanes on 32 simulators at 115200 baud, Xvfb; its own figures from its last run (--stats)\n")
    table(["what", "figure", "reference", "target", "met"], [
        ["wall time, exec to exit", spread(sw["station-32"]), "wexel-update-cli, 1 instrument: " + spread(sw["cli-1"]),
         "≤ 1.05x: %.3fx" % ratio, verdict(ratio <= 1.05)],
        ["the window from Start to its last lane at rest", "%.3f s" % (stats["run_ms"] / 1000), "", "", ""],
        ["longest event-loop stall while the lanes ran", "%.1f ms" % running, "", "< 50 ms", verdict(running < 50)],
        ["the same since the window opened", "%.1f ms" % stats["longest_stall_ms"], "", "", ""],
        ["redraws of a lane within any one second, the most of any lane", busiest, "", "about 10", verdict(busiest <= 11)],
        ["redraws of a lane in all, least and most", "%d and %d" % (redraws[0], redraws[-1]), "", "", ""],
        ["lanes passed", "%d of %d" % (stats["passed"], len(stats["lanes"])), "", "", ""],
    ])

    print("The unit history's cost: the sample image at 115200 baud with the history kept (a row synced to the "
          "disk per attempt) and with `--no-history`, timed in turns (`bench/paired`); the ratio is the median of "
          "the pairs' ratios\n")
    rows = []
    for n, what in ((1, "one instrument, the command line"), (32, "32 instruments, the command line"),
                    ("station", "32 lanes, the station's window")):
        with open(os.path.join(results, "history-%s.json" % n)) as f:
            pairs = json.load(f)
        ratio = statistics.median(pairs["ratios"])
        rows.append([what, "%.3f s" % statistics.median(pairs["kept"]), "%.3f s" % statistics.median(pairs["none"]),
                     "%d" % len(pairs["ratios"]), "≤ 1.01x: %.4fx" % ratio, verdict(ratio <= 1.01)])
    table(["update", "history kept (median)", "no history (median)", "pairs", "ratio (target)", "met"], rows)

    settle = hyperfine(results, "settle")
    print("The quiet time after the end line: the sample image on the instant simulator, shortened erase\n")
    table(["reply time-out", "3000 ms (150 ms of quiet)", "20 ms (1 ms of quiet)", "difference: the quiet time"],
          [["whole update", spread(settle["3000"], 1000, "ms", 0), spread(settle["20"], 1000, "ms", 0),
            "%.0f ms" % ((settle["3000"]["median"] - settle["20"]["median"]) * 1000)]])
    print("%s UTC, %s %s, %s, %d cores shared with other work (load average at the end: %s)." % (
        time.strftime("%Y-%m-%d %H:%M", time.gmtime()), platform.system(), platform.release(),
        cpu_model(), os.cpu_count(), " ".join(open("/proc/loadavg").read().split()[:3])))


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "images":
        images(sys.argv[2], sys.argv[3])
    elif len(sys.argv) == 4 and sys.argv[1] == "summary":
        summary(sys.argv[2], sys.argv[3])
    else:
        raise SystemExit(__doc__)
