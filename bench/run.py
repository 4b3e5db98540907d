#!/usr/bin/python3
# SPDX-License-Identifier: GPL-3.0-or-later
"""Times Tavrick against the floor of the same account data read through NSS.

For each size N it generates N accounts, N/10 groups and three memberships per account (see
generate.py), then runs, side by side in every round, on two paths:
- under nss_wrapper: the tool with its default record, the tool with -a, the floor (`getent passwd`
  plus `getent group` on the same files), and the NSS passes (one pass each over passwd, group and
  shadow and nothing else: what any listing of groups and account state must read);
- on the real C library path (as root; skipped otherwise): each command in a private mount namespace
  where the generated files are bind-mounted over /etc/passwd, /etc/group and /etc/shadow (the
  machine's own files are never touched), the floor being `getent passwd` + `getent group` +
  `getent shadow`.
With --before, an older tool binary runs in the same rounds on both paths. It prints medians with
minimum and maximum of wall and CPU time, the ratio to the floor, the peak resident memory, the
growth from the smallest to the largest N, and PASS or FAIL against each target. Exits 1 when a
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

# Targets at the largest size, under nss_wrapper and on the real C library path.
MAX_RATIO = {"default": 1.5, "-a": 2.0}
MAX_GROWTH = 12.0  # time at the largest N over time at the smallest, for a tenfold N
MAX_PEAK_MIB = 64.0
REAL_MAX_RATIO = {"default": 1.3, "-a": 1.75}
REAL_MAX_GROWTH = 11.0
REAL_MAX_PEAK_MIB = 32.0
# Runs a command in a private mount namespace with the account files of the folder given first
# bind-mounted over /etc's.
REAL_PATH = ["unshare", "--mount", "--propagation", "private", "sh", "-c",
             'for f in passwd group shadow; do mount --bind "$0/$f" "/etc/$f" || exit 99; done; exec "$@"']

MODES = [("default", []), ("-a", ["-a"])]
# The formats that programs read back, each timed against the layout of the same fields: CPU time,
# the median of the per-round ratios, at most this many times that of the mode it is set against.
FORMAT_MODES = [("-o csv", ["-o", "csv"], "default", None), ("-o csv -a", ["-o", "csv", "-a"], "-a", 1.1),
                ("-o json", ["-o", "json"], "default", None), ("-o json -a", ["-o", "json", "-a"], "-a", 1.25)]


def find_nss_wrapper(given):
    for path in [given] if given else NSS_WRAPPER_CANDIDATES:
        if path and os.path.exists(path):
            return path
    sys.exit("nss_wrapper not found (Debian: apt-get install libnss-wrapper); give it with --nss-wrapper")


def environment(folder, nss_wrapper):
    # A small fixed environment: nss_wrapper reads its variables on every call, so every command
    # runs with exactly the same one.
    return {
        "PATH": "/usr/bin:/bin",
        "TZ": "UTC0",
        "LD_PRELOAD": nss_wrapper,
        "NSS_WRAPPER_PASSWD": os.path.join(folder, "passwd"),
        "NSS_WRAPPER_GROUP": os.path.join(folder, "group"),
        "NSS_WRAPPER_SHADOW": os.path.join(folder, "shadow"),
    }


class Sample:
    """One run: wall and CPU seconds, peak RSS in KiB."""

    def __init__(self, wall, cpu, peak):
        self.wall, self.cpu, self.peak = wall, cpu, peak

    def __add__(self, other):
        return Sample(self.wall + other.wall, self.cpu + other.cpu, max(self.peak, other.peak))


def run_once(measure, argv, env, prefix=()):
    """Runs argv with standard output to /dev/null through the measure helper, after `prefix`."""
    done = subprocess.run(list(prefix) + [measure] + argv, env=env, capture_output=True)
    if done.returncode != 0:
        sys.exit(f"measure failed: {done.stderr.decode(errors='replace')}")
    wall, peak, status, cpu = done.stdout.split()
    if int(status) != 0 or done.stderr:
        sys.exit(f"{' '.join(argv)} failed with status {int(status)}: {done.stderr.decode(errors='replace')}")
    return Sample(float(wall), float(cpu), int(peak))


def check_wrapper_active(folder, env):
    """nss_wrapper falls back to the real files when a variable is missing: prove it reads ours."""
    with open(os.path.join(folder, "passwd"), encoding="utf-8") as passwd:
        name = passwd.readline().split(":", 1)[0]
    for database in ("passwd", "shadow"):
        found = subprocess.run(["getent", database, name], env=env, capture_output=True)
        if found.returncode != 0 or not found.stdout.startswith(name.encode() + b":"):
            sys.exit(f"nss_wrapper is not active: getent {database} {name} did not find the generated account")


def count_records(tool, args, env, prefix=()):
    with subprocess.Popen(list(prefix) + [tool] + args, env=env, stdout=subprocess.PIPE) as child:
        lines = sum(block.count(b"\n") for block in iter(lambda: child.stdout.read(1 << 16), b""))
    if child.returncode != 0:
        sys.exit(f"{tool} {' '.join(args)} failed with status {child.returncode}")
    return lines


def measure(helpers, tools, count, rounds, nss_wrapper, keep, real):
    folder = tempfile.mkdtemp(prefix=f"tavrick-bench-{count}-")
    try:
        subprocess.run([sys.executable, os.path.join(HERE, "generate.py"), str(count), folder], check=True)
        env = environment(folder, nss_wrapper)
        real_env = {"PATH": "/usr/bin:/bin:/usr/sbin:/sbin", "TZ": "UTC0"}
        real_prefix = REAL_PATH + [folder]
        check_wrapper_active(folder, env)
        records = {name: count_records(tools[""], args, env) for name, args in MODES}
        # name: (argv, environment, prefix)
        commands = {}
        for label, tool in tools.items():
            # An older tool may not know the formats: only this one is timed with them.
            modes = MODES + ([(name, args) for name, args, _, _ in FORMAT_MODES] if not label else [])
            for name, args in modes:
                commands[label + name] = ([tool] + args, env, ())
                if real:
                    commands["real " + label + name] = ([tool] + args, real_env, real_prefix)
        commands["passwd"] = (["getent", "passwd"], env, ())
        commands["group"] = (["getent", "group"], env, ())
        commands["nss"] = ([helpers["nss_passes"]], env, ())
        if real:
            for database in ("passwd", "group", "shadow"):
                commands["real " + database] = (["getent", database], real_env, real_prefix)
            commands["real nss"] = ([helpers["nss_passes"]], real_env, real_prefix)
            for name, args in MODES:
                if count_records(tools[""], args, real_env, real_prefix) != records[name]:
                    sys.exit("the real C library path lists other accounts than nss_wrapper")
        for argv, command_env, prefix in commands.values():  # warm the page cache
            run_once(helpers["measure"], argv, command_env, prefix)
        samples = {name: [] for name in commands}
        order = list(commands)
        for round_index in range(rounds):
            # Rotate the order so that no command always runs right after the same one.
            shift = round_index % len(order)
            for name in order[shift:] + order[:shift]:
                argv, command_env, prefix = commands[name]
                samples[name].append(run_once(helpers["measure"], argv, command_env, prefix))
        samples["floor"] = [p + g for p, g in zip(samples["passwd"], samples["group"])]
        if real:
            samples["real floor"] = [p + g + s for p, g, s in
                                     zip(samples["real passwd"], samples["real group"], samples["real shadow"])]
        return {"count": count, "records": records, "samples": samples}
    finally:
        if keep:
            print(f"fixtures for N={count} kept in {folder}")
        else:
            shutil.rmtree(folder, ignore_errors=True)


def spread(values, scale=1000.0, width=7, digits=1):
    median = statistics.median(values)
    return f"{median * scale:{width}.{digits}f} [{min(values) * scale:.{digits}f}..{max(values) * scale:.{digits}f}]"


def ratios(result, name, field):
    floor = result["samples"]["real floor" if name.startswith("real ") else "floor"]
    return [getattr(s, field) / getattr(f, field) for s, f in zip(result["samples"][name], floor)]


def rows_of(samples, real):
    prefix = "real " if real else ""
    rows = [(prefix + "default", "tool"), (prefix + "-a", "tool -a")]
    rows += [(prefix + name, "tool " + name) for name, _, _, _ in FORMAT_MODES]
    if prefix + "before default" in samples:
        rows += [(prefix + "before default", "before"), (prefix + "before -a", "before -a")]
    return rows + [(prefix + "nss", "NSS passes"), (prefix + "floor", "floor")]


def print_results(results, rounds):
    print()
    print(f"Milliseconds over {rounds} rounds, as median [min..max]. Under nss_wrapper, floor = getent passwd +")
    print("getent group; on the real C library path, floor = getent passwd + getent group + getent shadow.")
    print("NSS passes = one pass each over passwd, group and shadow and nothing else. A ratio is the median")
    print("of the per-round ratios to the floor of the same round. Peak = largest resident set of any round.")
    for result in results:
        for real in (False, True):
            if real and "real floor" not in result["samples"]:
                continue
            print()
            print(f"N = {result['count']} accounts, {result['count'] // 10} groups "
                  f"({result['records']['default']} enabled accounts listed), "
                  + ("real C library path" if real else "nss_wrapper"))
            rows = []
            for name, label in rows_of(result["samples"], real):
                samples = result["samples"][name]
                walls = spread([s.wall for s in samples])
                cpus = spread([s.cpu for s in samples])
                if name.endswith("floor"):
                    wall_ratio = cpu_ratio = "1"
                else:
                    wall_ratio = spread(ratios(result, name, "wall"), 1, 4, 2)
                    cpu_ratio = spread(ratios(result, name, "cpu"), 1, 4, 2)
                peak = f"{max(s.peak for s in samples) / 1024:.1f}"
                rows.append((label, walls, wall_ratio, cpus, cpu_ratio, peak))
            header = ("", "wall ms", "wall ratio", "CPU ms", "CPU ratio", "peak MiB")
            widths = [max(len(row[i]) for row in rows + [header]) for i in range(len(header))]
            for row in [header] + rows:
                print("  " + row[0].ljust(widths[0]) + "".join("  " + cell.rjust(width)
                                                             for cell, width in zip(row[1:], widths[1:])))


def format_ratios(result, prefix):
    """Per format: the per-round CPU ratios to the mode of the same fields, and the target."""
    samples = result["samples"]
    return [(name, against, [f.cpu / m.cpu for f, m in zip(samples[prefix + name], samples[prefix + against])], limit)
            for name, _, against, limit in FORMAT_MODES]


def print_format_ratios(results):
    print()
    print("Formats against the layout of the same fields (tool -o csv against tool, -o csv -a against -a):")
    print("CPU time ratio, median [min..max] of the per-round ratios")
    for result in results:
        for prefix in ("", "real "):
            if prefix + "floor" not in result["samples"]:
                continue
            path = "real C library path" if prefix else "nss_wrapper"
            for name, against, values, _ in format_ratios(result, prefix):
                print(f"  N={result['count']:<7} {path:<20} {name:<11} / {against:<8} {spread(values, 1, 4, 2)}")


def verdicts(results):
    checks = []
    largest = results[-1]
    for prefix in ("", "real "):
        if prefix + "floor" in largest["samples"]:
            for name, against, values, limit in format_ratios(largest, prefix):
                if limit is not None:
                    ratio = statistics.median(values)
                    checks.append((f"N={largest['count']} {prefix}{name}: CPU time / {against} {ratio:.2f} <= {limit}",
                                   ratio <= limit))
    paths = [("", MAX_RATIO, MAX_GROWTH, MAX_PEAK_MIB)]
    if "real floor" in largest["samples"]:
        paths.append(("real ", REAL_MAX_RATIO, REAL_MAX_GROWTH, REAL_MAX_PEAK_MIB))
    for prefix, max_ratio, max_growth, max_peak in paths:
        for mode, _ in MODES:
            name = prefix + mode
            ratio = statistics.median(ratios(largest, name, "wall"))
            checks.append((f"N={largest['count']} {name}: wall time / floor {ratio:.2f} <= {max_ratio[mode]}",
                           ratio <= max_ratio[mode]))
        if len(results) > 1:
            smallest = results[0]
            for mode, _ in MODES:
                name = prefix + mode
                growth = statistics.median(s.wall for s in largest["samples"][name]) / statistics.median(
                    s.wall for s in smallest["samples"][name])
                checks.append((f"{name}: wall time at N={largest['count']} / N={smallest['count']} = {growth:.2f} "
                               f"<= {max_growth:g}", growth <= max_growth))
        for mode, _ in MODES:
            name = prefix + mode
            peak = max(s.peak for s in largest["samples"][name]) / 1024
            checks.append((f"N={largest['count']} {name}: peak RSS {peak:.1f} MiB <= {max_peak:g} MiB",
                           peak <= max_peak))
    return checks


def run_remote(script, tool):
    # Hook for the remote figures: a script that starts the test Samba server and prints the tool's
    # times against the bare library calls. It runs only when it exists.
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
    parser.add_argument("--helpers", required=True, help="folder with the measure and nss_passes helpers")
    parser.add_argument("--sizes", default="10000,100000", help="comma-separated account counts, smallest first")
    parser.add_argument("--rounds", type=int, default=11, help="timed rounds per size (default 11)")
    parser.add_argument("--nss-wrapper", help="path of libnss_wrapper.so")
    parser.add_argument("--keep", action="store_true", help="keep the generated fixtures")
    parser.add_argument("--remote", default="", help="script for the remote figures, called with the tool's path")
    parser.add_argument("--before", help="an older tavrick binary, timed in the same rounds")
    parser.add_argument("--no-real", action="store_true", help="skip the real C library path")
    arguments = parser.parse_args()
    sizes = [int(size) for size in arguments.sizes.split(",")]
    nss_wrapper = find_nss_wrapper(arguments.nss_wrapper)
    tool = os.path.abspath(arguments.tool)
    tools = {"": tool}
    if arguments.before:
        tools["before "] = os.path.abspath(arguments.before)
    real = not arguments.no_real and os.geteuid() == 0 and shutil.which("unshare") is not None
    if not real:
        print("real C library path skipped: it needs root and unshare (or --no-real was given)")
    helpers = {name: os.path.abspath(os.path.join(arguments.helpers, name)) for name in ("measure", "nss_passes")}
    if shutil.which("getent") is None:
        sys.exit("getent not found")

    load_before = os.getloadavg()[0]
    print(f"{platform.machine()}, {os.cpu_count()} CPUs; tool {tool}")
    results = []
    for count in sizes:
        print(f"N={count}: generating fixtures and timing {arguments.rounds} rounds ...", flush=True)
        results.append(measure(helpers, tools, count, arguments.rounds, nss_wrapper, arguments.keep, real))
    print_results(results, arguments.rounds)
    print_format_ratios(results)
    print()
    print(f"Load average before {load_before:.2f}, after {os.getloadavg()[0]:.2f}: other work on the machine "
          "shows in min..max and in wall time more than in CPU time.")
    print()
    print("Targets")
    checks = verdicts(results)
    for text, passed in checks:
        print(f"  {'PASS' if passed else 'FAIL'}  {text}")
    remote_ok = run_remote(arguments.remote, tool)
    return 0 if all(passed for _, passed in checks) and remote_ok else 1


if __name__ == "__main__":
    sys.exit(main())
