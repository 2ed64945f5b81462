"""Packaging jobs for applications: kestrava in a child process, with progress, a
checked result, a time-out, and a Celery task for many machines."""

from .package import package_video
from .result import (PackageBusy, PackageCancelled, PackageError, PackageResult, PackageTimeout, RenditionResult,
                     UnreadableSource)

__all__ = ["PackageBusy", "PackageCancelled", "PackageError", "PackageResult", "PackageTimeout", "RenditionResult",
           "UnreadableSource", "package_video"]
