"""Caption renditions: the source's text subtitle tracks and the caller's sidecar files,
made WebVTT segments cut where the video's are, timed on the package's own clock."""
