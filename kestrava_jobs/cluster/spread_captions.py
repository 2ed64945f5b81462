"""A spread job's captions, made once: the submit step parses every track into the staging
area; the first master (an early one, or the end's) writes the renditions on the timeline
of a rendition in the package and records what it made, which every later master reads."""

import dataclasses
import json
from dataclasses import dataclass

from ..captions.cues import Cue
from ..captions.renditions import Parsed, parse_all, write_captions
from ..captions.tracks import CaptionPlan, Track
from ..common.deadline import Deadline
from ..common.result import CaptionResult
from ..storage import names as file_names
from ..storage.keys import KeyInfo
from ..storage.seam import Package, Staging


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

    def for_master(self, package: Package, first: str) -> list[CaptionResult]:
        """The caption renditions in the package, written the first time they are asked for."""
        made = self.staging.read(file_names.CAPTIONS_MADE)
        if made is not None:
            return [CaptionResult(**result) for result in json.loads(made)]
        staged = json.loads(self.staging.read(file_names.CAPTIONS_PARSED) or b"[]")
        parsed = [Parsed(Track(**record["track"]), [Cue(**cue) for cue in record["cues"]], record["reason"])
                  for record in staged]
        results = write_captions(package, parsed, first, self.key, self.deadline)
        self.staging.write(file_names.CAPTIONS_MADE,
                    json.dumps([dataclasses.asdict(result) for result in results]).encode())
        return results
