"""The package as HLS: the master playlist's text, and the check that a rendition is whole."""
