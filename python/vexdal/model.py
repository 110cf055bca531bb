"""The lossless file model: load() keeps every line of a statement as it stood, so that dumps()
gives back the bytes it read, and a file changed in code is written with only the changed lines
new. vexdal_py.parse judges what a statement is; this module reads no value's meaning."""

from __future__ import annotations

import re
from difflib import SequenceMatcher
from itertools import accumulate, repeat
from typing import Iterable, Tuple

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


ACCOUNT: tuple[str, str | None] = ("account", None)
# A key=value line: the key up to the first "=", the value up to the line end, less the one CR
# of a CR LF line end. Where every line ends alike, a greedy value is half as costly.
ITEM = re.compile(r"^([^=\n]*)=([^\n]*?)\r?$", re.MULTILINE)
LF_ITEM = re.compile(r"^([^=\n]*)=([^\n]*)$", re.MULTILINE)
CRLF_ITEM = re.compile(r"^([^=\n]*)=([^\n]*)\r$", re.MULTILINE)


class Block:
    """The lines of a header or a section as they were read. Its items come from one scan of its
    text; its layout (the opening line, one chunk per item with the blank lines before it and
    its own line, line ends included, and the closing text with the end marker) only when it is
    rebuilt around changed items."""

    __slots__ = ("text", "marked", "items", "opening", "chunks", "closing")

    def __init__(self, text: str, marked: bool) -> None:
        self.text = text  # every line of the block, each ended by its LF
        self.marked = marked  # whether the last line is an end marker
        self.items: tuple[Item, ...] | None = None
        self.opening = ""
        self.chunks: list[str] | None = None
        self.closing = ""

    def unpack(self) -> tuple[Item, ...]:
        if self.items is None:
            # After the opening line, in a file parse() accepted, every line with "=" is an item
            # and every other one is blank or the end marker.
            text = self.text
            if "\r" not in text:
                item = LF_ITEM
            elif text.count("\r\n") == text.count("\n"):
                item = CRLF_ITEM
            else:
                item = ITEM
            self.items = tuple(item.findall(text, text.find("\n") + 1))
        return self.items

    def layout(self) -> list[str]:
        if self.chunks is not None:
            return self.chunks
        parts = self.text.split("\n")
        parts.pop()  # the empty piece after the last LF
        last = parts.pop() + "\n" if self.marked else ""
        chunks: list[str] = []
        blank: list[str] = []
        for part in parts[1:]:
            if "=" in part:
                chunks.append("".join(blank) + part + "\n")
                blank.clear()
            else:
                blank.append(part + "\n")
        self.opening = parts[0] + "\n"
        self.closing = "".join(blank) + last
        self.chunks = chunks
        return chunks

    def lines(self, items: list[Item], render: Writer, place: Place) -> list[str]:
        """The block's lines for items: the chunks of the items kept from the file (with their
        blank lines and line ends), fresh lines for the rest, in the order of items."""
        chunks = self.layout()
        out: list[str] = []
        matcher = SequenceMatcher(None, self.unpack(), items, autojunk=False)
        for tag, i1, i2, j1, j2 in matcher.get_opcodes():
            if tag == "equal":
                out.extend(chunks[i1:i2])
            elif tag != "delete":
                out.extend(render.item(place, key, value) for key, value in items[j1:j2])
        return out


class Section:
    """One account section ("СекцияРасчСчет" ... "КонецРасчСчет") or payment document section
    ("СекцияДокумент=<doc_type>" ... "КонецДокумента"): its key=value lines in file order, repeats
    kept. A loaded section points into its file's text and unpacks its lines only when `items`
    or a line number is first asked for."""

    __slots__ = ("kind", "doc_type", "_items", "_block", "_file", "_at", "_read_as")

    def __init__(self, kind: str, items: Iterable[Item] = (), *,
                 doc_type: str | None = None) -> None:
        if kind not in ("account", "document"):
            raise ValueError(f'kind must be "account" or "document", not {kind!r}')
        if (kind == "document") != (doc_type is not None):
            raise ValueError("a document section takes a doc_type, an account section none")
        self.kind = kind
        self.doc_type = doc_type
        self._items: list[Item] | None = list(items)
        self._block: Block | None = None
        self._file: Text | None = None  # the text a loaded section was read from
        self._at = 0  # and its place among that text's sections
        self._read_as: tuple[str, str | None] = (kind, doc_type)

    @property
    def lineno(self) -> int | None:
        """The line of the section's opening marker in the file it was loaded from; None for a
        section built in code."""
        return None if self._file is None else self._file.linenos()[2 * self._at]

    @property
    def end_lineno(self) -> int | None:
        """The line of its end marker (КонецРасчСчет or КонецДокумента), or None."""
        return None if self._file is None else self._file.linenos()[2 * self._at + 1]

    @property
    def items(self) -> list[Item]:
        """Every key=value line of the section as (key, value), in order; change it freely."""
        if self._items is None:
            self._items = list(self._lines().unpack())
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

    def _lines(self) -> Block:
        if self._block is None:
            assert self._file is not None
            self._block = Block(self._file.section(self._at), True)
        return self._block

    def _unchanged(self) -> bool:
        return self._file is not None and (self.kind, self.doc_type) == self._read_as and (
            self._items is None or tuple(self._items) == self._lines().unpack())

    def _text(self, render: Writer, index: int) -> str:
        """The section's lines: as read when nothing in it changed, else rebuilt around the
        lines it keeps."""
        file = self._file
        if file is not None and self._unchanged():
            return file.lead(self._at) + file.section(self._at)
        place = Place(index, self)
        items = render.checked_items(place, self.items)
        if self.kind == "account":
            render.account(place, items)
        opening = render.opening(place, self.kind, self.doc_type)
        if file is None:
            lines = [render.item(place, key, value) for key, value in items]
            return opening + "".join(lines) + render.closing(self.kind)
        block = self._lines()
        block.layout()
        read_as = self._read_as
        if (self.kind, self.doc_type) == read_as:
            opening = block.opening
        closing = block.closing if self.kind == read_as[0] else render.closing(self.kind)
        return file.lead(self._at) + opening + "".join(block.lines(items, render, place)) + closing

    def __repr__(self) -> str:
        doc_type = f", doc_type={self.doc_type!r}" if self.doc_type is not None else ""
        return (f"Section({self.kind!r}{doc_type}, lineno={self.lineno}, "
                f"items=[...{len(self.items)}])")


class Text:
    """A loaded file's text and where its markers start; the rest (line numbers, where each
    section's lines end) is worked out for all sections at once, the first time it is needed."""

    __slots__ = ("text", "starts", "_linenos", "_stops")

    def __init__(self, text: str, starts: list[int]) -> None:
        self.text = text
        self.starts = starts  # the opening and end marker of each section, then КонецФайла
        self._linenos: list[int] | None = None
        self._stops: list[int] | None = None

    def linenos(self) -> list[int]:
        if self._linenos is None:
            text, starts = self.text, self.starts
            self._linenos = list(accumulate(
                map(text.count, repeat("\n"), [0, *starts[:-1]], starts), initial=1))[1:]
        return self._linenos

    def stops(self) -> list[int]:
        """Where each section's text ends: after its end marker's LF."""
        if self._stops is None:
            self._stops = [stop + 1 for stop in map(self.text.find, repeat("\n"),
                                                       self.starts[1:-1:2])]
        return self._stops

    def section(self, at: int) -> str:
        return self.text[self.starts[2 * at]:self.stops()[at]]

    def run(self, first: int, last: int) -> str:
        """Sections first to last, each with the blank lines before it."""
        return self.text[self.lead_start(first):self.stops()[last]]

    def lead_start(self, at: int) -> int:
        """Where the blank lines before the section start; those after the header stay the
        header's."""
        return self.stops()[at - 1] if at else self.starts[0]

    def lead(self, at: int) -> str:
        return self.text[self.lead_start(at):self.starts[2 * at]]


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
        data = render.finish(self._text(render, source), self.header, self.sections)
        return mark + data if mark else data

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
            block.layout()
            head = block.opening + "".join(block.lines(items, render, header_place)) + block.closing
            tail = source.tail
        if not self.sections:
            render.problems.append(Problem(None, None, "the file", "has no section; a statement "
                                           "needs at least one"))
        return "".join([head, *self._body(render), tail])

    def _body(self, render: Writer) -> list[str]:
        """The sections' texts. Unchanged sections that stood one after the other in the same
        file still do, so each run of them is cut from that file's text in one piece."""
        body: list[str] = []
        run: tuple[Text, int, int] | None = None  # the file, first and last section of the run
        for index, section in enumerate(self.sections):
            file = section._file
            if file is not None and section._unchanged():
                if run is not None and run[0] is file and run[2] + 1 == section._at:
                    run = (file, run[1], section._at)
                    continue
                if run is not None:
                    body.append(run[0].run(run[1], run[2]))
                run = (file, section._at, section._at)
                continue
            if run is not None:
                body.append(run[0].run(run[1], run[2]))
                run = None
            body.append(section._text(render, index))
        if run is not None:
            body.append(run[0].run(run[1], run[2]))
        return body

    def __repr__(self) -> str:
        return (f"ExchangeFile(encoding={self.encoding!r}, newline={self.newline!r}, "
                f"header=[...{len(self.header)}], sections=[...{len(self.sections)}])")


def load(data: bytes | str) -> ExchangeFile:
    """The file model of a statement's bytes (or text), every line kept as it stands. A file that
    vexdal_py.parse refuses raises what parse() raises, unless it is a DOS (code page 866) file,
    which parse() cannot read as bytes: one whose header says Кодировка=DOS in cp866."""
    if isinstance(data, str):
        vexdal_py.parse(data)
        return split(data.encode("utf-8"), charsets.decode_text(data))
    try:
        encoding = vexdal_py.parse(data).encoding
    except vexdal_py.ParseError:
        dos = charsets.dos_text(data)
        if dos is None:
            raise
        vexdal_py.parse(dos)
        return split(bytes(data), charsets.Decoded(dos, "cp866", "cp866", b""))
    return split(bytes(data), charsets.decode(data, encoding))


def split(data: bytes, decoded: charsets.Decoded) -> ExchangeFile:
    """The model of a text parse() accepted: its markers found in one scan, and a Section per
    pair of them that knows no more than where it stands, until asked."""
    text = decoded.text
    starts = [match.start() + 1 for match in MARKER.finditer(text)]
    # Accepted, the file's markers alternate: a section's opening line, its end, ..., КонецФайла.
    file = Text(text, starts)
    opens = starts[0:-1:2]
    ends = map(text.find, repeat("\n"), opens)
    sections = []
    new = Section.__new__
    for at, (start, end) in enumerate(zip(opens, ends)):
        # Tens of thousands of these per load: no checks and no item list.
        section = new(Section)
        if text.startswith(DOCUMENT_START, start):
            line = text[start + len(DOCUMENT_START) + 1:end]
            read_as: tuple[str, str | None] = (
                "document", line[:-1] if line.endswith("\r") else line)
            section._read_as = read_as
        else:
            section._read_as = read_as = ACCOUNT
        section.kind, section.doc_type = read_as
        section._items = section._block = None
        section._file, section._at = file, at
        sections.append(section)
    newline = "\r\n" if text.startswith("\r", len(FORMAT_LINE)) else "\n"
    model = ExchangeFile(encoding=decoded.encoding, newline=newline)
    header = Block(text[:opens[0]], False)
    model.header = list(header.unpack())
    model.sections = sections
    model._source = Source(data, decoded, newline, header, tuple(sections),
                           text[text.find("\n", starts[-2]) + 1:])
    return model
