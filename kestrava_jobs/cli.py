"""kestrava-package: package one source, or several on a local pool, from the shell."""

import argparse
import concurrent.futures
import json
import logging
import pathlib
import sys
import threading

from rich.console import Console
from rich.progress import BarColumn, Progress, TaskProgressColumn, TextColumn, TimeRemainingColumn
from rich.table import Table

from .job_files import BESIDE
from .package import package_video
from .preview import serve
from .result import PackageError, PackageResult
from .validate import check_out_dir

log = logging.getLogger("kestrava_jobs")
# The shell's code for a command ended by SIGINT.
INTERRUPTED = 130


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(
        prog="kestrava-package",
        description="Package videos as encrypted HLS. With one SOURCE, OUT_DIR is the package folder; "
                    "with several, OUT_DIR is a root that gets one folder per source, named after it. "
                    "'kestrava-package preview OUT_DIR' plays a package in the browser.")
    parser.add_argument("paths", nargs="+", metavar="SOURCE ... OUT_DIR")
    parser.add_argument("--resolution", nargs="+", metavar="NAME", help="renditions (default: the ladder "
                        "up to the source's own size)")
    parser.add_argument("--bitrate", nargs="+", type=int, metavar="BPS",
                        help="video bit rates by position (default: each rendition's own)")
    parser.add_argument("--key-info", help="an HLS key info file (default: a fresh key beside OUT_DIR)")
    parser.add_argument("--key-uri", default="enc.key", help="the key's URI in the playlists (default: enc.key)")
    parser.add_argument("--key-dir", help="the folder for keys (default: $KESTRAVA_KEY_DIR, else "
                        "~/.local/state/kestrava/keys)")
    parser.add_argument("--timeout", type=float, help="seconds before a job is killed")
    parser.add_argument("--jobs", type=int, default=1, help="sources packaged at once (default: 1)")
    parser.add_argument("--json", action="store_true", help="print the result as JSON and nothing else")
    args = parser.parse_args(argv)
    if len(args.paths) < 2:
        parser.error("give at least one SOURCE and an OUT_DIR")
    return args


def out_dirs(sources: list[str], out: pathlib.Path) -> list[pathlib.Path]:
    """One folder per source, named after it, under the batch root. Names that are no
    folder of their own, or that meet another job's folder or files, are refused."""
    if len(sources) == 1:
        return [out]
    names = [pathlib.PurePath(source.rstrip("/")).stem for source in sources]
    taken = {name + suffix for name in names for suffix in BESIDE}
    clashes = [name for name in names if name in ("", ".", "..") or names.count(name) > 1 or name in taken]
    if clashes:
        raise ValueError(f"sources whose package folders would clash: {sorted(set(clashes))}; "
                         "package them one at a time")
    return [out / name for name in names]


def run_jobs(args: argparse.Namespace, sources: list[str], folders: list[pathlib.Path],
             console: Console) -> list[PackageResult | Exception]:
    cancel = threading.Event()
    options = {"resolution": args.resolution, "bitrate": args.bitrate, "key_info": args.key_info,
               "key_uri": args.key_uri, "key_dir": args.key_dir, "timeout": args.timeout, "cancel": cancel}
    show_bar = console.is_terminal and not args.json
    with Progress(TextColumn("{task.description}"), BarColumn(), TaskProgressColumn(), TimeRemainingColumn(),
                  console=console, disable=not show_bar) as bar:
        tasks = [bar.add_task(pathlib.PurePath(source).name, total=None) for source in sources]

        def one(index: int) -> PackageResult | Exception:
            def report(done: float, total: float | None) -> None:
                bar.update(tasks[index], completed=done, total=total)
            try:
                return package_video(sources[index], folders[index], on_progress=report, **options)
            except (PackageError, OSError, ValueError, TypeError) as error:
                return error

        # Each job runs in a child process of its own; the pool only bounds how many at
        # once. Ctrl-C reaches this thread: the jobs are told, kill their children and
        # leave their folders as they found them.
        with concurrent.futures.ThreadPoolExecutor(max(1, args.jobs)) as pool:
            futures = [pool.submit(one, index) for index in range(len(sources))]
            try:
                concurrent.futures.wait(futures)
            except KeyboardInterrupt:
                cancel.set()
                for future in futures:
                    future.cancel()
                raise
            return [future.result() for future in futures]


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


def preview(argv: list[str]) -> int:
    parser = argparse.ArgumentParser(prog="kestrava-package preview",
                                     description="Play a package in the browser, its key served locally.")
    parser.add_argument("out_dir", metavar="OUT_DIR")
    parser.add_argument("--key", help="the key file (default: the one the job recorded beside OUT_DIR)")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: a free one)")
    args = parser.parse_args(argv)
    try:
        serve(pathlib.Path(args.out_dir), pathlib.Path(args.key) if args.key else None, args.port)
    except KeyboardInterrupt:
        return 0
    except (OSError, ValueError) as error:
        print(f"kestrava-package preview: {error}", file=sys.stderr)
        return 2
    return 0


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["preview"]:
        return preview(argv[1:])
    args = parse_args(argv)
    logging.basicConfig(level=logging.WARNING, format="%(levelname)s %(name)s: %(message)s")
    sources, out = args.paths[:-1], pathlib.Path(args.paths[-1])
    console = Console(stderr=args.json)
    try:
        folders = [check_out_dir(folder) for folder in out_dirs(sources, out)]
    except ValueError as error:
        console.print(f"[bold red]kestrava-package[/]: {error}")
        return 2
    try:
        outcomes = run_jobs(args, sources, folders, console)
    except KeyboardInterrupt:
        print("kestrava-package: interrupted; every job was stopped and its folder left as it was",
              file=sys.stderr)
        return INTERRUPTED
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
