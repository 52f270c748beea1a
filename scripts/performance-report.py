#!/usr/bin/env python3
"""Turns the benchmark programs' output into docs/PERFORMANCE.md (called by scripts/bench.sh).

Reads lines "figure<TAB>id<TAB>unit<TAB>label<TAB>samples" and "info<TAB>id<TAB>text" from the
given files; bench_link's prose output is quoted as it is.
"""

import argparse
import math
import os
import platform
import statistics
import sys

# id: (statistic judged, comparison, limit) -- the targets the figures are held to.
TARGETS = {
    "wait.paced": ("median", "<", 2.0),
    "click.overhead": ("median", "<", 3.0),
    "click.overhead/p99": ("p99", "<", 10.0),
    "startup.overhead": ("median", "<", 250.0),
    "memory.peak": ("median", "<", 60.0),
    "window.faults": ("median", "==", 0.0),
    "startup.faults": ("median", "==", 0.0),
    "soak.faults": ("median", "==", 0.0),
    "soak.growth": ("median", "<", 1.0),
    "soak.descriptors": ("median", "==", 0.0),
    "ctl.status": ("median", "<", 50.0),
    "ctl.on5": ("median", "<", 100.0),
    "ctl.status.vs.pyserial": ("median", "<", 0.6),
    "ctl.line.status.vs.floor": ("median", "<", 1.0),
    "ctl.line.on5.vs.floor": ("median", "<", 1.0),
    "daemon.command": ("median", "<", 30.0),
    "daemon.command/p99": ("p99", "<", 100.0),
    "daemon.burst": ("median", "<", 10.0),
    "daemon.burst.wrong": ("median", "==", 0.0),
    "daemon.idle.cpu": ("median", "<", 0.5),
    "daemon.idle.rss": ("median", "<", 25.0),
    "daemon.restart": ("median", "<", 3.0),
    "daemon.eight/p99": ("p99", "<", 100.0),
    "daemon.faults": ("median", "==", 0.0),
}

HTTP_LOAD = ["http_load_1", "http_load_50", "http_load_200", "http_load_streams"]
HTTP_LOAD_METHOD = (
    "wrk (Debian's) for 5 s per load against `usb16relayd --http` serving one `usb16relay-sim` "
    "board, on loopback: `GET /api/v1/boards` on 1, 50 and 200 keep-alive connections, then on 50 "
    "beside 64 event streams held open by curl. Answers other than 200 are counted by a wrk "
    "script; the service's processor time comes from `/proc/PID/stat`, its threads from "
    "`/proc/PID/status`, sampled every 200 ms.")

SECTIONS = [
    (
        "Cost of waiting",
        ["wait.paced", "wait.spinning"],
        "`bench_wait`: processor time of the whole process per second of waiting, as a share of "
        "one core. Each round is one second made of twenty 50 ms waits; the paced wait (a sleep "
        "in the event loop) and the reference it replaced (`QCoreApplication::processEvents` in "
        "a loop until the deadline) alternate round by round, so both see the same load.",
    ),
    (
        "Click to painted indicator",
        ["click.total", "click.overhead", "click.wire"],
        "`bench_window`: the window on the offscreen platform, a simulated board on a pty as "
        "COM1. A real `QTest::mouseClick` on `cmdRelay5`, timed until a paint event reaches "
        "`fStatus(4)` while it holds its new colour (an event filter on the indicator). The "
        "protocol requires 350 ms of pauses (50 ms after the switching command, 300 ms for the "
        "answer); the overhead is the total less those. A pty has no baud rate, so the wire time "
        "a real board at 9600 baud 8N1 would add (12 bytes of 10 bits: `05+//`, `ask//` and the "
        "two status bytes) is shown beside it as the floor of what a real line costs.",
    ),
    (
        "Start-up to the window shown",
        ["startup.total", "startup.overhead", "startup.faults"],
        "`bench_startup`: the built `usb16relay`, unchanged, launched repeatedly with "
        "`QT_QPA_PLATFORM=offscreen` against a `usb16relay-sim` process. The program loads a Qt "
        "generic plugin (`QT_QPA_GENERIC_PLUGINS=usb16relay-startup`, from `bench/`) whose "
        "application-wide event filter waits for the first window to be exposed, lets the event "
        "loop paint it, then writes the monotonic time to standard error and quits. The figure "
        "runs from just before the process is started to that moment. Connecting requires 500 ms "
        "of pauses (200 ms between the two refreshes, 300 ms for the second answer); the overhead "
        "is the rest. A launch counts only if the board's byte log shows exactly the two "
        "`ask//` of connecting.",
    ),
    (
        "Memory",
        [
            "memory.peak",
            "memory.shown",
            "memory.toggles",
            "memory.sends",
            "memory.console",
            "memory.beyond",
            "window.faults",
        ],
        "`bench_window`, continued: after the timed clicks the relay keeps toggling, then "
        "`ask//` is sent from the console (`txtSend`, `cmdSend`) repeatedly. Peak is `VmHWM`, "
        "the others `VmRSS` from `/proc/self/status`; each is one measurement of the run. The "
        "console keeps every reply, so its text is subtracted from the growth.",
    ),
    (
        "usb16relay-ctl from process start to exit",
        ["ctl.status", "ctl.on5", "ctl.pyserial", "ctl.status.vs.pyserial", "ctl.window",
         "ctl.line.status", "ctl.line.on5", "ctl.wire.status", "ctl.wire.on5",
         "ctl.line.status.vs.floor", "ctl.line.on5.vs.floor"],
        "`bench_ctl`: the built `usb16relay-ctl` run again and again against a `usb16relay-sim` "
        "process on a pty, timed from just before the process starts to its exit. It reads as "
        "soon as the two answers have come and the line has stayed quiet for its guard, where the "
        "window waits its fixed 300 ms. A pty has no baud rate, so the same runs are repeated "
        "against `usb16relay-sim --baud 9600 --latency 16` (every byte paced at 10 bits, the "
        "board's bytes handed on in bursts as a USB adapter's 16 ms latency timer does); their "
        "target is 1.5 times the wire floor plus one latency. The reference is a minimal pyserial "
        "script that opens the port, sends `ask//` once and reads two bytes.",
    ),
    (
        "usb16relayd: MQTT command to verified state published",
        ["daemon.command", "daemon.wire", "daemon.line.command", "daemon.line.wire",
         "daemon.burst", "daemon.burst.wrong", "daemon.idle.cpu", "daemon.idle.rss",
         "daemon.restart", "daemon.eight", "daemon.faults"],
        "`bench_daemon`: the built `usb16relayd` against `usb16relay-sim` processes on ptys and a "
        "mosquitto of its own on loopback (`set_tcp_nodelay true`), through a libmosquitto "
        "client. A command is timed from its publish to the arrival of the relay's new state, "
        "which the service publishes only after reading it back from the board. The burst is "
        "1,000 commands published at once over sixteen relays, timed to the last state "
        "published; the state must be exactly what applying them in order gives. Idle is the "
        "service's processor time over 20 s with one board polled every second (`/proc/PID/stat`) "
        "and its `VmRSS`. The broker is killed and restarted five times; the figure runs from "
        "its return to the state published again (the service's first retry comes 1 s after it "
        "lost the broker). Eight boards, the eighth silent from the start: the same commands "
        "spread over the seven others. A pty has no baud rate, so the simulated board beats "
        "the wire floor; a real board adds at least that to every command. The idle share "
        "resolves to one clock tick in 20 s, 0.05 %.",
    ),
    (
        "Soak: full refreshes with the real pauses",
        ["soak.refresh", "soak.faults", "soak.growth", "soak.descriptors"],
        "`bench_soak` (only with `scripts/bench.sh --soak`): `cmdAsk` clicked again and again, "
        "the board's state changed every seventh refresh; every refresh must paint the board's "
        "state with no report shown. Growth is `VmRSS` from refresh 100 to the last; descriptors "
        "are counted in `/proc/self/fd` before the window is made and after it is closed.",
    ),
]


# usb16relayd's HTTP front (bench_http).
TARGETS.update({
    "http.get/p99": ("p99", "<", 10.0),
    "http.get-beside-slow": ("median", "<", 100.0),
    "http.put": ("median", "<", 30.0),
    "http.mqtt-to-stream": ("median", "<", 200.0),
    "http.mqtt-lost": ("median", "==", 0.0),
    "http.faults": ("median", "==", 0.0),
})
SECTIONS.append((
    "A fleet: twenty services on one broker (`bench_fleet`)",
    ["fleet.start", "fleet.command", "fleet.idle-messages", "fleet.idle-cpu",
     "fleet.idle-cpu-board", "fleet.memory", "fleet.birth", "fleet.stop-one"],
    "`bench_fleet 20 5 40`: 20 `usb16relayd` services (service ids fleet0 to fleet19) with 5 "
    "boards each, every board a `usb16relay-sim` at 9600 baud with a 16 ms latency timer, on one "
    "mosquitto of the bench's own on loopback. Start to every board online with its sixteen "
    "discovery configs retained; ten seconds of idle (messages published, the services' processor "
    "time from `/proc/PID/stat`, their resident size); three clients at once switching a relay of "
    "a board of their own ON (timed to the new state on the board's state topic) and OFF again; "
    "Home Assistant's birth message (`homeassistant/status` = `online`) to every board's "
    "availability and discovery published again; one service stopped and the boards that went "
    "unavailable counted.",
))

SECTIONS.append((
    "usb16relayd over HTTP",
    ["http.get", "http.get.rate", "http.get-beside-slow", "http.put", "http.mqtt-to-stream", "http.mqtt-lost",
     "http.faults"],
    "`bench_http`: the built `usb16relayd` with `[http]` and `[mqtt]` against a `usb16relay-sim` "
    "process on a pty and a mosquitto of its own, through plain blocking sockets on loopback, one "
    "thread per client on its own keep-alive connection. GET: 50 clients at once, timed from once "
    "all have connected. Beside 80 clients that each send one header byte a second (reconnecting as soon as the service ends them at its 5 s deadline), 100 fresh GETs, each on a new connection. A PUT is answered only after the board's state has been read back. The "
    "MQTT figure runs from publishing ON/OFF to the new state on `GET /api/v1/events`, the stream "
    "the page follows, one command at a time.",
))


def percentile(sorted_samples, q):
    rank = max(1, math.ceil(q * len(sorted_samples)))
    return sorted_samples[rank - 1]


def read_output(paths):
    figures, infos = {}, {}
    for path in paths:
        with open(path, encoding="utf-8", errors="replace") as f:
            for line in f:
                fields = line.rstrip("\n").split("\t")
                if fields[0] == "figure" and len(fields) == 5:
                    samples = [float(v) for v in fields[4].split()]
                    figures[fields[1]] = (fields[2], fields[3], samples)
                elif fields[0] == "info" and len(fields) == 3:
                    infos[fields[1]] = fields[2]
    return figures, infos


def number(value):
    return f"{value:.0f}" if abs(value) >= 100 else f"{value:.2f}"


def verdict(figure_id, median, p99, single):
    checks = []
    for key in (figure_id, figure_id + "/p99"):
        if key not in TARGETS:
            continue
        which, op, limit = TARGETS[key]
        value = median if which == "median" else p99
        met = value < limit if op == "<" else value == limit
        name = "" if single else which + " "
        checks.append(f"{name}{op} {number(limit)}: {'met' if met else '**missed**'}")
    return "; ".join(checks)


def table(ids, figures):
    rows = ["| Figure | Unit | Runs | Median | p99 | Target |", "|---|---|---:|---:|---:|---|"]
    for figure_id in ids:
        if figure_id not in figures:
            continue
        unit, label, samples = figures[figure_id]
        if not samples:
            rows.append(f"| {label} | {unit} | 0 | – | – | no sample |")
            continue
        ordered = sorted(samples)
        median = statistics.median(ordered)
        p99 = percentile(ordered, 0.99)
        single = len(samples) == 1
        rows.append(
            f"| {label} | {unit} | {len(samples)} | {number(median)} | "
            f"{'–' if single else number(p99)} | {verdict(figure_id, median, p99, single)} |"
        )
    return "\n".join(rows)


def cpu_model():
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", required=True)
    parser.add_argument("--command", required=True)
    parser.add_argument("--date", required=True)
    parser.add_argument("--load-before", required=True)
    parser.add_argument("--load-after", required=True)
    parser.add_argument("--link-output", required=True)
    parser.add_argument("outputs", nargs="+")
    args = parser.parse_args()

    figures, infos = read_output(args.outputs)
    cores = os.cpu_count() or 0
    peak_load = max(float(args.load_before.split()[0]), float(args.load_after.split()[0]))
    loaded = peak_load >= 0.5

    out = ["# Performance", ""]
    out.append(f"Measured on {args.date} with `{args.command}`. Median and p99 (nearest rank) "
               "over the runs shown; figures that are compared were measured side by side in "
               "the same run.")
    out.append("")
    if loaded:
        out.append(f"**The machine was loaded while these were measured** (load average up to "
                   f"{peak_load:.2f} on {cores} cores): timings are noisy. Regenerate on a quiet "
                   "machine before relying on them.")
        out.append("")
    out += ["## Machine", ""]
    out.append(f"- Processor: {cpu_model()}, {cores} cores")
    out.append(f"- Kernel: {platform.system()} {platform.release()}")
    out.append(f"- Qt: {infos.get('qt', 'unknown')}")
    out.append(f"- Build: Release, in `build-bench/`")
    out.append(f"- Load average (1, 5, 15 min) before: {args.load_before}; after: "
               f"{args.load_after}")
    out.append("")
    for title, ids, method in SECTIONS:
        out += [f"## {title}", ""]
        if not any(i in figures for i in ids):
            out += ["Not run this time.", ""]
            continue
        out += [method, "", table(ids, figures), ""]
    out += ["## The HTTP transport under keep-alive load (`bench/httpload.sh`)", ""]
    load = [infos[i] for i in HTTP_LOAD if i in infos]
    if load:
        out += [HTTP_LOAD_METHOD, ""] + [f"- {line}" for line in load] + [""]
    else:
        out += ["Not run this time.", ""]
    out += ["## The link layer (`bench_link`)", ""]
    out.append("Wait accuracy and processor time per wait, and the `ask//` round trip on a pty "
               "through `SerialLink`, as `bench_link` prints them:")
    out += ["", "```"]
    with open(args.link_output, encoding="utf-8", errors="replace") as f:
        out += [line.rstrip("\n") for line in f if line.strip()]
    out += ["```", ""]

    with open(args.out, "w", encoding="utf-8") as f:
        f.write("\n".join(out))
    return 0


if __name__ == "__main__":
    sys.exit(main())
