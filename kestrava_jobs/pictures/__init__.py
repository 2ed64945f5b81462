"""The pictures a platform shows around the video: a poster and a scrub-bar storyboard."""
