"""Figures as FFmpeg's tools print them."""


def float_or_none(text: object) -> float | None:
    """ffprobe's figure, which may be missing or N/A."""
    try:
        return float(text)  # type: ignore[arg-type]
    except (TypeError, ValueError):
        return None
