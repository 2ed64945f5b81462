"""A spread job's poster and storyboard, made by a step of their own on any worker and
recorded in the staging area for the job's end. What cannot be made is left out with the
reason: the pictures never fail the job."""

import dataclasses
import json
from collections.abc import Callable
from dataclasses import dataclass

from ..common.result import PicturesResult
from ..job.lifecycle import fetched_source
from ..pictures.make import FAILURES, make_pictures
from ..pictures.order import pictures_order
from ..source.probe import probe_source
from ..storage import names as file_names
from ..storage.seam import Package, Staging
from .spread_job import SpreadJob


def stage_pictures(staging: Staging, job: SpreadJob, told: Callable[[str], None]) -> PicturesResult:
    deadline = job.deadline()
    try:
        with fetched_source(job.source, deadline) as source:
            order = pictures_order(source, probe_source(source, deadline), job.names, job.poster, job.storyboard)
            made = make_pictures(order, job.folder, deadline, told)
    except FAILURES as failure:
        made = PicturesResult(skipped=f"no pictures: {failure}")
    staging.write(file_names.staging_record(file_names.PICTURES_STEP),
                json.dumps(dataclasses.asdict(made)).encode())
    return made


def recorded(staging: Staging) -> PicturesResult | None:
    """What the step recorded; None before it has."""
    found = staging.read(file_names.staging_record(file_names.PICTURES_STEP))
    return None if found is None else PicturesResult(**json.loads(found))


def pictures_in(package: Package) -> tuple[str, ...]:
    """The side files a master names: those in the package. Each is put whole, and the
    storyboard's index after its sheets, so one that is there is complete."""
    return tuple(name for name in file_names.SESSION_DATA_IDS if package.has(name))


@dataclass(frozen=True)
class StagedPictures:
    """A spread job's pictures as its masters read them: made by a step of their own."""
    package: Package

    def for_master(self) -> tuple[str, ...]:
        return pictures_in(self.package)
