"""Language tags as HLS wants them (BCP-47), and the English names players show."""

import re

import pycountry

# What a caller may give: a primary language subtag, then subtags ("pt-BR", "zh-Hant").
BCP47 = re.compile(r"[A-Za-z]{2,3}(-[A-Za-z0-9]{1,8})*")
UNDETERMINED = {"und", "mis", "mul", "zxx"}


def check_tag(tag: object) -> str:
    """A caller's language tag, as it will stand in the master."""
    if not isinstance(tag, str) or not BCP47.fullmatch(tag):
        raise ValueError(f"{tag!r} is not a language tag such as en or pt-BR")
    return tag


def from_iso639_2(code: str | None) -> str | None:
    """A source's ISO 639-2 code (eng, fre or fra) as BCP-47 (en, fr); None when unknown."""
    if not code or code.lower() in UNDETERMINED:
        return None
    found = (pycountry.languages.get(alpha_3=code.lower()) or pycountry.languages.get(bibliographic=code.lower())
             or pycountry.languages.get(alpha_2=code.lower()))
    if found is None:
        return code if BCP47.fullmatch(code) else None
    return getattr(found, "alpha_2", None) or found.alpha_3


def english_name(tag: str | None) -> str | None:
    """The language's English name by its primary subtag ("pt-BR": Portuguese)."""
    if not tag:
        return None
    primary = tag.split("-")[0].lower()
    found = pycountry.languages.get(alpha_2=primary) if len(primary) == 2 else pycountry.languages.get(alpha_3=primary)
    return found.name if found is not None else None
