#!/usr/bin/python3
"""Times Tavrick against the floor of the same account data read through NSS, under nss_wrapper.

For each size N it generates N accounts, N/10 groups and three memberships per account (see
generate.py), then runs, side by side in every round: the tool with its default record, the tool with
-a, and the floor, which is `getent passwd` plus `getent group` on the same files. It prints the median,
minimum and maximum wall time of each, the tool's ratio to the floor, the tool's peak resident memory,
the growth from the smallest to the largest N, and PASS or FAIL against each target. Exits 1 when a
target fails.
"""
import argparse
import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
NSS_WRAPPER_CANDIDATES = [
    "/usr/lib/x86_64-linux-gnu/libnss_wrapper.so",
    "/usr/lib/aarch64-linux-gnu/libnss_wrapper.so",
    "/usr/lib64/libnss_wrapper.so",
    "/usr/lib/libnss_wrapper.so",
]

# Targets at the largest size.
MAX_RATIO = {"default": 1.5, "-a": 2.0}
MAX_GROWTH = 12.0  # time at the largest N over time at the smallest, for a tenfold N
MAX_PEAK_MIB = 64.0

MODES = [("default", []), ("-a", ["-a"])]


def find_nss_wrapper(given):
    for path in [given] if given else NSS_WRAPPER_CANDIDATES:
        if path and os.path.exists(path):
            return path
    sys.exit("nss_wrapper not found (Debian: apt-get install libnss-wrapper); give it with --nss-wrapper")


def environment(folder, nss_wrapper):
    # A small fixed environment: nss_wrapper reads its variables on every call, so tool and floor
    # run with exactly the same one.
    return {
        "PATH": "/usr/bin:/bin",
        "TZ": "UTC0",
        "LD_PRELOAD": nss_wrapper,
        "NSS_WRAPPER_PASSWD": os.path.join(folder, "passwd"),
        "NSS_WRAPPER_GROUP": os.path.join(folder, "group"),
        "NSS_WRAPPER_SHADOW": os.path.join(folder, "shadow"),
    }


def run_once(measure, argv, env):
    """Runs argv with standard output to /dev/null; returns (seconds, peak RSS in KiB)."""
    done = subprocess.run([measure] + argv, env=env, capture_output=True)
    if done.returncode != 0:
        sys.exit(f"measure failed: {done.stderr.decode(errors='replace')}")
    seconds, peak, status = done.stdout.split()
    if int(status) != 0 or done.stderr:
        sys.exit(f"{' '.join(argv)} failed with status {int(status)}: {done.stderr.decode(errors='replace')}")
    return float(seconds), int(peak)


def check_wrapper_active(folder, env):
    """nss_wrapper falls back to the real files when a variable is missing: prove it reads ours."""
    with open(os.path.join(folder, "passwd"), encoding="utf-8") as passwd:
        name = passwd.readline().split(":", 1)[0]
    for database in ("passwd", "shadow"):
        found = subprocess.run(["getent", database, name], env=env, capture_output=True)
        if found.returncode != 0 or not found.stdout.startswith(name.encode() + b":"):
            sys.exit(f"nss_wrapper is not active: getent {database} {name} did not find the generated account")


def count_records(tool, args, env):
    out = subprocess.run([tool] + args, env=env, capture_output=True, check=True).stdout
    return out.count(b"\n")


def summary(values):
    return statistics.median(values), min(values), max(values)


def measure(measure_path, tool, count, rounds, nss_wrapper, keep):
    folder = tempfile.mkdtemp(prefix=f"tavrick-bench-{count}-")
    try:
        started = time.perf_counter()
        subprocess.run([sys.executable, os.path.join(HERE, "generate.py"), str(count), folder], check=True)
        generated = time.perf_counter() - started
        env = environment(folder, nss_wrapper)
        check_wrapper_active(folder, env)
        records = {name: count_records(tool, args, env) for name, args in MODES}
        commands = {name: [tool] + args for name, args in MODES}
        commands["passwd"] = ["getent", "passwd"]
        commands["group"] = ["getent", "group"]
        for argv in commands.values():  # warm the page cache
            run_once(measure_path, argv, env)
        times = {name: [] for name in commands}
        peaks = {name: [] for name in commands}
        order = list(commands)
        for round_index in range(rounds):
            # Rotate the order so that no command always runs right after the same one.
            shift = round_index % len(order)
            for name in order[shift:] + order[:shift]:
                seconds, peak = run_once(measure_path, commands[name], env)
                times[name].append(seconds)
                peaks[name].append(peak)
        floor = [p + g for p, g in zip(times["passwd"], times["group"])]
        result = {"count": count, "generated": generated, "floor": floor, "records": records, "modes": {}}
        for name, _ in MODES:
            ratios = [t / f for t, f in zip(times[name], floor)]
            result["modes"][name] = {"times": times[name], "ratios": ratios, "peak_kib": max(peaks[name])}
        result["floor_peak_kib"] = max(max(peaks["passwd"]), max(peaks["group"]))
        return result
    finally:
        if keep:
            print(f"fixtures for N={count} kept in {folder}")
        else:
            shutil.rmtree(folder, ignore_errors=True)


def ms(seconds):
    return f"{seconds * 1000:8.1f}"


def print_results(results, rounds):
    print()
    print(f"Wall time in ms over {rounds} rounds: median [min..max]. Floor = getent passwd + getent group.")
    print("Ratio = median of the per-round ratios tool/floor [min..max]. Peak = largest RSS of any round.")
    print()
    header = f"{'N':>8} {'mode':<8} {'tool median [min..max]':>28} {'floor median [min..max]':>28} " \
             f"{'ratio [min..max]':>20} {'peak MiB':>9} {'records':>8}"
    print(header)
    print("-" * len(header))
    for result in results:
        floor_median, floor_min, floor_max = summary(result["floor"])
        for name, _ in MODES:
            mode = result["modes"][name]
            median, low, high = summary(mode["times"])
            ratio, ratio_low, ratio_high = summary(mode["ratios"])
            print(f"{result['count']:>8} {name:<8} {ms(median)} [{ms(low)}..{ms(high)}]".replace("[ ", "[")
                  + f" {ms(floor_median)} [{ms(floor_min)}..{ms(floor_max)}]"
                  + f"  {ratio:5.2f} [{ratio_low:4.2f}..{ratio_high:4.2f}]"
                  + f" {mode['peak_kib'] / 1024:9.1f} {result['records'][name]:>8}")
    print()
    floor_peak = results[-1]["floor_peak_kib"] / 1024
    print(f"Floor peak RSS at N={results[-1]['count']}: {floor_peak:.1f} MiB (the larger of the two getent runs)")


def verdicts(results):
    checks = []
    largest = results[-1]
    for name, _ in MODES:
        ratio = statistics.median(largest["modes"][name]["ratios"])
        checks.append((f"N={largest['count']} {name}: tool/floor {ratio:.2f} <= {MAX_RATIO[name]}",
                       ratio <= MAX_RATIO[name]))
    if len(results) > 1:
        smallest = results[0]
        for name, _ in MODES:
            growth = statistics.median(largest["modes"][name]["times"]) / statistics.median(
                smallest["modes"][name]["times"])
            checks.append((f"{name}: time at N={largest['count']} / N={smallest['count']} = {growth:.2f} "
                           f"<= {MAX_GROWTH:g}", growth <= MAX_GROWTH))
    for name, _ in MODES:
        peak = largest["modes"][name]["peak_kib"] / 1024
        checks.append((f"N={largest['count']} {name}: peak RSS {peak:.1f} MiB <= {MAX_PEAK_MIB:g} MiB",
                       peak <= MAX_PEAK_MIB))
    return checks


def run_remote(script, tool):
    # Hook for the remote figures: a script that starts the test Samba server and prints the tool's
    # times against the bare library calls. Runs only when it exists.
    print()
    print("Remote (Samba test server)")
    if not script or not os.path.exists(script):
        print(f"  skipped: no remote benchmark script ({script or 'none given'})")
        return True
    status = subprocess.run([script, tool]).returncode
    if status != 0:
        print(f"  FAIL: {script} exited with status {status}")
    return status == 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--tool", required=True, help="the tavrick binary (a Release build)")
    parser.add_argument("--measure", required=True, help="the measure helper built from measure.cpp")
    parser.add_argument("--sizes", default="10000,100000", help="comma-separated account counts, smallest first")
    parser.add_argument("--rounds", type=int, default=11, help="timed rounds per size (default 11)")
    parser.add_argument("--nss-wrapper", help="path of libnss_wrapper.so")
    parser.add_argument("--keep", action="store_true", help="keep the generated fixtures")
    parser.add_argument("--remote", default=os.environ.get("TAVRICK_BENCH_REMOTE", ""),
                        help="script for the remote figures, called with the tool's path")
    arguments = parser.parse_args()
    sizes = [int(size) for size in arguments.sizes.split(",")]
    nss_wrapper = find_nss_wrapper(arguments.nss_wrapper)
    tool = os.path.abspath(arguments.tool)
    if shutil.which("getent") is None:
        sys.exit("getent not found")

    load_before = os.getloadavg()
    print(f"Machine: {platform.machine()}, {os.cpu_count()} CPUs, load average {load_before[0]:.2f}; "
          f"tool {tool}")
    results = []
    for count in sizes:
        print(f"N={count}: generating fixtures and timing {arguments.rounds} rounds ...", flush=True)
        results.append(measure(os.path.abspath(arguments.measure), tool, count, arguments.rounds, nss_wrapper, arguments.keep))
    print_results(results, arguments.rounds)
    print(f"Load average before {load_before[0]:.2f}, after {os.getloadavg()[0]:.2f} "
          "(other work on the machine shows as noise in min..max)")
    print()
    print("Targets")
    checks = verdicts(results)
    for text, passed in checks:
        print(f"  {'PASS' if passed else 'FAIL'}  {text}")
    remote_ok = run_remote(arguments.remote, tool)
    return 0 if all(passed for _, passed in checks) and remote_ok else 1


if __name__ == "__main__":
    sys.exit(main())
