#!/usr/bin/env python3
"""Runs every benchmark of bench/ against the physical limit of the line and prints one table.

    bench/run_benchmarks.py [--build DIR] [--runs N] [--quick]

Builds the benchmarks in DIR (default: build), then runs the whole configuration read, the daemon's
latency, the scale runs (1, 16, 64 and 255 ports), the desktop program's start and the programs'
memory. Repeated measurements are given as the median of N runs (default 3); ratios are taken within
one run. --quick makes every run short (for a check of the script, not for figures). The load
average at the start and at the end is printed with the table: the line's timing is real time, so
take figures on an otherwise idle machine.
"""
import argparse
import os
import re
import signal
import statistics
import subprocess
import sys
import tempfile
import time

TARGETS = ["interface_read_bench", "zelhart_uart_model", "driver_latency_bench", "driver_soak_bench", "ui_read_bench",
           "hartip_bench", "hartip_scale_bench", "zelhart-hartipd",
           "ZelHartDriver", "korvel4810-sim", "4810cli", "4810PC", "ZelHartDriverInterface"]


def run(cmd, env=None, timeout=None):
    """Runs a benchmark; its standard output (the run fails loudly on a non-zero status)."""
    print("  $ " + " ".join(cmd), file=sys.stderr, flush=True)
    p = subprocess.run(cmd, env=env, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=timeout)
    if p.returncode != 0:
        print(p.stdout, file=sys.stderr)
        print("  (exit status %d)" % p.returncode, file=sys.stderr)
    return p.stdout


def number(pattern, text, default=None):
    m = re.search(pattern, text)
    return float(m.group(1)) if m else default


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def fmt(value, spec="%.1f"):
    return "-" if value is None else spec % value


def read_benchmark(bin_dir, runs, model=None):
    out = run([os.path.join(bin_dir, "interface_read_bench"), "--runs", str(runs)] + (["--model", model] if model else []),
              timeout=120 * runs)
    reads = [float(x) for x in re.findall(r"whole read: ([\d.]+) ms", out)]
    wire_ratio = [float(x) for x in re.findall(r"\(the line's time\): [\d.]+ ms; the read took ([\d.]+) x", out)]
    floor_ratio = [float(x) for x in re.findall(r"design's waits: [\d.]+ ms; the read took ([\d.]+) x", out)]
    wire = [float(x) for x in re.findall(r"\(the line's time\): ([\d.]+) ms", out)]
    waits = [float(x) for x in re.findall(r"polling [\d.]+ ms = ([\d.]+) ms", out)]
    remainder = [float(x) for x in re.findall(r"remainder \(our code\): ([\d.]+) ms a transaction", out)]
    return {"read": median(reads), "wire": median(wire), "waits": median(waits), "wire_ratio": median(wire_ratio),
            "floor_ratio": median(floor_ratio), "remainder": median(remainder), "runs": len(reads)}


def latency_benchmark(bin_dir, count):
    out = run([os.path.join(bin_dir, "driver_latency_bench"), "--count", str(count), "--paced", "1"],
              timeout=600)
    return {"median": number(r"median\s+([\d.]+) ms", out), "p99": number(r"p99\s+([\d.]+) ms", out)}


def scale_benchmark(bin_dir, ports, seconds, idle):
    out = run([os.path.join(bin_dir, "driver_soak_bench"), "--ports", str(ports), "--seconds", str(seconds),
               "--idle-seconds", str(idle)], timeout=seconds + idle + 300)
    return {
        "lost": number(r"lost (\d+)", out),
        "ratio": number(r"mean = ([\d.]+) x the line", out),
        "median": number(r"median ([\d.]+) ms", out),
        "p99": number(r"p99 ([\d.]+) ms", out),
        "cpu": number(r"daemon CPU ([\d.]+)% of one core \(", out),
        "cpu_port": number(r"\(([\d.]+)% a port\)", out),
        "idle": number(r"read waiting \(\d+ s\): daemon CPU ([\d.]+)%", out),
        "kb_port": number(r"all open \(([\d.]+) kB a port\)", out),
        "rss_open": number(r"([\d.]+) MB all open", out),
        "fds": number(r"; (\d+) descriptors all open", out),
        "causes": re.findall(r"  lost on (.*)", out),
    }


def hartip_benchmark(bin_dir, runs, idle):
    out = run([os.path.join(bin_dir, "hartip_bench"), "--runs", str(runs), "--idle-seconds", str(idle),
               "--sessions", "64"], timeout=60 * runs + idle + 120)
    return {"local": number(r"local \(the daemon\)\s+([\d.]+) ms", out),
            "local_line": number(r"local \(the daemon\)\s+[\d.]+ ms, ([\d.]+) x", out),
            "tcp": number(r"HART-IP / local, median of \d+ rounds: TCP ([\d.]+)", out),
            "udp": number(r"HART-IP / local, median of \d+ rounds: TCP [\d.]+, UDP ([\d.]+)", out),
            "idle": number(r"idle with \d+ sessions open for \d+ s: server CPU ([\d.]+)", out),
            "kb_session": number(r"([\d.]+) kB a session", out)}


def hartip_scale_benchmark(bin_dir, ports, seconds, idle):
    out = run([os.path.join(bin_dir, "hartip_scale_bench"), "--ports", str(ports), "--seconds", str(seconds),
               "--idle-seconds", str(idle)], timeout=seconds + idle + 300)
    return {"lost": number(r"lost (\d+)", out), "rate": number(r"([\d.]+) per port and second", out),
            "of_limit": number(r"the line's limit [\d.]+ \(([\d.]+) of it\)", out),
            "ratio": number(r"mean = ([\d.]+) x the line", out), "idle": number(r"server CPU ([\d.]+)% of one core\n", out),
            "busy": number(r"of it\); server CPU ([\d.]+)%", out), "kb_session": number(r"\(([\d.]+) kB a session\)", out)}


def ui_benchmark(bin_dir, runs):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    out = run([os.path.join(bin_dir, "ui_read_bench"), "--runs", str(runs)], env=env, timeout=120 * runs)
    return {"start": number(r"first paint of the window: median ([\d.]+) ms", out),
            "stall": number(r"longest stall ([\d.]+) ms", out)}


def resident_kb(pid):
    try:
        with open("/proc/%d/status" % pid) as f:
            for line in f:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return None


def wait_for(path, seconds=10):
    deadline = time.monotonic() + seconds
    while not os.path.exists(path) and time.monotonic() < deadline:
        time.sleep(0.05)
    return os.path.exists(path)


def memory_of_programs(bin_dir):
    """Peak resident memory (VmHWM) of each program doing its usual work: the daemon and the
    simulator serving a whole read by 4810cli, 4810cli itself, and 4810PC shown (offscreen)."""
    memory = {}
    with tempfile.TemporaryDirectory(prefix="zelhart-bench-") as d:
        env = dict(os.environ, ZELHART_RUNTIME_DIR=d, ZELHART_CONFIG_DIR=d, HOME=d, XDG_CONFIG_HOME=d,
                   XDG_DATA_HOME=d, QT_QPA_PLATFORM="offscreen")
        sim = subprocess.Popen([os.path.join(bin_dir, "korvel4810-sim"), "--port", "250"], env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        daemon = None
        try:
            wait_for(os.path.join(d, "ports", "COM250"))
            daemon = subprocess.Popen([os.path.join(bin_dir, "ZelHartDriver"), "--runtime-dir", d, "--config-dir", d],
                                      env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            wait_for(os.path.join(d, "zelhart.sock"))
            time.sleep(0.3)
            out = run(["/usr/bin/time", "-f", "maxrss %M", os.path.join(bin_dir, "4810cli"), "--port", "250", "read"],
                      env=env, timeout=120)
            memory["4810cli (a whole read)"] = number(r"maxrss (\d+)", out)
            memory["ZelHartDriver (one port, after the read)"] = resident_kb(daemon.pid)
            memory["korvel4810-sim (after the read)"] = resident_kb(sim.pid)
        finally:
            for p in (daemon, sim):
                if p:
                    p.send_signal(signal.SIGTERM)
                    p.wait(timeout=10)
        pc = os.path.join(bin_dir, "4810PC")
        if os.path.exists(pc):
            gui = subprocess.Popen([pc], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            time.sleep(3)
            memory["4810PC (window shown, offscreen)"] = resident_kb(gui.pid)
            gui.kill()
            gui.wait()
    return memory


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--build", default="build")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    build = os.path.join(top, args.build) if not os.path.isabs(args.build) else args.build
    subprocess.run(["cmake", "-S", top, "-B", build, "-G", "Ninja"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "--target"] + TARGETS, check=True)
    bin_dir = os.path.join(build, "bin")
    runs = 1 if args.quick else args.runs
    seconds, idle = (5, 2) if args.quick else (60, 10)
    load_before = os.getloadavg()[0]

    print("running the benchmarks (a few minutes each)...", file=sys.stderr)
    read = read_benchmark(bin_dir, runs)
    # The same read with the daemon's port on modelled hardware (tests/hardware/uart_model.cpp).
    modelled = {name: read_benchmark(bin_dir, runs, spec)
                for name, spec in (("16550 UART, RTS-keyed", "kind=16550"), ("USB, 16 ms bursts", "kind=usb,grid=16"))}
    latency = latency_benchmark(bin_dir, 30 if args.quick else 300)
    scale = {n: scale_benchmark(bin_dir, n, seconds, idle) for n in (1, 16, 64, 255)}
    hip = hartip_benchmark(bin_dir, runs, 5 if args.quick else 30)
    hip_scale = hartip_scale_benchmark(bin_dir, 8 if args.quick else 64, seconds, idle)
    ui = ui_benchmark(bin_dir, runs) if os.path.exists(os.path.join(bin_dir, "ui_read_bench")) else {}
    memory = memory_of_programs(bin_dir)
    load_after = os.getloadavg()[0]

    line = "-" * 100
    print(line)
    print("Benchmarks against the line: 1200 baud, 11 bits a character (9.17 ms); load average %.2f at the start, "
          "%.2f at the end" % (load_before, load_after))
    print(line)
    print("Whole configuration read (4810cli read: identity and six read steps, 18 transactions), median of %d runs"
          % read["runs"])
    print("  read %s ms; wire time, both directions %s ms: %s x" % (fmt(read["read"]), fmt(read["wire"]),
                                                                 fmt(read["wire_ratio"], "%.2f")))
    print("  against the line and the design's waits (bus quiet after each open, 40 ms polling %s ms): %s x"
          % (fmt(read["waits"]), fmt(read["floor_ratio"], "%.3f")))
    print("  remainder our code adds: %s ms a transaction" % fmt(read["remainder"]))
    for name, m in modelled.items():
        print("  on modelled hardware, %-22s read %s ms; wire %s ms: %s x; remainder %s ms a transaction"
              % (name + ":", fmt(m["read"]), fmt(m["wire"]), fmt(m["wire_ratio"], "%.2f"), fmt(m["remainder"])))
    print("Daemon latency, last reply character -> the client's read completes (300 exchanges)")
    print("  median %s ms, p99 %s ms" % (fmt(latency["median"], "%.3f"), fmt(latency["p99"], "%.3f")))
    print("Scale: paced simulators, one client exchanging on each (%d s; idle %d s with every device open)"
          % (seconds, idle))
    print("  %5s  %4s  %9s  %9s  %8s  %10s  %10s  %9s  %8s  %5s" %
          ("ports", "lost", "exch/line", "median ms", "p99 ms", "CPU busy %", "CPU/port %", "CPU idle %",
           "kB/port", "fds"))
    for n, s in scale.items():
        print("  %5d  %4s  %9s  %9s  %8s  %10s  %10s  %9s  %8s  %5s" % (
            n, fmt(s["lost"], "%.0f"), fmt(s["ratio"], "%.3f"), fmt(s["median"]), fmt(s["p99"]), fmt(s["cpu"], "%.2f"),
            fmt(s["cpu_port"], "%.3f"), fmt(s["idle"], "%.3f"), fmt(s["kb_port"]), fmt(s["fds"], "%.0f")))
        for cause in s["causes"]:
            print("         lost: " + cause)
    print("HART-IP (zelhart-hartipd on loopback): the whole read against the local read (%s ms, %s x the line), "
          "median of %d interleaved rounds: TCP %s, UDP %s; idle with 64 sessions %s%% CPU, %s kB a session"
          % (fmt(hip["local"], "%.0f"), fmt(hip["local_line"], "%.3f"), runs, fmt(hip["tcp"], "%.4f"),
             fmt(hip["udp"], "%.4f"), fmt(hip["idle"], "%.2f"), fmt(hip["kb_session"])))
    print("  %d ports to %d sessions (%d s): lost %s, %s exchanges a port and second (%s of the line's limit), "
          "exch/line %s, server CPU busy %s%%, idle %s%%, %s kB a session"
          % (8 if args.quick else 64, 8 if args.quick else 64, seconds, fmt(hip_scale["lost"], "%.0f"),
             fmt(hip_scale["rate"], "%.3f"), fmt(hip_scale["of_limit"], "%.3f"), fmt(hip_scale["ratio"], "%.3f"),
             fmt(hip_scale["busy"], "%.2f"), fmt(hip_scale["idle"], "%.3f"), fmt(hip_scale["kb_session"])))
    if ui:
        print("Desktop program 4810PC: start to the first paint of its window (offscreen), median of %d: %s ms; "
              "longest event-loop stall during a read %s ms" % (runs, fmt(ui["start"], "%.0f"), fmt(ui["stall"])))
    print("Memory, peak resident:")
    for name, kb in memory.items():
        print("  %-42s %s MB" % (name, fmt(kb / 1024.0 if kb else None)))
    print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
