"""The encodings the file model reads and writes: windows-1251 as browsers and vexdal_py decode it,
UTF-8, UTF-16 behind a byte-order mark, and code page 866 for files that declare
`Кодировка=DOS`. Knows bytes and characters, not sections."""

from __future__ import annotations

import codecs
import re
from typing import Any, Callable, NamedTuple, Sequence

import vexdal_py

# Python's cp1251 has no character for byte 0x98; the WHATWG table, which vexdal_py follows,
# reads it as U+0098. With this table every byte is one character and back again.
WINDOWS_1251 = "".join("\x98" if byte == 0x98 else bytes([byte]).decode("cp1251")
                       for byte in range(256))
WINDOWS_1251_MAP = codecs.charmap_build(WINDOWS_1251)

# What vexdal_py.parse calls for each section: (section type, attributes, header).
Hook = Callable[[vexdal_py.SectionType, "dict[str, str]", "dict[str, str]"], object]

UTF8_MARK = codecs.BOM_UTF8
MARKS = ((UTF8_MARK, "utf-8"), (codecs.BOM_UTF16_LE, "utf-16-le"),
         (codecs.BOM_UTF16_BE, "utf-16-be"))

# A DOS file names itself in its own code page: the key "Кодировка" in cp866 bytes, at the start
# of a header line, with the value DOS in any case. Those bytes are never valid UTF-8 (the key's
# first byte, 0x8A, cannot start a UTF-8 sequence) and no windows-1251 writer produces them (they
# read "Љ®¤Ёа®ўЄ " there), so the declaration cannot be met by accident.
DOS_KEY = "\nКодировка=".encode("cp866")
DOS_DECLARATION = re.compile(rb"^" + re.escape(DOS_KEY[1:])
                             + rb"[ \t]*dos[ \t]*\r?$", re.MULTILINE | re.IGNORECASE)
DOS_SECTION = b"\n" + "Секция".encode("cp866")

# How many characters vexdal_py's text test looks at, and the share of them that must be letters,
# digits, punctuation or the usual controls for a file outside UTF-8 to count as text.
TEXT_SAMPLE = 20480
TEXT_PERCENT = 95
NOT_TEXT = re.compile("[^\t\n\f\r\x20-\x7e\u0400-\U0010ffff]")


class Decoded(NamedTuple):
    """How a file's bytes became its text: codec and mark are what writes it back the same."""

    text: str
    encoding: str  # the public name: "cp1251", "utf-8" or "cp866"
    codec: str  # "cp1251", "utf-8", "cp866", "utf-16-le" or "utf-16-be"
    mark: bytes  # the byte-order mark in front of the text, or b""


def encode(text: str, codec: str) -> bytes:
    """text in codec; UnicodeEncodeError for a character it lacks."""
    if codec == "cp1251":
        return codecs.charmap_encode(text, "strict", WINDOWS_1251_MAP)[0]
    return text.encode(codec)


def dos_text(data: bytes) -> str | None:
    """The text of a DOS (code page 866) statement, or None when data is not one: a line of its
    header, in cp866 bytes, says Кодировка=DOS (in any case). Such a file is never one that
    vexdal_py.parse accepts as it stands: its markers are no markers in windows-1251."""
    if data.find(DOS_KEY) < 0:  # the common case, told without a regular expression
        return None
    end = data.find(DOS_SECTION)
    header = data if end < 0 else data[:end]
    if DOS_DECLARATION.search(header) is None:
        return None
    return data.decode("cp866")


def decode(data: bytes, encoding: str) -> Decoded:
    """The text of statement bytes that vexdal_py.parse accepted, read as it reads them (encoding
    is what it reported). A UTF-8 mark is kept apart, as parse() drops it."""
    if encoding == "utf-8":
        if data.startswith(UTF8_MARK):
            return Decoded(data[len(UTF8_MARK):].decode("utf-8"), encoding, "utf-8", UTF8_MARK)
        return Decoded(data.decode("utf-8"), encoding, "utf-8", b"")
    for mark, codec in MARKS:
        if data.startswith(mark):
            # Broken sequences become U+FFFD, as in parse(). Such a text cannot give its bytes
            # back, which is why an unchanged model writes the bytes it was read from.
            return Decoded(data[len(mark):].decode(codec, "replace"), encoding, codec, mark)
    # A str of 256 characters is a decoding table; typeshed's stubs for Python 3.9 know only the
    # dict and encoding-map forms.
    table: Any = WINDOWS_1251
    text = codecs.charmap_decode(data, "strict", table)[0]
    return Decoded(text, encoding, "cp1251", b"")


def decode_text(data: str) -> Decoded:
    """A str statement, which parse() reads as its UTF-8 encoding."""
    if data.startswith("\ufeff"):
        return Decoded(data[1:], "utf-8", "utf-8", UTF8_MARK)
    return Decoded(data, "utf-8", "utf-8", b"")


def looks_like_text(text: str) -> bool:
    """vexdal_py's test for a file outside UTF-8: more than 95 in 100 of the first characters
    must be letters, digits, punctuation or the usual controls."""
    sample = text[:TEXT_SAMPLE]
    if not sample:
        return False
    good = len(sample) - len(NOT_TEXT.findall(sample))
    return good * 100 // len(sample) > TEXT_PERCENT


def parse_statement(data: bytes | str,
                    hooks: Sequence[Hook] | None = None
                    ) -> tuple[vexdal_py.Statement, str]:
    """vexdal_py.parse(data, hooks), and for a DOS file that it refuses, parse() of the file
    transcoded from cp866 (parse() reads only UTF-8 and windows-1251). Returns the statement
    and the file's encoding: the statement's own, or "cp866" for a DOS file, whose text parse()
    was handed as a str."""
    try:
        statement = vexdal_py.parse(data, hooks)
    except vexdal_py.ParseError:
        text = dos_text(data) if isinstance(data, bytes) else None
        if text is None:
            raise
        return vexdal_py.parse(text, hooks), "cp866"
    return statement, statement.encoding
