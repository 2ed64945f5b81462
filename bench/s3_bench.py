"""A package in a bucket against the same job into a folder, in paired runs on the 10 s
1080p bench source with the default ladder, the bucket on a local SeaweedFS.

Ways measured (each round runs them all, in a rotating order):
  folder  - package_video into a folder
  bucket  - package_video into a prefix of a bucket
  early   - the same with publish_early

Figures: the bucket's whole job against the same round's folder job (wall); with early
publishing, the time until the bucket's master lists a complete rendition as a share of
that whole job; and the time from the end of the last rendition's check to the final
master in the bucket.

Usage: python bench/s3_bench.py [--rounds N]
"""

import argparse
import contextlib
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile

from picture_costs import RESULTS
from sources import realistic_source

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "tests"))
from s3server import s3_server  # noqa: E402 - the tests' own server, started the same way

# One job in a fresh interpreter, as a worker would run it; prints its figures as JSON.
# The end of the last check and the final master's upload are timed from within.
JOB = """
import json, sys, time
from kestrava_jobs.job import run
from kestrava_jobs.storage import bucket
from kestrava_jobs import package_video
source, out, keys, way = sys.argv[1:5]
marks, first = {}, []
checking, putting = run.check_all, bucket.BucketPackage.put_master
def timed_check(*args, **kwargs):
    found = checking(*args, **kwargs)
    marks["checked"] = time.monotonic()
    return found
def timed_master(self, text, final=True):
    putting(self, text, final)
    if final:
        marks["master"] = time.monotonic()
run.check_all, bucket.BucketPackage.put_master = timed_check, timed_master
started = time.monotonic()
result = package_video(source, out, key_dir=keys, publish_early=way == "early",
                       on_rendition=lambda name: first.append(time.monotonic() - started))
whole = time.monotonic() - started
print(json.dumps({"whole": whole, "first": first[0], "complete": result.complete,
                  "tail": marks["master"] - marks["checked"] if "master" in marks else None}))
"""


def run_one(source: pathlib.Path, work: pathlib.Path, way: str, number: int, bucket: str, environment: dict) -> dict:
    out = str(work / "out") if way == "folder" else f"s3://{bucket}/{way}/{number}"
    shutil.rmtree(work / "out", ignore_errors=True)
    found = subprocess.run([sys.executable, "-c", JOB, str(source), out, str(work / "keys"), way], check=True,
                           capture_output=True, text=True, env={**os.environ, **environment})
    return json.loads(found.stdout)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    source = realistic_source(10)
    work = RESULTS / "work" / "s3"
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    ways = ["folder", "bucket", "early"]
    runs: dict[str, list[dict]] = {way: [] for way in ways}
    with tempfile.TemporaryDirectory() as server_folder, s3_server(pathlib.Path(server_folder)) as server:
        bucket = server.new_bucket()
        environment = {**server.environment(), "KESTRAVA_SCRATCH": str(work)}
        for number in range(args.rounds):
            for way in ways[number % len(ways):] + ways[:number % len(ways)]:
                runs[way].append(run_one(source, work, way, number, bucket, environment))
            print(f"  load {os.getloadavg()[0]:.1f}: " + ", ".join(
                f"{way} {runs[way][-1]['whole']:.2f} s" for way in ways), flush=True)
        with contextlib.closing(server.client()) as client:
            stored = sum(item["Size"] for item in client.list_objects_v2(Bucket=bucket).get("Contents", []))
    report(runs, stored)


def report(runs: dict[str, list[dict]], stored: int) -> None:
    ratios = [bucket["whole"] / folder["whole"] for bucket, folder in zip(runs["bucket"], runs["folder"])]
    print(f"bucket / folder, whole job:           {statistics.median(ratios):.3f}"
          f"  (rounds: {', '.join(f'{ratio:.3f}' for ratio in ratios)})")
    print(f"early into a bucket, first play/whole: "
          f"{statistics.median(run['first'] / run['whole'] for run in runs['early']):.3f}")
    print(f"last check to final master in bucket:  {statistics.median(run['tail'] for run in runs['bucket']):.3f} s"
          f"  (early: {statistics.median(run['tail'] for run in runs['early']):.3f} s)")
    print(f"medians: folder {statistics.median(r['whole'] for r in runs['folder']):.2f} s, "
          f"bucket {statistics.median(r['whole'] for r in runs['bucket']):.2f} s; {stored / 1e6:.1f} MB in the bucket")


if __name__ == "__main__":
    main()
