"""Packaging jobs for applications: kestrava in a child process, with progress, a
checked result, a time-out, and Celery tasks for many machines.

The groups: job/ (one job: its request, plan, children, checks and result), storage/
(where a package lives, its keys and the job's own files), captions/ (the WebVTT
renditions of subtitle tracks and sidecar files), cluster/ (Celery: the app,
one job a task or one job spread over the workers, what a message may ask), command/
(kestrava-package and its preview)."""

from .common.result import (
                         CaptionResult,
                         PackageBusy,
                         PackageCancelled,
                         PackageError,
                         PackageResult,
                         PackageTimeout,
                         RenditionResult,
                         UnreadableSource,
)
from .job.package import package_video

__all__ = ["CaptionResult", "PackageBusy", "PackageCancelled", "PackageError", "PackageResult", "PackageTimeout",
           "RenditionResult", "UnreadableSource", "package_video"]
