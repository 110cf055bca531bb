"""Writing the file model: fresh lines for what changed, and the checks that keep a write from
giving vexdal_py.parse anything it would read back differently. Every problem is collected
first, then one WriteError holds them all, each naming its section and key."""

from __future__ import annotations

import re
from dataclasses import dataclass
from typing import TYPE_CHECKING, List, Sequence, Tuple

import vexdal_py

from vexdal import charsets

if TYPE_CHECKING:
    from vexdal.model import Section

FORMAT_LINE = "1CClientBankExchange"
DOCUMENT_START = "СекцияДокумент"
ACCOUNT_START = "СекцияРасчСчет"
ACCOUNT_END = "КонецРасчСчет"
DOCUMENT_END = "КонецДокумента"
FILE_END = "КонецФайла"
MARKERS = {"account": (ACCOUNT_START, ACCOUNT_END), "document": (DOCUMENT_START, DOCUMENT_END)}
ENCODINGS = ("cp1251", "utf-8", "cp866")
NEWLINES = ("\r\n", "\n")

Item = Tuple[str, str]

# What any reader may take for the end of a line: str.splitlines() breaks at each of these, and
# readers of the format split at CR as well as at LF. parse() itself splits at LF only.
LINE_BREAK = re.compile("[\n\r\x0b\x0c\x1c\x1d\x1e\x85\u2028\u2029]")
LONE_LF = re.compile("(?<!\r)\n")
# The interval keys of an account section in the order parse() reads them (by their UTF-8
# bytes), and values that pass, to try one suspect value at a time.
INTERVAL_KEYS = sorted(("ДатаНачала", "ДатаКонца", "НачальныйОстаток", "КонечныйОстаток",
                        "ВсегоПоступило", "ВсегоСписано"), key=lambda key: key.encode())
PASSING = {"ДатаНачала": "01.01.2000", "НачальныйОстаток": "0", "РасчСчет": ""}


def encoding_name(encoding: str) -> str:
    """One of the three encodings a file is written in, by any of Python's names for it."""
    import codecs

    try:
        name = codecs.lookup(encoding).name
    except LookupError:
        name = encoding
    if name not in ENCODINGS:
        raise ValueError(f'encoding must be "cp1251", "utf-8" or "cp866", not {encoding!r}')
    return name


def newline_name(newline: str) -> str:
    if newline not in NEWLINES:
        raise ValueError(f'newline must be "\\r\\n" or "\\n", not {newline!r}')
    return newline


class Place:
    """Where a line stands, for a problem's message: the header, or a section by its index."""

    __slots__ = ("index", "section")

    def __init__(self, index: int | None, section: Section | None) -> None:
        self.index = index
        self.section = section

    def __str__(self) -> str:
        section = self.section
        if section is None or self.index is None:
            return "header"
        kind = f"{section.kind} {section.doc_type!r}" if section.doc_type else section.kind
        line = f", line {section.lineno}" if section.lineno is not None else ""
        return f"sections[{self.index}] ({kind}{line})"


@dataclass(frozen=True)
class Problem:
    """One thing a write refuses: where (the header or sections[index]), the key, and what."""

    section: int | None  # index in ExchangeFile.sections; None for the header or the file
    key: str | None  # None when the problem is not one key's
    place: str  # the section as the message names it
    what: str

    def __str__(self) -> str:
        key = f", key {self.key!r}" if self.key is not None else ""
        return f"{self.place}{key}: {self.what}"


class WriteError(ValueError):
    """A file that cannot be written as it stands. `problems` holds every one found; the message
    names the first few."""

    SHOWN = 5

    def __init__(self, problems: Sequence[Problem]) -> None:
        self.problems = tuple(problems)
        more = len(self.problems) - self.SHOWN
        super().__init__("; ".join(map(str, self.problems[:self.SHOWN]))
                         + (f"; and {more} more" if more > 0 else ""))


class Writer:
    """One dumps(): renders fresh lines with its line end, notes problems, and turns the text
    into bytes once every line is there."""

    def __init__(self, codec: str, newline: str, rewrite_line_ends: bool) -> None:
        self.codec = codec
        self.newline = newline
        self.rewrite_line_ends = rewrite_line_ends
        self.problems: List[Problem] = []
        self.accounts: List[Tuple[Place, List[Item]]] = []  # rebuilt ones, to try with parse()

    def problem(self, place: Place, key: str | None, what: str) -> None:
        self.problems.append(Problem(place.index, key, str(place), what))

    def checked_items(self, place: Place, items: Sequence[object]) -> list[Item]:
        """The items that are (key, value) pairs of str; a problem for each other one."""
        good: list[Item] = []
        for item in items:
            if is_item(item):
                good.append(item)  # type: ignore[arg-type]
            else:
                self.problem(place, None, f"{item!r} is not a (key, value) pair of str")
        return good

    def item(self, place: Place, key: str, value: str) -> str:
        if not key:
            self.problem(place, key, "the key is empty")
        elif "=" in key:
            self.problem(place, key, 'the key holds "=", where the value would begin')
        elif key != key.strip():
            self.problem(place, key, "the key starts or ends with white space, so it would not "
                                     "be the key it looks like")
        elif key == DOCUMENT_START:
            self.problem(place, key, "a line with this key opens a document section")
        if LINE_BREAK.search(key):
            self.problem(place, key, "the key holds a line break")
        if LINE_BREAK.search(value):
            self.problem(place, key, "the value holds a line break (CR, LF or another "
                                     "character that ends a line)")
        return key + "=" + value + self.newline

    def opening(self, place: Place, kind: str, doc_type: str | None) -> str:
        if kind not in MARKERS:
            self.problem(place, None, f'kind must be "account" or "document", not {kind!r}')
            return ""
        if kind == "account":
            if doc_type is not None:
                self.problem(place, None, "an account section has no doc_type")
            return ACCOUNT_START + self.newline
        if not isinstance(doc_type, str):
            self.problem(place, DOCUMENT_START, "a document section needs a doc_type")
            return ""
        if LINE_BREAK.search(doc_type):
            self.problem(place, DOCUMENT_START, "the doc_type holds a line break")
        return DOCUMENT_START + "=" + doc_type + self.newline

    def closing(self, kind: str) -> str:
        return MARKERS[kind][1] + self.newline if kind in MARKERS else ""

    def first_line(self) -> str:
        return FORMAT_LINE + self.newline

    def closing_line(self, marker: str) -> str:
        return marker + self.newline

    def account(self, place: Place, items: list[Item]) -> None:
        self.accounts.append((place, items))

    def finish(self, text: str, header: list[Item], sections: list[Section]) -> bytes:
        """The bytes of text, or WriteError with every problem the lines and their reading back
        show."""
        if self.rewrite_line_ends:
            text = self.with_line_ends(text, header, sections)
        data = b""
        try:
            data = charsets.encode(text, self.codec)
        except UnicodeEncodeError:
            self.unwritable(header, sections)
        if data:
            self.read_back(text, data, header, sections)
        for place, items in self.accounts:
            self.try_account(place, items)
        if self.problems:
            raise WriteError(self.problems)
        return data

    def with_line_ends(self, text: str, header: list[Item], sections: list[Section]) -> str:
        if self.newline == "\r\n":
            return LONE_LF.sub("\r\n", text)
        if "\r\r\n" in text:
            # A line whose text ends in CR kept it only because CR LF followed; after a bare LF
            # the CR would be read as part of the line end.
            for place, key, value in all_values(header, sections):
                if value.endswith("\r"):
                    self.problem(place, key, "the value ends in CR, which LF line ends would "
                                             "take for part of the line end")
        return text.replace("\r\n", "\n")

    def unwritable(self, header: list[Item], sections: list[Section]) -> None:
        for place, key, value in all_values(header, sections):
            for what, part in (("key", key), ("value", value)):
                try:
                    charsets.encode(part, self.codec)
                except UnicodeEncodeError as error:
                    self.problem(place, key, f"the {what} holds {part[error.start]!r}, which "
                                             f"{self.codec} cannot write")
                    break

    def read_back(self, text: str, data: bytes, header: list[Item],
                  sections: list[Section]) -> None:
        """What the reader of these bytes would do differently: parse() tests a file outside
        UTF-8 for text, and a cp866 file is known only by its declaration."""
        if self.codec not in ("utf-8", "cp866") and not charsets.looks_like_text(text):
            culprit = next(((place, key) for place, key, value in all_values(header, sections)
                            if charsets.NOT_TEXT.search(key + value)), (Place(None, None), None))
            self.problem(culprit[0], culprit[1], f"too few of the first {charsets.TEXT_SAMPLE} "
                         f"characters are letters, digits or punctuation for parse() to take "
                         f"the {self.codec} file for text")
        # Any other file parse() reads as it stands, so what it declares does not matter.
        if self.codec == "cp866" and charsets.dos_text(data) is None:
            self.problem(Place(None, None), "Кодировка", "a cp866 file must say Кодировка=DOS "
                         "in its header, or it is not read back as one")

    def try_account(self, place: Place, items: list[Item]) -> None:
        """parse() refuses a file whose account section cannot be read; such a section is
        tried alone, and then its suspect values one at a time, to name the key."""
        error = account_error(items)
        if error is None:
            return
        detail = getattr(error, "detail", None)
        if isinstance(detail, vexdal_py.MissingField):
            self.problem(place, detail.field, "an account section needs this key")
            return
        missing = re.fullmatch("missing field `(.*)`", str(detail.message) if isinstance(
            detail, vexdal_py.AccountParseError) else "")
        if missing:
            self.problem(place, missing[1], "an account section needs this key")
            return
        values = dict(items)
        for key in INTERVAL_KEYS:
            if key in values and account_error([*PASSING.items(), (key, values[key])]):
                self.problem(place, key, f"parse() cannot read the value: {error}")
                return
        self.problem(place, None, f"parse() cannot read the section: {error}")


def account_error(items: list[Item]) -> vexdal_py.ParseError | None:
    lines = "".join(f"{key}={value}\n" for key, value in items)
    text = f"{FORMAT_LINE}\n{ACCOUNT_START}\n{lines}{ACCOUNT_END}\n{FILE_END}\n"
    try:
        # A lone surrogate, which no encoding writes and is refused on its own, must not stop
        # the trial of the rest.
        vexdal_py.parse(text.encode("utf-8", "replace"))
    except vexdal_py.ParseError as error:
        return error
    return None


def all_values(header: list[Item], sections: list[Section]) -> list[tuple[Place, str, str]]:
    """Every (place, key, value) of the file, the doc types under their marker's key; items that
    are no pairs of str are left to checked_items."""
    values = [(Place(None, None), *item) for item in header if is_item(item)]
    for index, section in enumerate(sections):
        place = Place(index, section)
        if isinstance(section.doc_type, str):
            values.append((place, DOCUMENT_START, section.doc_type))
        values.extend((place, *item) for item in section.items if is_item(item))
    return values


def is_item(item: object) -> bool:
    return (type(item) is tuple and len(item) == 2 and isinstance(item[0], str)
            and isinstance(item[1], str))
