"""Where a package lives (the seam and its folder), its keys, and the job's own files beside it."""
