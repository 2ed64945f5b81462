"""HLS Video Transcoding C++ Engine Binding that gave the real power of c++ in python"""

import collections.abc
import typing

def hls_encoder(input: str, output: str, resolution: collections.abc.Sequence[str] = ['1080p', '720p', '480p', '360p'], bitrate: collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex] = [5000000, 2500000, 1000000, 400000], key: str = 'enc.keyinfo') -> None:
    """Transcode video to HLS with dynamic ABR"""
