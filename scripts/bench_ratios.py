#!/usr/bin/env python3
"""Prints the benchmark ratios that matter, from Google Benchmark's JSON output (medians)."""
import json
import re
import sys


def medians(path):
    with open(path) as results:
        data = json.load(results)
    figures = {}
    for run in data["benchmarks"]:
        if run.get("aggregate_name", "median") != "median":
            continue
        name = re.sub(r"/(manual_time|iterations:\d+)", "", run.get("run_name", run["name"]))
        scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[run["time_unit"]]
        figures[name] = run["real_time"] * scale
    return figures


def main():
    figures = medians(sys.argv[1])
    microseconds = lambda name: figures[name] * 1e6
    bare = figures["BM_BareThreadStartAndDetach"]
    rows = [
        ("accepted request, not pinned", "BM_AcceptedSaveRequest/pinned:0", bare, "bare thread start"),
        ("accepted request, pinned", "BM_AcceptedSaveRequest/pinned:1", bare, "bare thread start"),
        ("refused request (warning + flush)", "BM_RefusedSaveRequest", bare, "bare thread start"),
        ("synchronous 1 ms save", "BM_SynchronousSave/ms:1", figures["BM_AcceptedSaveRequest/pinned:0"], "accepted request"),
        ("synchronous 10 ms save", "BM_SynchronousSave/ms:10", figures["BM_AcceptedSaveRequest/pinned:0"], "accepted request"),
        ("synchronous 100 ms save", "BM_SynchronousSave/ms:100", figures["BM_AcceptedSaveRequest/pinned:0"], "accepted request"),
        ("server tick while a save runs", "BM_ServerTick/saving:1", figures["BM_ServerTick/saving:0"], "tick with no save"),
        ("chunk lock held: copy, then checksum and write outside", "BM_ChunkLockHeld/copy_out:1", figures["BM_ChunkLockHeld/copy_out:0"], "checksum and write under the lock"),
        ("LoadConfig, 4000 entries", "BM_LoadConfig/entries:4000", figures["BM_LoadConfig/entries:3"], "LoadConfig, \"0,4,5\""),
    ]
    print("| measured | median | ratio | against |")
    print("| --- | --- | --- | --- |")
    for label, name, base, against in rows:
        print(f"| {label} | {microseconds(name):.1f} us | {figures[name] / base:.2f}x | {against} |")
    for name in ("BM_EngineArrayAppend", "BM_EngineStringSplit", "BM_LoadConfig/entries:3"):
        print(f"| {name} | {microseconds(name):.1f} us | | |")


if __name__ == "__main__":
    main()
