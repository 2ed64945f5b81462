"""One job spread over two Celery workers that share nothing but Redis and buckets,
against the same job on one of them, and against the same spread job on a shared folder:
each worker pinned to a core of its own, with scratch and key folders of its own; the
source, the packages and the key store in buckets of a local SeaweedFS; paired rounds
whose order alternates.

  latency      package_video on a@ alone (queue "solo") against package_spread over a@ and
               b@, source and package in buckets, from submit to the stored result
  first play   package_spread with publish_early: submit until the bucket's master lists a
               complete rendition, as a share of the one-worker job
  orchestration  submit until the master lists every rendition: the spread job in buckets
               against the same spread job with source and package in a shared folder

Usage: python bench/spread_buckets_bench.py [--rounds N] [--seconds S]
"""

import argparse
import contextlib
import os
import pathlib
import shutil
import statistics
import sys
import tempfile
import time

import m3u8
from botocore.exceptions import ClientError

from spread_bench import NAMES, POLL_SECONDS, ROOT, SOLO, celery_client, celery_workers, load, outcome, \
    redis_server
from sources import CACHE, realistic_source

sys.path.insert(0, str(ROOT / "tests"))
from s3server import s3_server  # noqa: E402 - the tests' own server, started the same way

WORK = pathlib.Path(__file__).resolve().parent / "results" / "work" / "spread-buckets"
STEPS = ("video", "spread", "spread early", "spread shared")


def own_folders(home: pathlib.Path) -> dict[str, str]:
    """A worker's scratch and key folders, of its own."""
    (home / "scratch").mkdir()
    return {"KESTRAVA_SCRATCH": str(home / "scratch"), "KESTRAVA_KEY_DIR": str(home / "keys")}


def listed_complete(read) -> int:
    """How many renditions the master lists whose playlists are finished; `read(name)` gives a file's text."""
    try:
        master = m3u8.loads(read("master.m3u8"))
        return sum("#EXT-X-ENDLIST" in read(variant.uri) for variant in master.playlists)
    except (FileNotFoundError, ClientError):
        return 0


def cpu_of(pid: int) -> float:
    fields = pathlib.Path(f"/proc/{pid}/stat").read_text().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def run_one(app, server: int, task: str, source: str, out: str, read, queue: str | None = None,
            **options) -> dict:
    """One job's times, and the CPU seconds the S3 server (process `server`, which shares
    the two cores) spent meanwhile."""
    server_cpu = cpu_of(server)
    started = time.monotonic()
    pending = app.send_task(task, args=[source, out], kwargs=options, queue=queue)
    first = every = None
    while not pending.ready():
        listed, now = listed_complete(read), time.monotonic() - started
        first = now if first is None and listed else first
        every = now if every is None and listed == len(NAMES) else every
        time.sleep(POLL_SECONDS * 5)
    whole = time.monotonic() - started
    outcome(pending, pathlib.Path(out), NAMES)
    return {"first": first or whole, "master": every or whole, "whole": whole,
            "server cpu": cpu_of(server) - server_cpu}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--seconds", type=int, default=10)
    args = parser.parse_args()
    source = realistic_source(args.seconds)
    shutil.rmtree(WORK, ignore_errors=True)
    (WORK / "packages").mkdir(parents=True)
    rounds = []
    with tempfile.TemporaryDirectory() as server_folder, s3_server(pathlib.Path(server_folder)) as s3, \
            contextlib.closing(s3.client()) as client:
        uploads, media, keys = s3.new_bucket(), s3.new_bucket(), s3.new_bucket()
        client.upload_file(str(source), uploads, "in/source.mp4")
        with redis_server(WORK) as broker:
            environment = {**os.environ, **s3.environment(), "PYTHONPATH": str(ROOT), "KESTRAVA_BROKER_URL": broker,
                           "KESTRAVA_SOURCE_ROOTS": f"{CACHE}:s3://{uploads}/in",
                           "KESTRAVA_OUTPUT_ROOT": f"{WORK / 'packages'}:s3://{media}/packages",
                           "KESTRAVA_KEY_STORE": f"s3://{keys}/store"}
            with celery_workers(environment, WORK, own_folders), celery_client(broker) as app:
                for number in range(args.rounds):
                    rounds.append(one_round(app, s3.process.pid, client, number, source, uploads, media))
    report(rounds)


def one_round(app, server: int, client, number: int, source: pathlib.Path, uploads: str, media: str) -> dict:
    def in_bucket(label: str):
        def read(name: str) -> str:
            return client.get_object(Bucket=media, Key=f"packages/{label}-{number}/{name}")["Body"].read().decode()
        return f"s3://{media}/packages/{label}-{number}", read

    def in_folder(label: str):
        out = WORK / "packages" / f"{label}-{number}"
        return str(out), lambda name: (out / name).read_text()

    video, spread = "kestrava_jobs.package_video", "kestrava_jobs.package_spread"
    from_bucket = f"s3://{uploads}/in/source.mp4"
    steps = {"video": lambda: run_one(app, server, video, from_bucket, *in_bucket("video"), queue=SOLO),
             "spread": lambda: run_one(app, server, spread, from_bucket, *in_bucket("spread")),
             "spread early": lambda: run_one(app, server, spread, from_bucket, *in_bucket("early"),
                                             publish_early=True),
             "spread shared": lambda: run_one(app, server, spread, str(source), *in_folder("shared"))}
    order = STEPS if number % 2 == 0 else STEPS[::-1]
    before = load()
    run = {step: steps[step]() for step in order}
    print(f"  round {number + 1}: one worker {run['video']['whole']:.1f} s, two {run['spread']['whole']:.1f} s, "
          f"first play {run['spread early']['first']:.1f} s, full master {run['spread']['master']:.2f} s in buckets "
          f"against {run['spread shared']['master']:.2f} s shared; load {before} -> {load()}", flush=True)
    return {"latency": run["video"]["whole"] / run["spread"]["whole"],
            "first play": run["spread early"]["first"] / run["video"]["whole"],
            "orchestration": run["spread"]["master"] - run["spread shared"]["master"],
            "video": run["video"]["whole"], "spread": run["spread"]["whole"],
            "server cpu, spread": run["spread"]["server cpu"], "server cpu, shared": run["spread shared"]["server cpu"]}


def report(rounds: list[dict]) -> None:
    for key, goal in (("latency", ">= 1.7x"), ("first play", "<= 0.15"), ("orchestration", "<= 0.2 s"),
                      ("video", ""), ("spread", ""), ("server cpu, spread", ""), ("server cpu, shared", "")):
        values = [one[key] for one in rounds]
        print(f"{key:<18} median {statistics.median(values):7.3f}  goal {goal:<10} rounds "
              + " ".join(f"{value:.3f}" for value in values))


if __name__ == "__main__":
    main()
