"""kestrava-package: package one source, or several on a local pool, from the shell."""

import argparse
import concurrent.futures
import json
import logging
import os
import pathlib
import sys
import threading
from typing import NoReturn

from rich.console import Console
from rich.progress import (
    BarColumn,
    Progress,
    SpinnerColumn,
    TaskProgressColumn,
    TextColumn,
    TimeElapsedColumn,
    TimeRemainingColumn,
)
from rich.table import Table

from .. import ladder
from ..common.result import PackageError, PackageResult
from ..job.package import package_video
from ..job.request import PUBLISH_MODES
from ..job.validate import check_names
from ..settings import DEFAULT_KEY_DIR, KEY_DIR
from ..storage.keys import DEFAULT_KEY_URI
from ..storage.locations import check_scheme, package_at
from ..storage.names import BESIDE
from ..storage.seam import Package
from .preview import serve

# The shell's code for a command ended by SIGINT.
INTERRUPTED = 130
# How soon Ctrl-C stops the jobs, whichever thread it reached.
INTERRUPT_SECONDS = 0.2


class Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        """One line, as every error of the command, instead of the usage and the error."""
        say(f"{self.prog}: {message} (see --help)")
        sys.exit(2)


def parse_args(argv: list[str] | None) -> argparse.Namespace:
    parser = Parser(
        prog="kestrava-package",
        description="Package videos as encrypted HLS. With one SOURCE, OUT_DIR is the package folder; "
                    "with several, OUT_DIR is a root that gets one folder per source, named after it. "
                    "'kestrava-package preview OUT_DIR' plays a package in the browser.")
    parser.add_argument("paths", nargs="+", metavar="SOURCE ... OUT_DIR")
    # One value per option, so that the option never takes the paths after it.
    parser.add_argument("--resolution", action="append", type=comma_list, metavar="NAME[,NAME...]",
                        help=f"renditions, comma-separated or one per --resolution, from "
                             f"{', '.join(ladder.BY_NAME)} (default: the ladder up to the source's own size)")
    parser.add_argument("--bitrate", action="append", type=bitrates, metavar="BPS[,BPS...]",
                        help="video bit rates in bits per second, paired with the renditions by position, "
                             "comma-separated or repeated (default: each rendition's own)")
    parser.add_argument("--key-info", help="an HLS key info file (default: a fresh key in the key folder)")
    parser.add_argument("--key-uri", default=DEFAULT_KEY_URI,
                        help=f"the key's URI in the playlists (default: {DEFAULT_KEY_URI})")
    parser.add_argument("--key-dir", help=f"the folder for keys (default: ${KEY_DIR}, else {DEFAULT_KEY_DIR})")
    parser.add_argument("--timeout", type=float, help="seconds before a job is killed")
    parser.add_argument("--publish-early", action="store_true",
                        help="write the master playlist as soon as one rendition is ready (the smallest is made "
                             "first) and again as each other one is; serve it with Cache-Control: no-cache")
    parser.add_argument("--publish", choices=PUBLISH_MODES,
                        help="when the master lists what: at the end (the default), each rendition once ready "
                             "(as --publish-early), or the smallest from its first segments on, its playlist "
                             "growing as it is made; serve the master and that playlist with Cache-Control: "
                             "no-cache until the job ends")
    parser.add_argument("--captions", action="append", type=caption_file, metavar="LANGUAGE=FILE",
                        help="a caption file (SubRip, WebVTT or ASS) and its language, e.g. en=talk.en.srt; "
                             "repeat for each; the source's own text subtitle tracks are always taken")
    parser.add_argument("--charset", help="the caption files' encoding when it is neither UTF-8 nor UTF-16 "
                                          "(e.g. cp1252)")
    parser.add_argument("--no-poster", dest="poster", action="store_false",
                        help="make no poster (poster.jpg, from near a tenth of the way in)")
    parser.add_argument("--no-storyboard", dest="storyboard", action="store_false",
                        help="make no scrub-bar storyboard (storyboard_N.jpg sheets and storyboard.vtt)")
    parser.add_argument("--jobs", type=int, default=1, help="sources packaged at once (default: 1)")
    parser.add_argument("--json", action="store_true", help="print the result as JSON and nothing else")
    args = parser.parse_args(argv)
    if len(args.paths) < 2:
        parser.error("give at least one SOURCE and an OUT_DIR")
    args.resolution = flatten(args.resolution)
    args.bitrate = flatten(args.bitrate)
    return args


def comma_list(text: str) -> list[str]:
    return [item.strip() for item in text.split(",") if item.strip()]


def bitrates(text: str) -> list[int]:
    try:
        return [int(item) for item in comma_list(text)]
    except ValueError:
        raise argparse.ArgumentTypeError(f"bit rates are whole numbers of bits per second, comma-separated, "
                                         f"not {text!r}") from None


def caption_file(text: str) -> tuple[str, str]:
    language, equals, path = text.partition("=")
    if not equals or not language or not path:
        raise argparse.ArgumentTypeError(f"a caption file is given as LANGUAGE=FILE, not {text!r}")
    return language, path


def flatten(groups: list[list] | None) -> list | None:
    return None if groups is None else [item for group in groups for item in group]


def refuse_names_as_sources(sources: list[str]) -> None:
    """`--resolution 720p 360p SRC OUT` gives 360p as a source; a batch would then package
    SRC into OUT/SRC, and 360p would fail as a missing file."""
    mistaken = [source for source in sources if source in ladder.BY_NAME and not os.path.lexists(source)]
    if mistaken:
        raise ValueError(f"{', '.join(mistaken)}: a rendition name where a source belongs; name several "
                         "renditions as --resolution 720p,360p")


def say(message: str) -> None:
    """An error: one line on stderr, however long, so that logs and pipes keep it whole;
    paths in it stay as given, runs of spaces too."""
    print(" ".join(message.splitlines()), file=sys.stderr)


def describe(error: Exception) -> str:
    """An error in plain words: an OS error as the file and what the system said
    ("…/pkg.lock: read-only file system"), without Python's [Errno n]."""
    if isinstance(error, OSError) and error.strerror and error.filename is not None:
        return f"{error.filename}: {error.strerror[:1].lower()}{error.strerror[1:]}"
    return str(error)


def out_dirs(sources: list[str], out: str) -> list[str]:
    """One folder per source, named after it, under the batch root. Names that are no
    folder of their own, or that meet another job's folder or files, are refused."""
    if len(sources) == 1:
        return [out]
    root = out.rstrip("/")
    names = [pathlib.PurePath(source.rstrip("/")).stem for source in sources]
    taken = {name + suffix for name in names for suffix in BESIDE}
    clashes = [name for name in names if name in ("", ".", "..") or names.count(name) > 1 or name in taken]
    if clashes:
        raise ValueError(f"sources whose package folders would clash: {sorted(set(clashes))}; "
                         "package them one at a time")
    return [f"{root}/{name}" for name in names]


def run_jobs(args: argparse.Namespace, sources: list[str], folders: list[Package],
             console: Console) -> list[PackageResult | Exception]:
    cancel = threading.Event()
    options = {"resolution": args.resolution, "bitrate": args.bitrate, "key_info": args.key_info,
               "key_uri": args.key_uri, "key_dir": args.key_dir, "timeout": args.timeout, "cancel": cancel,
               "publish_early": args.publish_early, "publish": args.publish,
               "captions": dict(args.captions) if args.captions else None,
               "charset": args.charset, "poster": args.poster, "storyboard": args.storyboard}
    show_bar = console.is_terminal and not args.json
    # The spinner and the elapsed time move while the figure waits for every rendition's
    # first segment.
    with Progress(SpinnerColumn(), TextColumn("{task.description}"), BarColumn(), TaskProgressColumn(),
                  TimeElapsedColumn(), TimeRemainingColumn(), console=console, disable=not show_bar) as bar:
        tasks = [bar.add_task(pathlib.PurePath(source).name, total=None) for source in sources]

        def one(index: int) -> PackageResult | Exception:
            def report(done: float, total: float | None) -> None:
                bar.update(tasks[index], completed=done, total=total)
            try:
                return package_video(sources[index], folders[index].location, on_progress=report, **options)
            except (PackageError, OSError, ValueError, TypeError) as error:
                return error

        # Each job runs in a child process of its own; the pool only bounds how many at
        # once. Ctrl-C reaches this thread: the jobs are told, kill their children and
        # leave their folders as they found them.
        with concurrent.futures.ThreadPoolExecutor(max(1, args.jobs)) as pool:
            futures = []
            try:
                futures += [pool.submit(one, index) for index in range(len(sources))]
                # In short waits: the kernel may hand Ctrl-C to a job's thread, and Python
                # raises it in this one only when it next runs.
                while concurrent.futures.wait(futures, timeout=INTERRUPT_SECONDS).not_done:
                    pass
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
    return {"error": describe(outcome), **({"result": found.to_dict()} if found is not None else {})}


def show(console: Console, source: str, outcome: PackageResult | Exception) -> None:
    """The result as a table between a heading and the key's path; a failure as one line
    on stderr. Paths and FFmpeg's words are printed as they are, never read as markup."""
    if not isinstance(outcome, PackageResult):
        message = describe(outcome)
        named = message.startswith((f"{source}: ", f"{os.path.realpath(source)}: "))
        say(message if named else f"{source}: {message}")
        return
    console.print(f"{source} -> {outcome.master} ({outcome.seconds:.1f} s)", markup=False, soft_wrap=True)
    table = Table()
    for column in ("rendition", "size", "seconds", "segments", "MB", "kb/s", "peak kb/s"):
        table.add_column(column, justify="left" if column == "rendition" else "right")
    for name, rendition in outcome.renditions.items():
        table.add_row(name, f"{rendition.width}x{rendition.height}", f"{rendition.duration:.2f}",
                      str(rendition.segments), f"{rendition.bytes / 1e6:.2f}", f"{rendition.bitrate / 1000:.0f}",
                      f"{rendition.peak_bitrate / 1000:.0f}")
    for name in outcome.failed:
        table.add_row(f"[red]{name}[/]", "failed", "", "", "", "", "")
    console.print(table)
    for line in [*caption_lines(outcome), outcome.pictures.poster, outcome.pictures.storyboard]:
        if line:
            console.print(line, markup=False, soft_wrap=True)
    if outcome.key_file:
        console.print(f"key: {outcome.key_file}", markup=False, soft_wrap=True)
    for line in [outcome.pictures.skipped, *left_out_lines(outcome)]:
        if line:
            say(f"{source}: {line}")
    for name in outcome.failed:
        say(f"{source}: {name} failed: {outcome.reasons.get(name, 'no reason recorded')}")


def caption_lines(outcome: PackageResult) -> list[str]:
    return [f"captions: {caption.playlist}, {caption.name} ({caption.language or 'no language'}), "
            f"{caption.cues} cue{'' if caption.cues == 1 else 's'}" for caption in outcome.captions if caption.playlist]


def left_out_lines(outcome: PackageResult) -> list[str]:
    """A line for each caption track left out, and one for the audio streams no rendition carries."""
    lines = [f"captions of {caption.origin}{f' ({caption.language})' if caption.language else ''} left out: "
             f"{caption.skipped}" for caption in outcome.captions if not caption.playlist]
    audio = [f"stream {stream.index}" + "".join(f" ({part})" for part in (stream.language, stream.title) if part)
             for stream in outcome.audio_left_out]
    if audio:
        lines.append(f"audio left out, as each rendition carries one track: {', '.join(audio)}")
    return lines


def preview(argv: list[str]) -> int:
    parser = Parser(prog="kestrava-package preview",
                                     description="Play a package in the browser, its key served locally.")
    parser.add_argument("out_dir", metavar="OUT_DIR")
    parser.add_argument("--key", help="the key file (default: the one the job recorded beside OUT_DIR)")
    parser.add_argument("--port", type=int, default=0, help="port on 127.0.0.1 (default: a free one)")
    parser.add_argument("--base-url", help="play the package from where it is served (a bucket's or a CDN's "
                        "address of OUT_DIR), not through the preview; only the key comes from here")
    args = parser.parse_args(argv)
    try:
        serve(args.out_dir, pathlib.Path(args.key) if args.key else None, args.port, args.base_url)
    except KeyboardInterrupt:
        return 0
    except (OSError, ValueError) as error:
        say(f"kestrava-package preview: {describe(error)}")
        return 2
    return 0


def main(argv: list[str] | None = None) -> int:
    argv = sys.argv[1:] if argv is None else argv
    if argv[:1] == ["preview"]:
        return preview(argv[1:])
    args = parse_args(argv)
    logging.basicConfig(level=logging.WARNING, format="%(levelname)s %(name)s: %(message)s")
    # Its warnings name each failed rendition's reason, which the command prints with the
    # result (and --json carries).
    logging.getLogger("kestrava_jobs.hls.check").setLevel(logging.ERROR)
    sources = args.paths[:-1]
    console = Console(stderr=args.json)
    try:
        check_names(args.resolution)
        refuse_names_as_sources(sources)
        folders = [package_at(folder) for folder in out_dirs(sources, check_scheme(args.paths[-1]))]
    except ValueError as error:
        say(f"kestrava-package: {error}")
        return 2
    try:
        outcomes = run_jobs(args, sources, folders, console)
    except KeyboardInterrupt:
        say("kestrava-package: interrupted; every job was stopped and its folder left as it was")
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
