#!/usr/bin/env python3
"""Fails (exit status 1) when a benchmark run's JSON output shows an error or lost work.

Usage: check_results.py RESULTS.json

A benchmark that moves sections, frames, blocks or control words sets a "lost" counter, which
must be 0 in every run; "module_allocs" counts the library's allocations while work flows and
must be 0 too. Times are not looked at: they say nothing on a shared machine.
"""
import json
import sys

MUST_BE_ZERO = ("lost", "module_allocs")


def failures(results):
    runs = results.get("benchmarks", [])
    if not runs:
        yield "no benchmark ran"
    for run in runs:
        name = run.get("name", "?")
        if run.get("error_occurred"):
            yield f"{name}: {run.get('error_message', 'error')}"
            continue
        # Aggregates (mean, stddev...) of a repeated run are derived from the runs checked here.
        if run.get("run_type", "iteration") != "iteration":
            continue
        for counter in MUST_BE_ZERO:
            if run.get(counter, 0) != 0:
                yield f"{name}: {counter} = {run[counter]}"


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    with open(argv[1], encoding="utf-8") as f:
        results = json.load(f)
    found = list(failures(results))
    for failure in found:
        print(f"benchmark failed: {failure}", file=sys.stderr)
    if not found:
        print(f"{len(results['benchmarks'])} benchmark results: no error, nothing lost")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
