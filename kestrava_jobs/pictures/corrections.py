"""The source's pictures as the renditions show them, for the ffmpeg CLI: turned upright by
the display matrix, deinterlaced, HDR tone-mapped to SDR BT.709 as the module does it, and
then as a JPEG expects them: full range, BT.601's matrix."""

from dataclasses import dataclass
from fractions import Fraction

from ..source.probe import quarter_turn

HDR_TRANSFERS = {"smpte2084", "arib-std-b67"}
# ffprobe's field orders of interlaced video: top or bottom field first, coded either way.
INTERLACED_ORDERS = {"tt", "bb", "tb", "bt"}
# zscale's names for the source's primaries and matrix; unstated, HDR video is BT.2020.
ZSCALE_PRIMARIES = {"bt709": "bt709", "smpte431": "smpte431", "smpte432": "smpte432"}
ZSCALE_MATRICES = {"bt709": "bt709", "bt2020c": "bt2020c", "smpte170m": "smpte170m", "bt470bg": "bt470bg"}
# The filters that turn a picture clockwise by each quarter turn.
TURNS = {0: [], 90: ["transpose=clock"], 180: ["hflip", "vflip"], 270: ["transpose=cclock"]}
DEINTERLACE = "bwdif=mode=send_frame:parity=auto:deint=interlaced"
AS_JPEG = "scale=out_color_matrix=bt601:out_range=full,format=yuvj420p,setsar=1"
# For pictures put together before their JPEG is written: RGB, from the matrix the frames state.
AS_RGB = "scale=flags=accurate_rnd+full_chroma_int,format=rgb24,setsar=1"


@dataclass(frozen=True)
class SourcePicture:
    """The source's video as ffprobe describes it."""
    shown: tuple[int, int]  # width and height as players show it: turned, square pixels
    turn: int  # clockwise, in degrees: 0, 90, 180 or 270
    transfer: str = ""
    primaries: str = ""
    matrix: str = ""
    full_range: bool = False
    interlaced: bool = False  # as the stream says; pictures flagged so are deinterlaced whatever it says

    @property
    def hdr(self) -> bool:
        return self.transfer in HDR_TRANSFERS


def source_picture(stream: dict) -> SourcePicture | None:
    """The first video stream's description; None when its size is unknown."""
    width, height = stream.get("width"), stream.get("height")
    if not width or not height:
        return None
    turn = quarter_turn(stream)
    aspect = pixel_aspect(stream.get("sample_aspect_ratio"))
    shown = (width * aspect, height) if turn in (0, 180) else (height, width * aspect)
    return SourcePicture(shown=(round(shown[0]), round(shown[1])), turn=turn,
                         transfer=stream.get("color_transfer", ""), primaries=stream.get("color_primaries", ""),
                         matrix=stream.get("color_space", ""), full_range=stream.get("color_range") == "pc",
                         interlaced=stream.get("field_order") in INTERLACED_ORDERS)


def pixel_aspect(text: object) -> Fraction:
    try:
        aspect = Fraction(str(text).replace(":", "/"))
    except (ValueError, ZeroDivisionError):
        return Fraction(1)
    return aspect if aspect > 0 else Fraction(1)


def tone_map(picture: SourcePicture) -> str:
    """The module's HDR-to-SDR chain: linear light in BT.709, hable, BT.709 limited range."""
    return (f"zscale=tin={picture.transfer}:min={ZSCALE_MATRICES.get(picture.matrix, 'bt2020nc')}"
            f":pin={ZSCALE_PRIMARIES.get(picture.primaries, 'bt2020')}:rin={'full' if picture.full_range else 'limited'}"
            ":t=linear:npl=100:p=bt709,format=gbrpf32le,tonemap=tonemap=hable:desat=0,"
            "zscale=t=bt709:m=bt709:r=limited,format=yuv420p")


def corrected(picture: SourcePicture, size: tuple[int, int], last: str = AS_JPEG) -> list[str]:
    """Filters from a decoded (and, where it needs it, deinterlaced) picture to an upright
    SDR picture of `size`, for a JPEG (or `last` another form). The size changes first,
    so that turning and tone mapping work on the small picture."""
    width, height = size
    stored = (height, width) if picture.turn in (90, 270) else (width, height)
    return [f"scale={stored[0]}:{stored[1]}:flags=bicubic", *TURNS[picture.turn],
            *([tone_map(picture)] if picture.hdr else []), last]
