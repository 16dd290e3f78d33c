#!/usr/bin/env python3
"""Document loading figures side by side: the reader and the tree loader against pugixml and
RapidXML (default and fastest configurations) on both corpora (uniform LED lists and
profile-shaped documents), the profile summary read, clutch event latency and the memory of a
loaded 1 MB profile.

Usage: bench/document_figures.py [--rounds N] BUILD_DIR [BUILD_DIR ...]

Each BUILD_DIR is a release build with benchmarks (cmake --preset release). With several build
directories (for example a baseline and a change) the rounds alternate between them, so that both
see the same machine load; every figure is the median over the rounds, and the latency goals are
checked in every round. The first build is the baseline of the 100 KB goal of the others. Run it on
one core for steady figures: taskset -c 1 python3 bench/document_figures.py ...
"""
import argparse
import json
import os
import statistics
import subprocess
import sys

DOCUMENT_BENCHMARKS = ["BM_Parse", "BM_RapidXmlUtf16", "BM_RapidXmlUtf16Fastest", "BM_PugiUtf8Minimal", "BM_LoadTree",
                       "BM_PugiUtf8Default", "BM_PugiUtf16Default"]
CORPORA = ["uniform", "profile"]
SIZES = [("100", "100 KB"), ("1000", "1 MB"), ("10000", "10 MB")]
DEVICE_FILTER = ("ProfileSummaryRead/one_megabyte_profile|ClutchEventLatency/small_profile_active|"
                 "ClutchEventLatency/one_megabyte_profile_active|ProfileTreeMemory")


# The parsers are compared in the steady state of a long-running process: without this, glibc hands
# freed memory back to the system after every pass and the next pass pays its page faults again,
# which on a virtual machine costs more than the parsing and depends on what ran before.
STEADY_HEAP = "glibc.malloc.trim_threshold=1073741824:glibc.malloc.mmap_threshold=1073741824"


def run_json(build, program, pattern, steady_heap=False):
    # The device benchmarks find the sample profiles relative to the build directory.
    env = dict(os.environ)
    if steady_heap:
        env["GLIBC_TUNABLES"] = STEADY_HEAP
    out = subprocess.run([os.path.join("bench", program), "--benchmark_filter=" + pattern, "--benchmark_format=json"],
                         cwd=build, env=env, check=True, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL,
                         text=True).stdout
    return {b["name"]: b for b in json.loads(out)["benchmarks"]}


def find(results, prefix):
    for name, bench in results.items():
        if name == prefix or name.startswith(prefix + "/"):
            return bench
    raise KeyError(prefix)


def milliseconds(bench):
    return bench["cpu_time"] * {"ns": 1e-6, "us": 1e-3, "ms": 1.0}[bench["time_unit"]]


def one_round(build):
    # Every benchmark in a process of its own: what one leaves in the heap changes the page faults
    # of the next. The device figures run with the C library's default heap, as the service does.
    figures = {}
    for corpus in CORPORA:
        for bench in DOCUMENT_BENCHMARKS:
            prefix = bench + "/" + corpus
            results = run_json(build, "bench_document", "^" + prefix + "/", steady_heap=True)
            for arg, _ in SIZES:
                result = find(results, prefix + "/" + arg)
                figures[(bench, corpus, arg)] = result["elements/s"] / 1e6
                figures[(bench, corpus, arg, "ms")] = milliseconds(result)
    # The summary of a profile-shaped profile, read from a file with the service's own heap.
    results = run_json(build, "bench_document", "^BM_ProfileSummaryRead/profile/")
    for arg, _ in SIZES:
        bench = find(results, "BM_ProfileSummaryRead/profile/" + arg)
        figures[("summary_profile_ms", arg)] = milliseconds(bench)
    results = {}
    for pattern in DEVICE_FILTER.split("|"):
        results.update(run_json(build, "bench_devices", pattern))
    summary = find(results, "ProfileSummaryRead/one_megabyte_profile")
    scale = {"ns": 1e-6, "us": 1e-3, "ms": 1.0}[summary["time_unit"]]
    figures["summary_cpu_ms"] = summary["cpu_time"] * scale
    figures["summary_real_ms"] = summary["real_time"] * scale
    for key, name in [("small", "small_profile_active"), ("large", "one_megabyte_profile_active")]:
        latency = find(results, "ClutchEventLatency/" + name)
        figures[key + "_p50_ms"] = latency["p50_us"] / 1000
        figures[key + "_p99_ms"] = latency["p99_us"] / 1000
    memory = find(results, "ProfileTreeMemory/one_megabyte_profile")
    figures["tree_bytes"] = memory["tree_bytes"]
    figures["file_bytes"] = memory["file_bytes"]
    figures["tree_per_file"] = memory["tree_per_file"]
    return figures


def label(build):
    # build/release inside a work tree is named after the work tree.
    path = os.path.normpath(os.path.abspath(build))
    if path.endswith(os.path.join("build", "release")):
        path = os.path.dirname(os.path.dirname(path))
    return os.path.basename(path)[-15:]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("builds", nargs="+")
    args = parser.parse_args()
    rounds = {build: [] for build in args.builds}
    for r in range(args.rounds):
        for build in args.builds:
            load = os.getloadavg()[0]
            rounds[build].append(one_round(build))
            print(f"round {r + 1} {build}: load average {load:.2f}", file=sys.stderr)

    def median(build, key):
        return statistics.median(f[key] for f in rounds[build])

    def row(label, key, fmt):
        cells = [fmt.format(median(b, key)) for b in args.builds]
        print(f"{label:<44}" + "".join(f"{c:>16}" for c in cells))

    print(f"load average now {os.getloadavg()[0]:.2f}; medians of {args.rounds} alternating rounds")
    print(f"{'':<44}" + "".join(f"{label(b):>16}" for b in args.builds))
    for corpus in CORPORA:
        print(f"Melem/s (CPU time), {corpus} corpus")
        for bench in DOCUMENT_BENCHMARKS:
            for arg, size in SIZES:
                row(f"  {bench} {size}", (bench, corpus, arg), "{:.2f}")
    for arg, size in SIZES:
        row(f"ProfileSummaryRead profile-shaped {size}, CPU ms", ("summary_profile_ms", arg), "{:.3f}")
    row("ProfileSummaryRead 1 MB, CPU ms", "summary_cpu_ms", "{:.3f}")
    row("ProfileSummaryRead 1 MB, real ms", "summary_real_ms", "{:.3f}")
    row("clutch event small profile p50 ms", "small_p50_ms", "{:.2f}")
    row("clutch event small profile p99 ms", "small_p99_ms", "{:.2f}")
    row("clutch event 1 MB profile p50 ms", "large_p50_ms", "{:.2f}")
    row("clutch event 1 MB profile p99 ms", "large_p99_ms", "{:.2f}")
    row("1 MB profile tree, bytes", "tree_bytes", "{:.0f}")
    row("1 MB profile file, bytes", "file_bytes", "{:.0f}")
    row("tree / file", "tree_per_file", "{:.2f}")

    print("goals")
    baseline = args.builds[0]
    for build in args.builds:
        m = lambda key: median(build, key)
        goals = [
            ("profile: Parse >= 1.2 x RapidXmlUtf16Fastest at 1 MB and 10 MB",
             all(m(("BM_Parse", "profile", a)) >= 1.2 * m(("BM_RapidXmlUtf16Fastest", "profile", a)) for a in ("1000", "10000"))),
            ("profile: LoadTree >= 0.8 x PugiUtf8Default at 1 MB and 10 MB",
             all(m(("BM_LoadTree", "profile", a)) >= 0.8 * m(("BM_PugiUtf8Default", "profile", a)) for a in ("1000", "10000"))),
            ("ProfileSummaryRead profile-shaped 10 MB <= 1.5 x PugiUtf8Default 10 MB (CPU)",
             m(("summary_profile_ms", "10000")) <= 1.5 * m(("BM_PugiUtf8Default", "profile", "10000", "ms"))),
        ]
        if build != baseline:
            # Within 3 %: the noise of a quiet machine between rounds.
            goals.append((f"100 KB figures no worse than {label(baseline)} (within 3 %)",
                          all(m((bench, corpus, "100")) >= 0.97 * median(baseline, (bench, corpus, "100"))
                              for bench in ("BM_Parse", "BM_LoadTree") for corpus in CORPORA)
                          and m(("summary_profile_ms", "100")) <= 1.03 * median(baseline, ("summary_profile_ms", "100"))))
        for corpus in CORPORA:
            goals += [
                (f"{corpus}: Parse > RapidXmlUtf16 at 1 MB and 10 MB",
                 all(m(("BM_Parse", corpus, a)) > m(("BM_RapidXmlUtf16", corpus, a)) for a in ("1000", "10000"))),
                (f"{corpus}: LoadTree >= 1/2 PugiUtf8Default at 1 MB and 10 MB",
                 all(m(("BM_LoadTree", corpus, a)) >= 0.5 * m(("BM_PugiUtf8Default", corpus, a)) for a in ("1000", "10000"))),
                (f"{corpus}: LoadTree > PugiUtf16Default at every size",
                 all(m(("BM_LoadTree", corpus, a)) > m(("BM_PugiUtf16Default", corpus, a)) for a, _ in SIZES)),
            ]
        goals += [
            ("ProfileSummaryRead profile-shaped 10 MB < 8 ms (CPU)", m(("summary_profile_ms", "10000")) < 8.0),
            ("ProfileSummaryRead 1 MB < 1 ms (CPU)", m("summary_cpu_ms") < 1.0),
            ("1 MB clutch p99 < 4 ms in every round", all(f["large_p99_ms"] < 4.0 for f in rounds[build])),
            ("small clutch p99 < 1.5 ms in every round", all(f["small_p99_ms"] < 1.5 for f in rounds[build])),
            ("1 MB profile tree <= 3 x file", m("tree_per_file") <= 3.0),
        ]
        print(f"  {label(build)}")
        for text, met in goals:
            print(f"    {'met    ' if met else 'NOT met'}  {text}")


if __name__ == "__main__":
    main()
