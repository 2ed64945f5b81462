"""What every part of the companion uses: the results a job returns or raises, its deadline,
FFmpeg's words in an error, and the stopping of a child's process group."""
