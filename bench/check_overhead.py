"""What the companion adds to the bare call: package_video (probe, child process,
checking every segment, the measured master) against kestrava.hls_encoder on the
make bench source, in paired runs.

Usage: python bench/check_overhead.py [--rounds N]
"""

import argparse
import shutil
import statistics
import sys

from runners import LADDER, command_a, fresh_folder, measure
from sources import realistic_source, write_key_info
from picture_costs import RESULTS

NAMES = [name for name, *_ in LADDER]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--rounds", type=int, default=3)
    args = parser.parse_args()
    source = realistic_source(20)
    work = RESULTS / "work"
    bare = fresh_folder(work, "bare", write_key_info(work / "key"))
    jobs = work / "jobs"
    job = [[sys.executable, "-c", "import sys; from kestrava_jobs import package_video; "
            "package_video(sys.argv[1], sys.argv[2], key_dir=sys.argv[3])",
            str(source), str(jobs / "out"), str(work / "job-keys")]]
    ratios = []
    for _ in range(args.rounds):
        shutil.rmtree(jobs, ignore_errors=True)
        jobs.mkdir(parents=True)
        a, b = measure(job, jobs), measure(command_a(source, NAMES), bare)
        ratios.append(a["wall_s"] / b["wall_s"])
        print(f"  package_video {a['wall_s']:.1f} s against the bare call {b['wall_s']:.1f} s", flush=True)
    print(f"package_video / bare call: wall ratio {statistics.median(ratios):.3f}")


if __name__ == "__main__":
    main()
