"""Early publishing on one machine: how soon the master lists a rendition a player can
start, and what the whole job costs, in paired runs on 1080p bench sources of the given
lengths with the default ladder.

Ways measured (each round runs them all on each source, in a rotating order):
  off        - package_video as without the option: the master appears at the end
  one        - publish_early, every rendition in one child
  nice N     - publish_early, the smallest rendition in a child of its own and the others
               in a second child at nice N
  renditions - publish="renditions" as a caller asks for it (nice request.BEHIND_NICE)
  segments   - publish="segments": the smallest published as it grows

Time to first play: from the call until the first master (the first on_rendition
call), and as a share of the same run's whole job. Slow-down: the whole job against the
same round's first way on the same source; and the CPU time of the job's processes
against that run's (other work on the machine stretches wall times, not CPU times).
With both "renditions" and "segments", and more than one length: the growing
rendition's first play on each length against the shortest's, in the same round.

Usage: python bench/publish_early.py [--rounds N] [--ways renditions,segments] [--seconds 10,120]
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
publish = {"off": "end", "segments": "segments"}.get(way, "renditions")
request = check_request(source, out, JobOptions(key_dir=keys, publish=publish),
                        on_rendition=lambda name: first.append((time.monotonic() - started, name)))
if way in ("off", "one") or way.isdigit():
    request = dataclasses.replace(request, behind_nice=int(way) if way.isdigit() else None)
result = package(request)
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
    parser.add_argument("--ways", default="renditions,segments",
                        help="comma-separated: off, one, a nice value, renditions, segments")
    parser.add_argument("--seconds", default="10,120", help="the sources' lengths, comma-separated")
    args = parser.parse_args()
    lengths = [int(seconds) for seconds in args.seconds.split(",")]
    sources = {seconds: realistic_source(seconds) for seconds in lengths}
    work = RESULTS / "work" / "early"
    work.mkdir(parents=True, exist_ok=True)
    ways = args.ways.split(",")
    runs: dict[tuple[int, str], list[dict]] = {(seconds, way): [] for seconds in lengths for way in ways}
    for number in range(args.rounds):
        order = ways[number % len(ways):] + ways[:number % len(ways)]
        for seconds in lengths:
            for way in order:
                runs[seconds, way].append(run_one(sources[seconds], work, way))
            figures = ", ".join(f"{way}: first {runs[seconds, way][-1]['first']:.1f} s of "
                                f"{runs[seconds, way][-1]['whole']:.1f} s" for way in ways)
            # The machine's load beside the round's figures: other work slows a niced child most.
            print(f"  {seconds} s, load {os.getloadavg()[0]:.1f}: {figures}", flush=True)
    for seconds in lengths:
        report(seconds, ways, runs)
    if "segments" in ways and len(lengths) > 1:
        shortest = runs[lengths[0], "segments"]
        for seconds in lengths[1:]:
            ratio = statistics.median(run["first"] / short["first"]
                                      for run, short in zip(runs[seconds, "segments"], shortest))
            print(f"segments: first play on {seconds} s / on {lengths[0]} s: {ratio:.3f}")


def report(seconds: int, ways: list[str], runs: dict[tuple[int, str], list[dict]]) -> None:
    """Medians on one source; the slow-down and the CPU against the first way's run of
    the same round."""
    base = ways[0]
    print(f"{seconds} s source:")
    print(f"{'way':<11} {'first play / whole':>19} {'whole / ' + base:>17} {'cpu / ' + base:>15} {'first':>7} "
          f"{'whole':>7}")
    for way in ways:
        mine = runs[seconds, way]
        paired = list(zip(mine, runs[seconds, base]))
        share = statistics.median(run["first"] / run["whole"] for run in mine)
        slower = statistics.median(run["whole"] / other["whole"] for run, other in paired)
        cpu = statistics.median(run["cpu"] / other["cpu"] for run, other in paired)
        first = statistics.median(run["first"] for run in mine)
        whole = statistics.median(run["whole"] for run in mine)
        name = f"nice {way}" if way.isdigit() else way
        print(f"{name:<11} {share:>19.3f} {slower:>17.3f} {cpu:>15.3f} {first:>6.1f}s {whole:>6.1f}s")


if __name__ == "__main__":
    main()
