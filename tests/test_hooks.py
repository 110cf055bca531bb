"""Hooks: the Python callables that see and may change each section before it becomes a record."""

import gc

import pytest

import vexdal_py
from conftest import (ACCOUNT, DOCUMENT, HEADER, account_section, attribute_lines,
                      document_section, join, make_statement, statement_lines)

SECTIONS = (document_section(), account_section(), document_section(Номер="18"))
DATA = make_statement(*SECTIONS)
# 1-based numbers of the three section end lines of DATA.
ENDS = [n for n, line in enumerate(statement_lines(*SECTIONS), 1)
        if line in ("КонецДокумента", "КонецРасчСчет")]


def hook_failure(hooks, data=DATA):
    with pytest.raises(vexdal_py.SyntaxError) as info:
        vexdal_py.parse(data, hooks)
    exc = info.value
    assert type(exc.detail) is vexdal_py.HookError
    assert exc.args == ("Hook error: " + exc.detail.message,)
    assert exc.__context__ is None and exc.__cause__ is None
    return exc


class Recorder:
    """A hook that remembers every call and, optionally, changes attrs through `edit`."""

    def __init__(self, edit=None):
        self.calls, self.edit = [], edit

    def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs, list(args[1].items()), list(args[2].items())))
        return self.edit(*args) if self.edit else None

    def kinds(self):
        return [int(args[0]) for args, *_ in self.calls]


def set_item(key, value):
    def edit(section_type, attrs, header):
        attrs[key] = value
    return edit


class TestCalls:
    def test_order_arguments_and_views(self):
        first, second = Recorder(), Recorder()
        vexdal_py.parse(DATA, [first, second])
        for recorder in (first, second):
            assert [len(args) for args, *_ in recorder.calls] == [3, 3, 3]
            assert [kwargs for _, kwargs, *_ in recorder.calls] == [{}] * 3
            assert recorder.kinds() == [0, 1, 0]
            assert [header for *_, header in recorder.calls] == [list(HEADER.items())] * 3
        expected = [DOCUMENT, ACCOUNT, {**DOCUMENT, "Номер": "18"}]
        assert [items for _, _, items, _ in first.calls] == [list(d.items()) for d in expected]

    def test_hooks_run_in_list_order_for_each_section(self):
        seen = []
        hooks = tuple(lambda t, a, h, n=n: seen.append((n, int(t))) for n in range(3))
        vexdal_py.parse(DATA, hooks)
        assert seen == [(n, kind) for kind in (0, 1, 0) for n in range(3)]

    def test_fresh_objects_for_every_call(self):
        recorder = Recorder()
        vexdal_py.parse(DATA, [recorder, recorder])
        members = [vexdal_py.SectionType.Document, vexdal_py.SectionType.Account]
        section_types = [args[0] for args, *_ in recorder.calls]
        assert section_types == [members[0]] * 2 + [members[1]] * 2 + [members[0]] * 2
        assert all(type(t) is vexdal_py.SectionType for t in section_types)
        assert not any(t is member for t in section_types for member in members)
        for position in (0, 1, 2):
            kept = [args[position] for args, *_ in recorder.calls]
            assert len({id(obj) for obj in kept}) == len(kept)

    @pytest.mark.parametrize("data, exc_type", [
        (DATA + b"abc\r\n", vexdal_py.SyntaxError),
        (join(statement_lines(document_section())[:-2]), vexdal_py.UnfinishedError),
        (b"\x00" + DATA, vexdal_py.NotStatementError),
    ], ids=["unrecognized-after-end", "unclosed", "not-a-statement"])
    def test_no_call_when_no_section_closes_before_failure(self, data, exc_type):
        recorder = Recorder()
        with pytest.raises(exc_type):
            vexdal_py.parse(data, [recorder])
        assert recorder.calls == []

    def test_a_failing_hook_stops_everything_after_it(self):
        def fail_on_account(section_type, attrs, header):
            if section_type == vexdal_py.SectionType.Account:
                raise ValueError("no accounts")

        later = Recorder()
        exc = hook_failure([fail_on_account, later])
        assert exc.detail.lineno == ENDS[1] and later.kinds() == [0]


class Text(str):
    pass


def encode_error(text):
    try:
        text.encode()
    except UnicodeEncodeError as exc:
        return f"UnicodeEncodeError: {exc}"
    raise AssertionError(text)


class TestWriteBack:
    def test_changed_values_reach_the_records(self):
        result = vexdal_py.parse(DATA, [set_item(Text("Сумма"), Text("1e2")),
                                        set_item("РасчСчет", "99")])
        assert [(d.amount, type(d.amount)) for d in result.documents] == [("100", str)] * 2
        assert list(result.accounts) == ["99"]

    def test_each_hook_sees_the_previous_changes_in_a_new_dict(self):
        first, second = Recorder(set_item("Новый", "1")), Recorder()
        vexdal_py.parse(DATA, [first, second])
        assert second.calls[0][2] == first.calls[0][2] + [("Новый", "1")]
        assert first.calls[0][0][1] is not second.calls[0][0][1]

    # Sections with the keys of one before them share the strs of the values that repeat. The
    # second hook of the second document gets a dict made after the first hook changed it.
    def test_same_shape_sections_see_their_own_values(self):
        def change_second(section_type, attrs, header):
            if attrs["Номер"] == "2":
                attrs["Плательщик"] = "Б"

        recorder = Recorder()
        sections = [document_section(Номер="1", Плательщик="А"),
                    document_section(Номер="2", Плательщик="А"),
                    document_section(Номер="2", Плательщик="АА"),
                    document_section(Номер="3", Плательщик="А")]
        result = vexdal_py.parse(make_statement(*sections), [change_second, recorder])
        expected = [("1", "А"), ("2", "Б"), ("2", "Б"), ("3", "А")]
        assert [(d["Номер"], d["Плательщик"]) for _, _, items, _ in recorder.calls
                for d in [dict(items)]] == expected
        assert [(d.doc_number, d.counterparty) for d in result.documents] == expected

    # A value written anew is compared with the one given to tell whether the section changed:
    # a text of the same length that differs in its last character only, in each width a str
    # can have, or a str subclass of the same text, must be read as what it says.
    @pytest.mark.parametrize("given, written", [
        ("Оплата по счёту 15", "Оплата по счёту 16"), ("Pay 15", "Pay 16"),
        ("Оплата 🙂 15", "Оплата 🙂 16"), ("Pay 15", "Pay 1\u0400"), ("Оплата", "Оплатб")])
    def test_same_length_changes_reach_the_records(self, given, written):
        def write(section_type, attrs, header):
            attrs["НазначениеПлатежа"] = "".join([written, "x"])[:-1]

        data = make_statement(document_section(НазначениеПлатежа=given), encoding=None)
        assert vexdal_py.parse(data, [write]).documents[0].purpose == written

    def test_equal_text_of_a_str_subclass_changes_nothing(self):
        class Tagged(str):
            pass

        def write(section_type, attrs, header):
            for key, value in attrs.items():
                attrs[key] = Tagged(value)

        def records(statement):
            return statement.documents, [(n, a.intervals) for n, a in statement.accounts.items()]

        data = make_statement(document_section(), account_section())
        assert records(vexdal_py.parse(data, [write])) == records(vexdal_py.parse(data))

    def test_renamed_key_moves_to_the_end(self):
        def rename(section_type, attrs, header):
            attrs["Номер"] = attrs.pop("Номер")

        second = Recorder()
        result = vexdal_py.parse(make_statement(document_section()), [rename, second])
        assert [key for key, _ in second.calls[0][2]] == [*list(DOCUMENT)[1:], "Номер"]
        assert result.documents[0].doc_number == "17"

    # "Рђ" in windows-1251 has the bytes of "А" in UTF-8: a section a hook rewrote, whose texts
    # are UTF-8, must not be matched by bytes with one read from the file.
    def test_rewritten_bytes_equal_to_read_ones_are_new_texts(self):
        def write(section_type, attrs, header):
            if "Y" in attrs:
                attrs["X"] = "А"
                del attrs["Y"]

        recorder = Recorder()
        sections = [["СекцияДокумент=Б", "X=Рђ", "КонецДокумента"],
                    ["СекцияДокумент=Б", "X=Рђ", "Y=1", "КонецДокумента"]]
        vexdal_py.parse(make_statement(*sections), [write, recorder])
        assert [items for _, _, items, _ in recorder.calls] == [[("X", "Рђ")], [("X", "А")]]

    @pytest.mark.parametrize("encoding", ["cp1251", None], ids=["cp1251", "str"])
    def test_written_texts_beside_read_ones(self, encoding):
        # A windows-1251 file's own values stay in its bytes while what a hook writes is UTF-8;
        # both must read as the same characters, in the record and in the next hook's dicts.
        def write(section_type, attrs, header):
            if attrs.get("Номер") == "17":
                attrs["Плательщик"] = "Ёлка «1»\x98"
            if attrs.get("ДатаНачала") == "02.03.2024":
                attrs["РасчСчет"] = "Счёт №5"

        sections = (document_section(doc_type="Платёжное «поручение»", Получатель="Ёж «2»\x98"),
                    document_section(Номер="18", Получатель="Ёж «3»"),
                    account_section(РасчСчет="Счёт №5"), account_section(ДатаНачала="02.03.2024"))
        recorder = Recorder()
        result = vexdal_py.parse(make_statement(*sections, encoding=encoding), [write, recorder])
        first, second = result.documents
        assert (first.counterparty, first.payee, first.doc_type, first.purpose) == (
            "Ёлка «1»\x98", "Ёж «2»\x98", "Платёжное «поручение»", DOCUMENT["НазначениеПлатежа"])
        assert (second.counterparty, second.payee) == (DOCUMENT["Плательщик"], "Ёж «3»")
        assert [len(account.intervals) for account in result.accounts.values()] == [2]
        assert list(result.accounts) == ["Счёт №5"]
        assert dict(recorder.calls[0][2])["Плательщик"] == "Ёлка «1»\x98"

    def test_many_keys_keep_the_order_of_a_dict(self):
        # Past a few dozen keys a section finds its keys another way. A key given again, before
        # or after that point, keeps its first place and takes its last value, as in a dict;
        # and a hook's dict of that size comes back in its own order.
        lines = [*DOCUMENT.items(), *((f"Ключ{i}", str(i)) for i in range(40)),
                 ("Ключ3", "x"), ("Номер", "18"), ("Ключ39", "y")]
        section = ["СекцияДокумент=Платежное поручение", *attribute_lines(lines), "КонецДокумента"]
        first, second = Recorder(set_item("Ключ40", "z")), Recorder()
        result = vexdal_py.parse(make_statement(section), [first, second])
        assert first.calls[0][2] == list(dict(lines).items())
        assert second.calls[0][2] == [*dict(lines).items(), ("Ключ40", "z")]
        assert result.documents[0].doc_number == "18"

    def test_long_written_texts_read_back_whole(self):
        # Texts that hooks write are kept in shared blocks, a long one in a block of its own.
        # Sizes around those limits, and enough texts to fill several blocks, must all read
        # back whole once the parse is over.
        sizes = [4095, 4096, 4097, 16383, 16384, 40000, 10]

        def text(n, size):
            head = f"{n}:"
            return head + "№" * ((size - len(head)) // 3) + "a" * ((size - len(head)) % 3)

        def write(section_type, attrs, header):
            n = int(attrs["Номер"])
            attrs["НазначениеПлатежа"] = text(n, sizes[n])
            attrs.update((f"Поле{i}", text(100 * n + i, 700)) for i in range(30))

        recorder = Recorder()
        sections = [document_section(Номер=str(n)) for n in range(len(sizes))]
        result = vexdal_py.parse(make_statement(*sections), [write, recorder])
        for n, size in enumerate(sizes):
            assert len(text(n, size).encode()) == size
            assert result.documents[n].purpose == text(n, size)
            fields = dict(recorder.calls[n][2])
            assert [fields[f"Поле{i}"] for i in range(30)] == [
                text(100 * n + i, 700) for i in range(30)]

    def test_rebinding_the_parameter_changes_nothing(self):
        def rebind(section_type, attrs, header):
            attrs = {"Номер": "0"}
            attrs.clear()

        assert vexdal_py.parse(DATA, [rebind]).documents == vexdal_py.parse(DATA).documents

    def test_emptied_sections(self):
        emptied = vexdal_py.parse(make_statement(document_section()), [lambda t, a, h: a.clear()])
        assert emptied.documents == [] and emptied.warnings == [(ENDS[0], "missing field `Номер`")]
        with pytest.raises(vexdal_py.SyntaxError) as info:
            vexdal_py.parse(DATA, [lambda t, a, h: a.clear() if int(t) else None])
        assert info.value.args == ("Account parse error: missing field `ДатаНачала`",)
        assert info.value.detail.lineno == ENDS[1]

    def test_header_changes_are_ignored(self):
        def change_header(section_type, attrs, header):
            header["Лишний"] = "1"
            del header["Отправитель"]

        second = Recorder()
        result = vexdal_py.parse(DATA, [change_header, second])
        assert result.header == HEADER
        assert [header for *_, header in second.calls] == [list(HEADER.items())] * 3

    # Of two hooks, the second meddles with the dicts the first was given in the same section.
    @pytest.mark.parametrize("count", [1, 2], ids=["one-hook", "two-hooks"])
    def test_kept_references_have_no_effect(self, count):
        kept = []

        def meddle(section_type, attrs, header):
            for old in kept:
                old["Номер"] = "changed"
            kept.append(attrs)
            kept.append(header)

        result = vexdal_py.parse(DATA, [meddle] * count)
        before = repr(result.documents) + repr(result.accounts)
        for obj in kept:
            obj["Номер"] = "changed later"
        gc.collect()
        assert [d.doc_number for d in result.documents] == ["17", "18"]
        assert repr(result.documents) + repr(result.accounts) == before

    @pytest.mark.parametrize("key, value, text", [
        ("Номер", 5, "TypeError: 'int' object cannot be converted to 'PyString'"),
        ("Номер", None, "TypeError: 'NoneType' object cannot be converted to 'PyString'"),
        ("Номер", b"5", "TypeError: 'bytes' object cannot be converted to 'PyString'"),
        (("a",), "x", "TypeError: 'tuple' object cannot be converted to 'PyString'"),
        ("Номер", "1\udc80", encode_error("1\udc80")), ("\ud800", "x", encode_error("\ud800")),
    ], ids=["int-value", "none-value", "bytes-value", "tuple-key", "surrogate-value",
            "surrogate-key"])
    def test_junk_in_attrs_fails_the_section(self, key, value, text):
        exc = hook_failure([set_item(key, value)])
        assert (exc.detail.lineno, exc.detail.message) == (ENDS[0], text)


class BadStr(Exception):
    def __str__(self):
        raise RuntimeError("no text")


class Stop(BaseException):
    pass


class Holder:
    class Nested(Exception):
        pass


class OddlyNamed(type):
    """A class whose __qualname__ reads as its `odd_name`: no str, or an exception to raise."""

    def __getattribute__(cls, name):
        if name != "__qualname__":
            return super().__getattribute__(name)
        odd = super().__getattribute__("odd_name")
        if isinstance(odd, BaseException):
            # Each raise of the one instance would otherwise lengthen its traceback.
            raise odd.with_traceback(None)
        return odd


class NumberNamed(Exception, metaclass=OddlyNamed):
    odd_name = 5


class Unnamed(Exception, metaclass=OddlyNamed):
    odd_name = LookupError("no name")


def raiser(exc):
    def hook(section_type, attrs, header):
        # Each raise of the one instance would otherwise lengthen its traceback.
        raise exc.with_traceback(None) if isinstance(exc, BaseException) else exc
    return hook


def no_arguments():
    pass


class TestFailureTexts:
    @pytest.mark.parametrize("hook, text", [
        (raiser(ValueError("boom")), "ValueError: boom"),
        (raiser(KeyError("x")), "KeyError: 'x'"),
        (raiser(StopIteration()), "StopIteration: "),
        (raiser(RuntimeError("a\nb")), "RuntimeError: a\nb"),
        (raiser(BadStr("x")), "BadStr: <exception str() failed>"),
        (raiser(Holder.Nested("x")), "Holder.Nested: x"),
        (raiser(ValueError("a\udc80b\ud800")),
         "ValueError: a\ufffd\ufffd\ufffdb\ufffd\ufffd\ufffd"),
        (5, "TypeError: 'int' object is not callable"),
        (no_arguments, "TypeError: no_arguments() takes 0 positional arguments but 3 were given"),
        # A class name that is no str, or cannot be read, gives way to the type's own name.
        (raiser(NumberNamed("x")), "NumberNamed: x"),
        (raiser(Unnamed("x")), "Unnamed: x"),
    ], ids=["value-error", "key-error", "empty-text", "multiline", "str-fails", "nested-class",
            "lone-surrogates", "not-callable", "wrong-arity", "name-not-str", "name-fails"])
    def test_text_of_the_failure(self, hook, text):
        exc = hook_failure([hook])
        assert (exc.detail.lineno, exc.detail.message) == (ENDS[0], text)

    @pytest.mark.parametrize("result", [42, object(), (x for x in [1])],
                             ids=["int", "object", "generator"])
    def test_returned_value_is_ignored(self, result):
        returned = vexdal_py.parse(DATA, [lambda t, a, h: result])
        assert returned.documents == vexdal_py.parse(DATA).documents

    # A MemoryError is an Exception, but running out of memory is no fault of the statement.
    @pytest.mark.parametrize("exc", [KeyboardInterrupt(), SystemExit(3), GeneratorExit(), Stop(),
                                     MemoryError()],
                             ids=["ctrl-c", "exit", "generator-exit", "own-subclass", "memory"])
    def test_non_exceptions_propagate_unchanged(self, exc):
        def on_account(section_type, attrs, header):
            attrs["Номер"] = "changed"
            if int(section_type):
                raise exc.with_traceback(None)

        later = Recorder()
        with pytest.raises(BaseException) as info:
            vexdal_py.parse(DATA, [on_account, later])
        assert info.value is exc and later.kinds() == [0]
        assert len(vexdal_py.parse(DATA, [later]).documents) == 2


class TestReentrancy:
    def test_hook_parses_again(self):
        inner = []

        def nested(section_type, attrs, header):
            inner.append(vexdal_py.parse(make_statement(encoding=None), [Recorder()]))
            with pytest.raises(vexdal_py.NotStatementError):
                vexdal_py.parse(b"x", [nested])

        assert len(vexdal_py.parse(DATA, [nested]).documents) == 2
        assert [(s.encoding, len(s.documents)) for s in inner] == [("utf-8", 1)] * 3

    def test_inner_failure_escaping_the_hook_is_the_outer_hook_failure(self):
        exc = hook_failure([lambda t, a, h: vexdal_py.parse(DATA, [raiser(ValueError("boom"))])])
        assert exc.detail.message.endswith("SyntaxError: Hook error: ValueError: boom")

    def test_hooks_are_taken_when_parse_is_called(self):
        hooks, kinds, added = [], [], Recorder()

        def grow_and_shrink(section_type, attrs, header):
            hooks.append(added)
            if grow_and_shrink in hooks:
                hooks.remove(grow_and_shrink)
            kinds.append(int(section_type))

        hooks.append(grow_and_shrink)
        vexdal_py.parse(DATA, hooks)
        assert kinds == [0, 1, 0] and added.calls == []

    def test_hook_clearing_the_list_that_held_the_only_reference(self):
        hooks = []

        def make():
            def hook(section_type, attrs, header):
                hooks.clear()
                gc.collect()
                attrs["Номер"] = "kept"
            return hook

        hooks.append(make())
        result = vexdal_py.parse(DATA, hooks)
        assert [d.doc_number for d in result.documents] == ["kept", "kept"]


class InterruptingName(type):
    def __getattribute__(cls, name):
        if name == "__qualname__":
            raise KeyboardInterrupt
        return super().__getattribute__(name)


class Stubborn(Exception):
    def __str__(self):
        raise KeyboardInterrupt


class Nameless(Exception, metaclass=InterruptingName):
    pass


# Describing a hook's exception runs Python code of its own (the type's name, str()); Ctrl-C
# there must reach the caller like Ctrl-C in the hook itself.
@pytest.mark.parametrize("exc", [Stubborn, Nameless], ids=["str", "qualname"])
def test_interrupt_while_describing_a_hook_error_is_not_swallowed(exc):
    with pytest.raises(KeyboardInterrupt):
        vexdal_py.parse(make_statement(), [raiser(exc)])
