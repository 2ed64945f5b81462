"""What the poster and the storyboard cost a job: package_video with them against
package_video without them (poster=False, storyboard=False) on the make bench source,
1080p, with key frames a second apart (as phones make them: the storyboard reads key
frames alone) and x264's default 8.3 s apart (it decodes every picture others refer to),
in paired runs whose order alternates; and when the poster is in the package.

Usage: python bench/storyboard_cost.py [--rounds N] [--seconds S ...]
"""

import argparse
import json
import shutil
import statistics
import sys

from picture_costs import RESULTS
from runners import measure
from sources import realistic_source

# The job in a process of its own; it writes when the poster was in its package.
JOB = """
import json, sys, time
from kestrava_jobs import package_video
started, told = time.monotonic(), {}
pictures = sys.argv[3] == "with"
result = package_video(sys.argv[1], sys.argv[2], key_dir=sys.argv[4], poster=pictures, storyboard=pictures,
                       on_picture=lambda name: told.setdefault(name, time.monotonic() - started))
with open(sys.argv[2] + ".told.json", "w") as file:
    json.dump(told, file)
"""
# The pictures alone, as the job makes them, for the largest rendition of the ladder.
PICTURES = """
import pathlib, sys
from kestrava_jobs.common.deadline import Deadline
from kestrava_jobs.source.probe import probe_source
from kestrava_jobs.pictures.make import make_pictures
from kestrava_jobs.pictures.order import pictures_order
from kestrava_jobs.storage.folder import JobFolder
info = probe_source(sys.argv[1], Deadline(None))
order = pictures_order(sys.argv[1], info, ["1080p"], True, True)
made = make_pictures(order, JobFolder(pathlib.Path(sys.argv[2])), Deadline(None))
assert made.poster and made.storyboard, made.skipped
"""


def pictures_alone(source, folder) -> dict:
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    return measure([[sys.executable, "-c", PICTURES, str(source), str(folder)]], folder)


def job(source, folder, pictures: bool) -> tuple[dict, dict]:
    shutil.rmtree(folder, ignore_errors=True)
    folder.mkdir(parents=True)
    out = folder / "out"
    # The job's key in a folder of the bench's own, never beside the package.
    keys = RESULTS / "work" / "storyboard-keys"
    measured = measure([[sys.executable, "-c", JOB, str(source), str(out), "with" if pictures else "without",
                         str(keys)]], folder)
    return measured, json.loads((folder / "out.told.json").read_text())


def one_source(seconds: int, key_frame_every: int | None, rounds: int) -> None:
    source = realistic_source(seconds, key_frame_every)
    apart = "8.3" if key_frame_every is None else f"{key_frame_every / 30:g}"
    kind = f"{seconds} s 1080p, key frames {apart} s apart"
    work = RESULTS / "work" / "storyboard"
    walls, cpus, posters, shares = [], [], [], []
    for number in range(rounds):
        runs = {}
        for pictures in ((True, False) if number % 2 == 0 else (False, True)):
            runs[pictures] = job(source, work / ("with" if pictures else "without"), pictures)
        (with_, told), (without, _) = runs[True], runs[False]
        walls.append(with_["wall_s"] / without["wall_s"])
        cpus.append(with_["cpu_s"] / without["cpu_s"])
        posters.append(told["poster.jpg"])
        alone = pictures_alone(source, work / "alone")
        shares.append(alone["cpu_s"] / without["cpu_s"])
        print(f"  {kind}: with {with_['wall_s']:.1f} s wall, {with_['cpu_s']:.1f} s CPU; without "
              f"{without['wall_s']:.1f} s, {without['cpu_s']:.1f} s; poster after {told['poster.jpg']:.2f} s, "
              f"storyboard after {told['storyboard.vtt']:.2f} s; alone {alone['cpu_s']:.2f} s CPU", flush=True)
    print(f"{kind}: wall ratio {statistics.median(walls):.3f}, CPU ratio {statistics.median(cpus):.3f}, "
          f"poster in the package after {statistics.median(posters):.2f} s; alone, the pictures take "
          f"{statistics.median(shares):.1%} of the job's CPU (median of {rounds})", flush=True)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=int, nargs="+", default=[10, 60])
    args = parser.parse_args()
    for seconds in args.seconds:
        for key_frame_every in (30, None):
            one_source(seconds, key_frame_every, args.rounds)


if __name__ == "__main__":
    main()
