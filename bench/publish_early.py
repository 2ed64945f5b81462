"""Early publishing on one machine: how soon the master lists a complete rendition, and
what the whole job costs, against the same job without it, in paired runs on the
10 s 1080p bench source with the default ladder.

Ways measured (each round runs them all, in a rotating order):
  off      - package_video as without the option: the master appears at the end
  one      - publish_early, every rendition in one child
  nice N   - publish_early, the smallest rendition in a child of its own and the others
             in a second child at nice N (the job's own way uses request.BEHIND_NICE)

Time to first play: from the call until the master lists a complete, checked rendition
(the first on_rendition call), as a share of the same run's whole job. Slow-down: the
whole job against the same round's "off" run; and the CPU time of the job's processes
against that run's (other work on the machine stretches wall times, not CPU times).

Usage: python bench/publish_early.py [--rounds N] [--nice 10,19]
"""

import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys

from picture_costs import RESULTS
from sources import realistic_source

# One job in a fresh interpreter, as a worker would run it; prints its figures as JSON.
JOB = """
import dataclasses, json, sys, time
from kestrava_jobs.job.package import package
from kestrava_jobs.job.request import JobOptions, check_request
source, out, keys, way = sys.argv[1:5]
first = []
started = time.monotonic()
request = check_request(source, out, JobOptions(key_dir=keys, publish_early=way != "off"),
                        on_rendition=lambda name: first.append((time.monotonic() - started, name)))
result = package(dataclasses.replace(request, behind_nice=None if way in ("off", "one") else int(way)))
print(json.dumps({"whole": time.monotonic() - started, "first": first[0][0], "first_name": first[0][1],
                  "complete": result.complete}))
"""


def run_one(source, work, way: str) -> dict:
    """One job's figures, and the CPU seconds of its whole process tree."""
    out = work / f"out-{way}"
    shutil.rmtree(out, ignore_errors=True)
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    found = subprocess.run([sys.executable, "-c", JOB, str(source), str(out), str(work / "keys"), way],
                           check=True, capture_output=True, text=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    shutil.rmtree(out, ignore_errors=True)
    cpu = after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime
    return {**json.loads(found.stdout), "cpu": cpu}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--nice", default="10,19", help="the nice values to try, comma-separated")
    args = parser.parse_args()
    source = realistic_source(10)
    work = RESULTS / "work" / "early"
    work.mkdir(parents=True, exist_ok=True)
    ways = ["off", "one", *args.nice.split(",")]
    runs: dict[str, list[dict]] = {way: [] for way in ways}
    for number in range(args.rounds):
        order = ways[number % len(ways):] + ways[:number % len(ways)]
        for way in order:
            runs[way].append(run_one(source, work, way))
        figures = ", ".join(f"{way}: first {runs[way][-1]['first']:.1f} s of {runs[way][-1]['whole']:.1f} s"
                            for way in ways)
        # The machine's load beside the round's figures: other work slows a niced child most.
        print(f"  load {os.getloadavg()[0]:.1f}: {figures}", flush=True)
    report(ways, runs)


def report(ways: list[str], runs: dict[str, list[dict]]) -> None:
    """Medians; the slow-down and the CPU against the "off" run of the same round."""
    print(f"{'way':<8} {'first play / whole':>19} {'whole / off':>12} {'cpu / off':>10} {'first':>7} {'whole':>7}")
    for way in ways:
        paired = list(zip(runs[way], runs["off"]))
        share = statistics.median(run["first"] / run["whole"] for run in runs[way])
        slower = statistics.median(run["whole"] / off["whole"] for run, off in paired)
        cpu = statistics.median(run["cpu"] / off["cpu"] for run, off in paired)
        first = statistics.median(run["first"] for run in runs[way])
        whole = statistics.median(run["whole"] for run in runs[way])
        name = way if way in ("off", "one") else f"nice {way}"
        print(f"{name:<8} {share:>19.3f} {slower:>12.3f} {cpu:>10.3f} {first:>6.1f}s {whole:>6.1f}s")


if __name__ == "__main__":
    main()
