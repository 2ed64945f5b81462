"""kestrava-package: package one source, or several on a local pool, from the shell."""

import argparse
import concurrent.futures
import json
import logging
import pathlib
import sys

from rich.console import Console
from rich.progress import BarColumn, Progress, TaskProgressColumn, TextColumn, TimeRemainingColumn
from rich.table import Table

from .package import package_video
from .result import PackageError, PackageResult

log = logging.getLogger("kestrava_jobs")


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="kestrava-package",
        description="Package videos as encrypted HLS. With one SOURCE, OUT_DIR is the package folder; "
                    "with several, OUT_DIR is a root that gets one folder per source, named after it.")
    parser.add_argument("paths", nargs="+", metavar="SOURCE ... OUT_DIR")
    parser.add_argument("--resolution", nargs="+", metavar="NAME", help="renditions (default: the ladder "
                        "up to the source's own size)")
    parser.add_argument("--bitrate", nargs="+", type=int, metavar="BPS",
                        help="video bit rates by position (default: each rendition's own)")
    parser.add_argument("--key-info", help="an HLS key info file (default: a fresh key beside OUT_DIR)")
    parser.add_argument("--key-uri", default="enc.key", help="the key's URI in the playlists (default: enc.key)")
    parser.add_argument("--timeout", type=float, help="seconds before a job is killed")
    parser.add_argument("--jobs", type=int, default=1, help="sources packaged at once (default: 1)")
    parser.add_argument("--json", action="store_true", help="print the result as JSON and nothing else")
    args = parser.parse_args(argv)
    if len(args.paths) < 2:
        parser.error("give at least one SOURCE and an OUT_DIR")
    return args


def out_dirs(sources: list[str], out: pathlib.Path) -> list[pathlib.Path]:
    if len(sources) == 1:
        return [out]
    taken: set[str] = set()
    folders = []
    for source in sources:
        stem = pathlib.PurePath(source.rstrip("/")).stem or "source"
        name, number = stem, 1
        while name in taken:
            number += 1
            name = f"{stem}_{number}"
        taken.add(name)
        folders.append(out / name)
    return folders


def run_jobs(args: argparse.Namespace, sources: list[str], folders: list[pathlib.Path],
             console: Console) -> list[PackageResult | Exception]:
    options = {"resolution": args.resolution, "bitrate": args.bitrate, "key_info": args.key_info,
               "key_uri": args.key_uri, "timeout": args.timeout}
    show_bar = console.is_terminal and not args.json
    with Progress(TextColumn("{task.description}"), BarColumn(), TaskProgressColumn(), TimeRemainingColumn(),
                  console=console, disable=not show_bar) as bar:
        tasks = [bar.add_task(pathlib.PurePath(source).name, total=None) for source in sources]

        def one(index: int) -> PackageResult | Exception:
            def report(done: float, total: float | None) -> None:
                bar.update(tasks[index], completed=done, total=total)
            try:
                return package_video(sources[index], folders[index], on_progress=report, **options)
            except (PackageError, OSError, ValueError) as error:
                return error

        # Each job runs in a child process of its own; the pool only bounds how many at once.
        with concurrent.futures.ThreadPoolExecutor(max(1, args.jobs)) as pool:
            return list(pool.map(one, range(len(sources))))


def as_json(outcome: PackageResult | Exception) -> dict:
    if isinstance(outcome, PackageResult):
        return outcome.to_dict()
    found = getattr(outcome, "result", None)
    return {"error": str(outcome), **({"result": found.to_dict()} if found is not None else {})}


def show(console: Console, source: str, outcome: PackageResult | Exception) -> None:
    if not isinstance(outcome, PackageResult):
        console.print(f"[bold red]{source}[/]: {outcome}")
        return
    table = Table(title=f"{source} -> {outcome.master} ({outcome.seconds:.1f} s)")
    for column in ("rendition", "size", "seconds", "segments", "MB", "kb/s", "peak kb/s"):
        table.add_column(column, justify="left" if column == "rendition" else "right")
    for name, rendition in outcome.renditions.items():
        table.add_row(name, f"{rendition.width}x{rendition.height}", f"{rendition.duration:.2f}",
                      str(rendition.segments), f"{rendition.bytes / 1e6:.2f}", f"{rendition.bitrate / 1000:.0f}",
                      f"{rendition.peak_bitrate / 1000:.0f}")
    for name in outcome.failed:
        table.add_row(f"[red]{name}[/]", "failed", "", "", "", "", "")
    console.print(table)


def main(argv: list[str] | None = None) -> int:
    args = parse_args(argv)
    logging.basicConfig(level=logging.WARNING, format="%(levelname)s %(name)s: %(message)s")
    sources, out = args.paths[:-1], pathlib.Path(args.paths[-1])
    console = Console(stderr=args.json)
    outcomes = run_jobs(args, sources, out_dirs(sources, out), console)
    if args.json:
        documents = [as_json(outcome) for outcome in outcomes]
        json.dump(documents[0] if len(documents) == 1 else documents, sys.stdout, indent=2)
        sys.stdout.write("\n")
    else:
        for source, outcome in zip(sources, outcomes):
            show(console, source, outcome)
    every_one = all(isinstance(outcome, PackageResult) and not outcome.failed for outcome in outcomes)
    return 0 if every_one else 1


if __name__ == "__main__":
    sys.exit(main())
