"""Reading the raw input: bytes or str, the two encodings, byte-order marks, the text test and the
first line."""

import pytest

import vexdal_py
from conftest import DOCUMENT, HEADER, expect_syntax_error, statement_lines

TEXT = "\n".join(statement_lines()) + "\n"
UTF8 = TEXT.encode()
BOM = b"\xef\xbb\xbf"
SENDER = HEADER["Отправитель"]


def after_sender(suffix, encoding="utf-8", mark=BOM):
    """The statement in encoding, after the mark, with suffix bytes right after the sender."""
    name = SENDER.encode(encoding)
    return mark + TEXT.encode(encoding).replace(name, name + suffix)


def failure_of(data):
    with pytest.raises(vexdal_py.ParseError) as caught:
        vexdal_py.parse(data)
    return type(caught.value)


class TestEncoding:
    @pytest.mark.parametrize("data, encoding", [
        (TEXT.encode("cp1251"), "cp1251"),
        (UTF8, "utf-8"),
        (TEXT, "utf-8"),
        (BOM + UTF8, "utf-8"),
        ("\ufeff" + TEXT, "utf-8"),
        (b"\xff\xfe" + TEXT.encode("utf-16-le"), "cp1251"),
        (b"\xfe\xff" + TEXT.encode("utf-16-be"), "cp1251"),
    ], ids=["cp1251", "utf8", "str", "utf8-mark", "str-mark", "utf16le-mark", "utf16be-mark"])
    def test_text_arrives_unchanged(self, data, encoding):
        statement = vexdal_py.parse(data)
        assert statement.encoding == encoding
        assert statement.header == HEADER
        [document] = statement.documents
        assert (document.payee, document.purpose) == (DOCUMENT["Получатель"],
                                                      DOCUMENT["НазначениеПлатежа"])

    @pytest.mark.parametrize("data, encoding, sender", [
        (after_sender("😀".encode()), "utf-8", "😀"),
        (after_sender(b"\xc0\x80"), "cp1251", "\ufffd" * 2),
        (after_sender(b"\xed\xa0\x80"), "cp1251", "\ufffd" * 3),
        (after_sender(b"\xf4\x90\x80\x80"), "cp1251", "\ufffd" * 4),
        (after_sender(b"\xe2\x82"), "cp1251", "\ufffd"),
        (after_sender(b"\xff"), "cp1251", "\ufffd"),
        (after_sender(b"\x00\xd8", "utf-16-le", b"\xff\xfe"), "cp1251", "\ufffd"),
        (after_sender(b"\x88\x98\xb9", "cp1251", b""), "cp1251", "€\x98№"),
        (after_sender(bytes(range(0x80, 0x100)), "cp1251", b""), "cp1251",
         bytes(range(0x80, 0x98)).decode("cp1251") + "\x98" +
         bytes(range(0x99, 0x100)).decode("cp1251")),
        # Strings are made as narrow as their widest character allows, as Python makes them;
        # a wider one would compare unequal to the same text.
        (after_sender(b"\xa0\xab\x98", "cp1251", b""), "cp1251", "\xa0\xab\x98"),
        (after_sender("\xa0é".encode()), "utf-8", "\xa0é"),
        (after_sender("\u2116€".encode()), "utf-8", "\u2116€"),
    ], ids=["valid-4-byte", "overlong", "encoded-surrogate", "above-max", "truncated", "stray-ff",
            "utf16-lone-surrogate", "cp1251-undefined-byte", "cp1251-every-high-byte",
            "cp1251-latin-1-only", "utf8-latin-1-only", "utf8-three-byte"])
    def test_decoding_of_bytes_after_the_sender(self, data, encoding, sender):
        statement = vexdal_py.parse(data)
        assert statement.encoding == encoding
        assert statement.header["Отправитель"] == SENDER + sender

    @pytest.mark.parametrize("fault", [
        "", "€", "😀", b"\xc0\x80", b"\xc1\xbf", b"\xe2\x82", b"\xed\xa0\x80", b"\xf4\x90\x80\x80",
        b"\xd0", b"\xc0", b"\x80", b"\xff",
    ], ids=["none", "three-byte", "four-byte", "overlong", "overlong-c1", "truncated",
            "encoded-surrogate", "above-max", "lone-lead", "lone-c0", "lone-continuation",
            "stray-ff"])
    def test_a_fault_is_found_wherever_it_stands(self, fault):
        # Validation takes the text in stretches of dozens of bytes; the sender grows a byte at a
        # time so that the fault, and the Cyrillic pairs before it, cross every stretch edge.
        fault = fault.encode() if isinstance(fault, str) else fault
        wrong = []
        for pad in range(130):
            sender = SENDER + "Ж" * (pad // 2) + "x" * (pad % 2)
            text = TEXT.replace(SENDER, sender)
            data = BOM + text.encode().replace(sender.encode(), sender.encode() + fault)
            expected = (sender.encode() + fault).decode("utf-8", "replace")
            try:
                (sender.encode() + fault).decode("utf-8")
                encoding = "utf-8"
            except UnicodeDecodeError:
                encoding = "cp1251"
            statement = vexdal_py.parse(data)
            if (statement.encoding, statement.header["Отправитель"]) != (encoding, expected):
                wrong.append(pad)
        assert wrong == []

    @pytest.mark.parametrize("data", [
        BOM + UTF8 + b"\xf0\x9f\x98",
        b"\xff\xfe" + TEXT.encode("utf-16-le") + b"A",
    ], ids=["utf8-truncated-at-end", "utf16-odd-byte"])
    def test_broken_end_of_input_is_one_replacement_line(self, data):
        expect_syntax_error(data, "UnrecognizedLine", "Unrecognized line: '\ufffd'",
                            lineno=len(statement_lines()) + 1, line="\ufffd")

    @pytest.mark.parametrize("data", [
        BOM + b"1CClientBankExchange\nA=1\nabc\n",
        "\ufeff1CClientBankExchange\r\nA=1\r\nabc",
        BOM + b"1CClientBankExchange\n\nabc\n\xff",
    ], ids=["utf8-mark", "str-mark", "mark-and-bad-byte"])
    def test_mark_does_not_shift_line_numbers(self, data):
        expect_syntax_error(data, "UnrecognizedLine", "Unrecognized line: 'abc'", lineno=3,
                            line="abc")


class TestNotAStatement:
    @pytest.mark.parametrize("data", [
        b"", "", b"\xff\xfe", b"\xfe\xff", BOM, "\ufeff", BOM + BOM + UTF8, "\ufeff\ufeff" + TEXT,
        b" " + UTF8, UTF8.replace(b"Exchange", b"Exchange ", 1), b"1CClientBankExchange\r",
        TEXT.replace("\n", "\r").encode("cp1251"), b"\n" + UTF8, b"1cclientbankexchange\n",
        b"1CClientBankExchang\n", TEXT.encode("utf-16-le"), b"1CClientBankExchange\n" +
        bytes(range(1, 256)),
    ], ids=["empty-bytes", "empty-str", "utf16le-mark-only", "utf16be-mark-only",
            "utf8-mark-only", "str-mark-only", "two-marks", "str-two-marks", "leading-space",
            "trailing-space", "cr-without-lf", "cr-line-ends", "blank-first-line", "lower-case",
            "truncated-marker", "utf16-without-mark", "arbitrary-bytes"])
    def test_rejected(self, data):
        with pytest.raises(vexdal_py.NotStatementError) as caught:
            vexdal_py.parse(data)
        assert type(caught.value) is vexdal_py.NotStatementError
        assert caught.value.args == ("Input is not a 1C statement",)
        assert not hasattr(caught.value, "detail")

    @pytest.mark.parametrize("data", [
        b"1CClientBankExchange", b"1CClientBankExchange\n", b"1CClientBankExchange\r\n",
        "1CClientBankExchange\r\n \r\n", BOM + b"1CClientBankExchange\n",
    ], ids=["no-line-end", "lf", "crlf", "str-trailing-blank", "utf8-mark"])
    def test_first_line_alone_is_an_unfinished_statement(self, data):
        assert failure_of(data) is vexdal_py.UnfinishedError


HEAD = "1CClientBankExchange\nКлюч="


def cp1251_text(bad, total, tail=""):
    """cp1251 bytes of total characters of which bad are degree signs, then tail."""
    return (HEAD + "°" * bad + "Ж" * (total - len(HEAD) - bad) + tail).encode("cp1251")


class TestTextTest:
    @pytest.mark.parametrize("data, accepted", [
        (cp1251_text(4, 100), True),
        (cp1251_text(5, 100), False),
        (cp1251_text(40, 1000), True),
        (cp1251_text(41, 1000), False),
        (cp1251_text(819, 0x5000, tail="°" * 10000), True),
        (cp1251_text(820, 0x5000), False),
    ], ids=["96-of-100", "95-of-100", "960-of-1000", "959-of-1000", "bad-tail-beyond-window",
            "window-one-too-many"])
    def test_share_of_good_characters(self, data, accepted):
        expected = vexdal_py.UnfinishedError if accepted else vexdal_py.NotStatementError
        assert failure_of(data) is expected

    # One character decides: 95 good and 4 bad ones stand before it.
    @pytest.mark.parametrize("char, good", [
        ("\t", True), ("\x0c", True), (" ", True), ("!", True), ("/", True), (":", True),
        ("@", True), ("[", True), ("`", True), ("{", True), ("~", True), ("0", True), ("z", True),
        ("\u0400", True), ("\u2116", True), ("\u201e", True), ("\ufffd", True),
        ("\x00", False), ("\x08", False), ("\x0b", False), ("\x0e", False), ("\x1f", False),
        ("\x7f", False), ("\x80", False), ("\xa0", False), ("\xab", False), ("\u03b1", False),
        ("\u03ff", False),
    ], ids=lambda value: repr(value) if isinstance(value, str) else None)
    def test_character_classes(self, char, good):
        text = HEAD + "°" * 4 + "Ж" * (100 - len(HEAD) - 5) + char
        data = b"\xff\xfe" + text.encode("utf-16-le")
        expected = vexdal_py.UnfinishedError if good else vexdal_py.NotStatementError
        assert failure_of(data) is expected

    def test_valid_utf8_skips_the_text_test(self):
        data = ("1CClientBankExchange\nКлюч=" + "\x01" * 50).encode()
        assert failure_of(data) is vexdal_py.UnfinishedError
