"""The lossless file model: load() keeps every line of a statement as it stood, so that dumps()
gives back the bytes it read, and a file changed in code is written with only the changed lines
new. vexdal_py.parse judges what a statement is; this module reads no value's meaning."""

from __future__ import annotations

import re
from difflib import SequenceMatcher
from typing import Iterable, List, Tuple

import vexdal_py

from vexdal import charsets
from vexdal.writing import (ACCOUNT_END, ACCOUNT_START, DOCUMENT_END, DOCUMENT_START, FILE_END,
                            FORMAT_LINE, Place, Problem, WriteError, Writer, encoding_name,
                            newline_name)

__all__ = ["load", "ExchangeFile", "Section", "WriteError", "Problem"]

Item = Tuple[str, str]

# Every marker line after the first line. A line ends at LF, one CR before it included, so in
# MULTILINE "\r?$" ends a bare marker. Only markers start with these words at a line's start,
# once parse() has accepted the file: any other line holds "=" or is blank.
MARKER = re.compile("\n(?:" + DOCUMENT_START + "=|(?:" + "|".join(
    (ACCOUNT_START, ACCOUNT_END, DOCUMENT_END, FILE_END)) + r")\r?$)", re.MULTILINE)


class Block:
    """The lines of a header or a section as they were read: the opening line (the first line
    of the file, or the section's marker), one chunk per item (the blank lines before it and its
    own line, line ends included), and the closing text (blank lines, then the end marker of a
    section). Unpacked from its text the first time it is needed."""

    __slots__ = ("text", "marked", "items", "opening", "chunks", "closing")

    def __init__(self, text: str, marked: bool) -> None:
        self.text = text  # every line of the block, each ended by its LF
        self.marked = marked  # whether the last line is an end marker
        self.items: tuple[Item, ...] | None = None
        self.opening = ""
        self.chunks: list[str] = []
        self.closing = ""

    def unpack(self) -> tuple[Item, ...]:
        if self.items is not None:
            return self.items
        parts = self.text.split("\n")
        parts.pop()  # the empty piece after the last LF
        last = parts.pop() + "\n" if self.marked else ""
        items: list[Item] = []
        chunks: list[str] = []
        blank: list[str] = []
        for part in parts[1:]:
            line = part[:-1] if part.endswith("\r") else part
            key, equals, value = line.partition("=")
            if equals:
                items.append((key, value))
                chunks.append("".join(blank) + part + "\n")
                blank.clear()
            else:  # in a file parse() accepted, a line without "=" here is blank
                blank.append(part + "\n")
        self.opening = parts[0] + "\n"
        self.chunks = chunks
        self.closing = "".join(blank) + last
        self.items = tuple(items)
        return self.items

    def lines(self, items: list[Item], render: Writer, place: Place) -> list[str]:
        """The block's lines for items: the chunks of the items kept from the file (with their
        blank lines and line ends), fresh lines for the rest, in the order of items."""
        original = self.unpack()
        out: list[str] = []
        matcher = SequenceMatcher(None, original, items, autojunk=False)
        for tag, i1, i2, j1, j2 in matcher.get_opcodes():
            if tag == "equal":
                out.extend(self.chunks[i1:i2])
            elif tag != "delete":
                out.extend(render.item(place, key, value) for key, value in items[j1:j2])
        return out


class Section:
    """One account section ("СекцияРасчСчет" ... "КонецРасчСчет") or payment document section
    ("СекцияДокумент=<doc_type>" ... "КонецДокумента"): its key=value lines in file order, repeats
    kept. A loaded section keeps its lines and unpacks them only when `items` is first read."""

    __slots__ = ("kind", "doc_type", "lineno", "end_lineno", "_items", "_block", "_lead",
                 "_read_as")

    def __init__(self, kind: str, items: Iterable[Item] = (), *,
                 doc_type: str | None = None) -> None:
        if kind not in ("account", "document"):
            raise ValueError(f'kind must be "account" or "document", not {kind!r}')
        if (kind == "document") != (doc_type is not None):
            raise ValueError("a document section takes a doc_type, an account section none")
        self.kind = kind
        self.doc_type = doc_type
        self.lineno: int | None = None
        self.end_lineno: int | None = None
        self._items: list[Item] | None = list(items)
        self._block: Block | None = None
        self._lead = ""  # the blank lines that stood before it
        self._read_as: tuple[str, str | None] = (kind, doc_type)

    @classmethod
    def _loaded(cls, kind: str, doc_type: str | None, lineno: int, end_lineno: int,
                block: Block, lead: str) -> Section:
        # Tens of thousands of these are made per load: no argument checks, no item list.
        section = cls.__new__(cls)
        section.kind = kind
        section.doc_type = doc_type
        section.lineno = lineno
        section.end_lineno = end_lineno
        section._items = None
        section._block = block
        section._lead = lead
        section._read_as = (kind, doc_type)
        return section

    @property
    def items(self) -> list[Item]:
        """Every key=value line of the section as (key, value), in order; change it freely."""
        if self._items is None:
            assert self._block is not None
            self._items = list(self._block.unpack())
        return self._items

    @items.setter
    def items(self, items: Iterable[Item]) -> None:
        self._items = list(items)

    def get(self, key: str, default: str | None = None) -> str | None:
        """The value of the key's last line, the one the parser takes; default without one."""
        for name, value in reversed(self.items):
            if name == key:
                return value
        return default

    def set(self, key: str, value: str) -> None:
        """Gives the key's last line this value, or adds a line for it at the end."""
        items = self.items
        for i in range(len(items) - 1, -1, -1):
            if items[i][0] == key:
                items[i] = (key, value)
                return
        items.append((key, value))

    def delete(self, key: str) -> None:
        """Removes every line of the key; KeyError when it has none."""
        items = self.items
        kept = [item for item in items if item[0] != key]
        if len(kept) == len(items):
            raise KeyError(key)
        items[:] = kept

    def _unchanged(self) -> bool:
        block = self._block
        return block is not None and (self.kind, self.doc_type) == self._read_as and (
            self._items is None or tuple(self._items) == block.unpack())

    def _text(self, render: Writer, index: int) -> str:
        """The section's lines: as read when nothing in it changed, else rebuilt around the
        lines it keeps."""
        block = self._block
        if block is not None and self._unchanged():
            return self._lead + block.text
        place = Place(index, self)
        items = render.checked_items(place, self.items)
        if self.kind == "account":
            render.account(place, items)
        opening = render.opening(place, self.kind, self.doc_type)
        if block is None:
            lines = [render.item(place, key, value) for key, value in items]
            return opening + "".join(lines) + render.closing(self.kind)
        block.unpack()
        if (self.kind, self.doc_type) == self._read_as:
            opening = block.opening
        closing = block.closing if self.kind == self._read_as[0] else render.closing(self.kind)
        return self._lead + opening + "".join(block.lines(items, render, place)) + closing

    def __repr__(self) -> str:
        doc_type = f", doc_type={self.doc_type!r}" if self.doc_type is not None else ""
        return (f"Section({self.kind!r}{doc_type}, lineno={self.lineno}, "
                f"items=[...{len(self.items)}])")


class Source:
    """What a loaded file was read from, so that an unchanged file is written back as it came."""

    __slots__ = ("data", "decoded", "newline", "header", "sections", "tail")

    def __init__(self, data: bytes, decoded: charsets.Decoded, newline: str, header: Block,
                 sections: tuple[Section, ...], tail: str) -> None:
        self.data = data
        self.decoded = decoded
        self.newline = newline
        self.header = header
        self.sections = sections
        self.tail = tail  # from the end of the last section: "КонецФайла" and what follows


class ExchangeFile:
    """A whole 1CClientBankExchange file: header lines, sections, the encoding and line end it is
    written with. load() makes one from a file's bytes; build one in code from (key, value)
    pairs and Sections. dumps() writes it."""

    def __init__(self, header: Iterable[Item] = (), sections: Iterable[Section] = (), *,
                 encoding: str = "cp1251", newline: str = "\r\n") -> None:
        self.header: list[Item] = list(header)
        self.sections: list[Section] = list(sections)
        self.encoding = encoding_name(encoding)
        self.newline = newline_name(newline)
        self._source: Source | None = None

    def dumps(self, *, encoding: str | None = None, newline: str | None = None) -> bytes:
        """The file's bytes: in encoding and with newline ending every line when given, else in
        the file's own. A loaded file keeps every line it still has as it was read (its line end
        too, unless a newline other than its own is asked for), so an unchanged one comes back
        byte for byte. WriteError, naming each section and key, for anything that vexdal_py.parse
        would not read back as the same values."""
        encoding = encoding_name(self.encoding if encoding is None else encoding)
        newline = newline_name(self.newline if newline is None else newline)
        source = self._source
        own_codec = source is not None and encoding == source.decoded.encoding
        own_newline = source is not None and newline == source.newline
        if source is not None and own_codec and own_newline and self._unchanged(source):
            return source.data
        if source is not None and own_codec:
            codec, mark = source.decoded.codec, source.decoded.mark
        else:
            codec, mark = encoding, b""
        render = Writer(codec, newline, rewrite_line_ends=not own_newline)
        return mark + render.finish(self._text(render, source), self.header, self.sections)

    def _unchanged(self, source: Source) -> bool:
        return (tuple(self.header) == source.header.unpack()
                and len(self.sections) == len(source.sections)
                and all(mine is theirs and mine._unchanged()
                        for mine, theirs in zip(self.sections, source.sections)))

    def _text(self, render: Writer, source: Source | None) -> str:
        header_place = Place(None, None)
        items = render.checked_items(header_place, self.header)
        if source is None:
            head = render.first_line() + "".join(
                render.item(header_place, key, value) for key, value in items)
            tail = render.closing_line(FILE_END)
        else:
            block = source.header
            block.unpack()
            head = block.opening + "".join(block.lines(items, render, header_place)) + block.closing
            tail = source.tail
        if not self.sections:
            render.problems.append(Problem(None, None, "the file", "has no section; a statement "
                                           "needs at least one"))
        body = [section._text(render, index) for index, section in enumerate(self.sections)]
        return head + "".join(body) + tail

    def __repr__(self) -> str:
        return (f"ExchangeFile(encoding={self.encoding!r}, newline={self.newline!r}, "
                f"header=[...{len(self.header)}], sections=[...{len(self.sections)}])")


def load(data: bytes | str) -> ExchangeFile:
    """The file model of a statement's bytes (or text), every line kept as it stands. A file that
    vexdal_py.parse refuses raises what parse() raises; a DOS (code page 866) file, which parse()
    cannot read as bytes, is read as cp866 when its header says Кодировка=DOS."""
    if isinstance(data, bytes):
        dos = charsets.dos_text(data)
        if dos is None:
            decoded = charsets.decode(data, vexdal_py.parse(data).encoding)
        else:
            vexdal_py.parse(dos)
            decoded = charsets.Decoded(dos, "cp866", "cp866", b"", True)
        source = bytes(data)
    elif isinstance(data, str):
        vexdal_py.parse(data)
        decoded = charsets.decode_text(data)
        source = data.encode("utf-8")
    else:
        vexdal_py.parse(data)  # raises parse()'s own TypeError
        raise AssertionError("parse() took a statement that is neither bytes nor str")
    return split(source, decoded)


def split(data: bytes, decoded: charsets.Decoded) -> ExchangeFile:
    """The model of a text parse() accepted: the markers found in one scan, each section's text
    cut out whole for its items to be unpacked when they are asked for."""
    text = decoded.text
    sections: List[Section] = []
    header_end = tail_start = -1
    section_start = lineno = start_line = 0
    kind = ""
    doc_type: str | None = None
    counted = 0  # line numbers are counted up to here
    previous_end = 0
    for match in MARKER.finditer(text):
        start = match.start() + 1
        lineno += text.count("\n", counted, start) + (0 if counted else 1)
        counted = start
        if text.startswith(FILE_END, start):
            tail_start = start
            break
        if header_end < 0:
            header_end = previous_end = start
        line_end = text.find("\n", start) + 1
        if text.startswith("Конец", start):
            block = Block(text[section_start:line_end], True)
            sections.append(Section._loaded(kind, doc_type, start_line, lineno, block,
                                            text[previous_end:section_start]))
            previous_end = line_end
        else:
            section_start, start_line = start, lineno
            if text.startswith(DOCUMENT_START, start):
                kind = "document"
                line = text[start + len(DOCUMENT_START) + 1:line_end - 1]
                doc_type = line[:-1] if line.endswith("\r") else line
            else:
                kind, doc_type = "account", None
    assert header_end > 0 and tail_start > 0, "parse() accepted a file without sections"
    newline = "\r\n" if text.startswith("\r", len(FORMAT_LINE)) else "\n"
    model = ExchangeFile(encoding=decoded.encoding, newline=newline)
    header = Block(text[:header_end], False)
    model.header = list(header.unpack())
    model.sections = sections
    model._source = Source(data, decoded, newline, header, tuple(sections),
                           text[previous_end:])
    return model
