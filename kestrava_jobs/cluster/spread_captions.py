"""A spread job's captions, made once: the submit step parses every track into the staging
area; the first master (an early one, or the end's) writes the renditions on the timeline
of a rendition in the package and records what it made, which every later master reads."""

import dataclasses
import json
from dataclasses import dataclass

from ..captions.cues import Cue
from ..captions.renditions import CutSoFar, Parsed, cut_further, parse_all, write_captions
from ..captions.tracks import CaptionPlan, Track
from ..common.deadline import Deadline
from ..common.result import CaptionResult
from ..storage import names as file_names
from ..storage.keys import KeyInfo
from ..storage.seam import Package, Staging
from . import rendition_record


def stage_captions(staging: Staging, source: str, plan: CaptionPlan, deadline: Deadline) -> None:
    """Every track's cues in the staging area; a sidecar's text is not kept once parsed."""
    parsed = parse_all(source, plan, deadline) if plan.tracks else []
    records = [{"track": {**dataclasses.asdict(one.track), "text": None}, "cues": [dataclasses.asdict(cue)
                                                                                  for cue in one.cues],
                "reason": one.reason} for one in parsed]
    staging.write(file_names.CAPTIONS_PARSED, json.dumps(records).encode())


@dataclass(frozen=True)
class StagedCaptions:
    """A spread job's captions as its masters read them, whichever step writes one."""
    staging: Staging
    key: KeyInfo
    deadline: Deadline
    seconds: float | None = None  # the source's length, when known

    def for_master(self, package: Package, first: str) -> list[CaptionResult]:
        """The caption renditions in the package, written the first time they are asked for;
        while `first` grows, those cut on it so far."""
        made = self.staging.read(file_names.CAPTIONS_MADE)
        if made is not None:
            return [CaptionResult(**result) for result in json.loads(made)]
        if rendition_record.growing(self.staging, first) is not None:
            return list(self.grown().results)
        return self.made(write_captions(package, self.parsed(), first, self.key, self.deadline))

    def grow(self, package: Package, first: str, durations: list[float], target: int) -> None:
        """The caption renditions cut on the segments of `first`, a growing rendition, in
        the package so far. A track that cannot be is left out from then on."""
        so_far, parsed = self.grown(), self.parsed()
        if not parsed or self.staging.read(file_names.CAPTIONS_MADE) is not None or \
                len(durations) <= so_far.written:
            return
        found = cut_further(package, parsed, first, self.key, self.deadline, (durations, target), self.seconds,
                            so_far)
        if not isinstance(found, CutSoFar):
            self.made(found)
            return
        self.staging.write(file_names.CAPTIONS_GROWING, json.dumps(
            {"written": found.written, "mpegts": found.mpegts,
             "results": [dataclasses.asdict(result) for result in found.results]}).encode())

    def grown(self) -> CutSoFar:
        grown = json.loads(self.staging.read(file_names.CAPTIONS_GROWING) or b"{}")
        return CutSoFar(grown.get("written", 0), grown.get("mpegts"),
                        tuple(CaptionResult(**result) for result in grown.get("results", [])))

    def parsed(self) -> list[Parsed]:
        staged = json.loads(self.staging.read(file_names.CAPTIONS_PARSED) or b"[]")
        return [Parsed(Track(**record["track"]), [Cue(**cue) for cue in record["cues"]], record["reason"])
                for record in staged]

    def made(self, results: list[CaptionResult]) -> list[CaptionResult]:
        self.staging.write(file_names.CAPTIONS_MADE,
                           json.dumps([dataclasses.asdict(result) for result in results]).encode())
        return results
