"""The module surface: contents, documentation, exception classes, parse() arguments and errors."""

import builtins
import ctypes
import gc
import inspect
import pickle
import platform
import re
import subprocess
import sys
import weakref

import pytest

import vexdal_py

try:
    import _testcapi
except (ImportError, OSError):  # PyPy compiles it at import, from sources it may lack
    _testcapi = None
from conftest import account_section, document_section, make_statement, pypy_limit

NAMES = [
    "Interval", "Account", "Document", "Statement", "SectionType", "UnexpectedSection",
    "UnexpectedAttribute", "UnrecognizedLine", "MissingField", "AccountParseError",
    "DocumentParseError", "HookError", "parse", "ParseError", "NotStatementError",
    "EmptyInputError", "UnfinishedError", "SyntaxError",
]

GOOD = make_statement()
EXCEPTIONS = ["ParseError", "NotStatementError", "EmptyInputError", "UnfinishedError",
              "SyntaxError"]


def raise_boom(section_type, attrs, header):
    raise ValueError("boom")


class TestContents:
    def test_all_and_nothing_else_public(self):
        assert type(vexdal_py.__all__) is list and vexdal_py.__all__ == NAMES
        assert {name for name in vars(vexdal_py) if not name.startswith("__")} == set(NAMES)

    def test_module_and_parse_identity_and_docs(self):
        assert vexdal_py.__name__ == "vexdal_py"
        assert vexdal_py.__doc__ == (
            "Python-модуль для парсинга банковских выписок 1CClientBankExchange.")
        parse = vexdal_py.parse
        assert inspect.isbuiltin(parse)
        assert (parse.__name__, parse.__module__) == ("parse", "vexdal_py")
        assert str(inspect.signature(parse)) == "(statement, hooks=None)"

    def test_parse_doc_names_what_parse_takes_returns_and_raises(self):
        doc = vexdal_py.parse.__doc__
        assert doc.startswith("Парсит выписку 1CClientBankExchange из байтов или строки.\n\n")
        assert not doc.endswith("\n") and "\n\n\n" not in doc
        intro, arguments, returns, raises = doc.split("\n# ")
        assert [part.partition("\n")[0] for part in (arguments, returns, raises)] == [
            "Аргументы", "Возвращает", "Ошибки"]
        assert re.findall(r"^\* `(\w+)` - ", arguments, re.M) == ["statement", "hooks"]
        assert sorted(re.findall(r"^- (\w+): ", returns, re.M)) == [
            name for name in dir(vexdal_py.Statement) if not name.startswith("_")]
        assert re.findall(r"^\* `(\w+)` - ", raises, re.M) == EXCEPTIONS[1:] + EXCEPTIONS[:1]

    @pypy_limit("PyPy's built-in functions from C extensions have no __self__")
    def test_parse_is_bound_to_the_module(self):
        assert vexdal_py.parse.__self__ is vexdal_py

    @pytest.mark.skipif(platform.python_implementation() != "CPython",
                        reason="calls the entry point through ctypes")
    def test_second_entry_point_call_returns_the_same_module(self):
        entry = ctypes.PyDLL(vexdal_py.__file__).PyInit_vexdal_py
        entry.restype = ctypes.py_object
        assert entry() is vexdal_py and vexdal_py.__all__ == NAMES

    # The module lives in the main interpreter only: a sub-interpreter that shared it would clear
    # it for everyone when it ends. Each run is a fresh process, so that a hang cannot hang the
    # suite and the first import of the process can be the sub-interpreter's.
    @pytest.mark.skipif(not hasattr(_testcapi, "run_in_subinterp"),
                        reason="needs _testcapi.run_in_subinterp")
    @pytest.mark.parametrize("main_first", [True, False], ids=["main-first", "sub-first"])
    def test_subinterpreters_are_refused_and_the_main_module_stays_whole(self, tmp_path,
                                                                          main_first):
        (tmp_path / "data").write_bytes(GOOD)
        use = ("import vexdal_py\n"
               f"data = open({str(tmp_path / 'data')!r}, 'rb').read()\n"
               "hook = lambda section_type, attrs, header: attrs.update(Номер='9')\n"
               "print(vexdal_py.parse(data, [hook]).documents[0].doc_number)\n")
        try_in_sub = (f"try:\n    exec({use!r})\n"
                      "except ImportError as exc:\n"
                      f"    open({str(tmp_path / 'sub')!r}, 'w').write(str(exc))\n")
        script = (f"import _testcapi\n{use if main_first else ''}"
                  f"assert _testcapi.run_in_subinterp({try_in_sub!r}) == 0\n{use}")
        done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                              timeout=60)
        assert (done.returncode, done.stdout) == (0, "9\n" * (2 if main_first else 1))
        assert (tmp_path / "sub").read_text() == (
            "vexdal_py can only be imported in the main interpreter, not in a sub-interpreter")

    @pytest.mark.parametrize("name", EXCEPTIONS)
    def test_exception_classes(self, name):
        cls = getattr(vexdal_py, name)
        assert (cls.__module__, cls.__name__, cls.__doc__) == ("vexdal_py", name, None)
        base = Exception if name == "ParseError" else vexdal_py.ParseError
        assert cls.__bases__ == (base,)
        assert not issubclass(cls, (ValueError, builtins.SyntaxError))


class TestArgumentBinding:
    @pytest.mark.parametrize("args, kwargs, message", [
        ((), {"hooks": None}, "parse() missing 1 required positional argument: 'statement'"),
        ((GOOD, None, None), {},
         "parse() takes from 1 to 2 positional arguments but 3 were given"),
        ((GOOD,), {"x": 1}, "parse() got an unexpected keyword argument 'x'"),
        ((GOOD,), {"statement": GOOD}, "parse() got multiple values for argument 'statement'"),
        ((GOOD, None), {"hooks": None}, "parse() got multiple values for argument 'hooks'"),
        # Several faults at once: too many positionals, then keywords as given, then missing.
        ((GOOD, None, None), {"x": 1},
         "parse() takes from 1 to 2 positional arguments but 3 were given"),
        ((), {"x": 1}, "parse() got an unexpected keyword argument 'x'"),
        ((GOOD,), {"y": 1, "statement": GOOD}, "parse() got an unexpected keyword argument 'y'"),
        ((GOOD,), {"statement": GOOD, "y": 1},
         "parse() got multiple values for argument 'statement'"),
    ], ids=["missing", "three-positional", "unknown-keyword", "statement-twice", "hooks-twice",
            "too-many-before-unknown", "unknown-before-missing", "unknown-first",
            "repeated-first"])
    def test_binding_errors(self, args, kwargs, message):
        with pytest.raises(TypeError) as info:
            vexdal_py.parse(*args, **kwargs)
        assert (type(info.value), str(info.value)) == (TypeError, message)

    @pytest.mark.parametrize("args, kwargs", [
        ((), {"statement": GOOD}), ((GOOD, None), {}), ((), {"hooks": (), "statement": GOOD}),
    ], ids=["keyword", "hooks-positional", "keywords-reversed"])
    def test_accepted_forms(self, args, kwargs):
        assert len(vexdal_py.parse(*args, **kwargs).documents) == 1


class BytesChild(bytes):
    pass


class LyingStr(str):
    """The module must read the text itself, not ask the object to encode or describe itself."""

    def encode(self, *args, **kwargs):
        return b"junk"

    def __str__(self):
        return "junk"


class TestStatementArgument:
    @pytest.mark.parametrize("value", [bytearray(GOOD), memoryview(GOOD), 5, None],
                             ids=["bytearray", "memoryview", "int", "none"])
    def test_rejected_types(self, value):
        with pytest.raises(TypeError) as info:
            vexdal_py.parse(value)
        assert (type(info.value), str(info.value)) == (TypeError, "statement must be bytes or str")

    @pytest.mark.parametrize("value, encoding", [
        (BytesChild(GOOD), "cp1251"), (make_statement(encoding=None), "utf-8"),
        (LyingStr(make_statement(encoding=None)), "utf-8"),
    ], ids=["bytes-subclass", "str", "str-subclass"])
    def test_accepted_types_and_reported_encoding(self, value, encoding):
        result = vexdal_py.parse(value)
        assert result.encoding == encoding
        assert result.documents == vexdal_py.parse(GOOD).documents

    def test_a_bytes_subclass_instance_is_not_kept(self):
        # The result keeps the bytes its texts point into. Kept, an instance whose attributes
        # hold the result would make a cycle that the collector cannot see, freed never.
        class Probe:
            pass

        data, probe = BytesChild(GOOD), Probe()
        data.probe, data.statement = probe, vexdal_py.parse(data)
        freed = weakref.ref(probe)
        del data, probe
        gc.collect()
        assert freed() is None

    @pytest.mark.skipif(platform.python_implementation() != "CPython",
                        reason="CPython keeps a UTF-8 copy on a str once it is asked for one")
    def test_a_str_is_left_without_a_utf8_copy(self):
        text = make_statement(encoding=None)
        size = sys.getsizeof(text)
        assert vexdal_py.parse(text).documents and sys.getsizeof(text) == size

    def test_str_with_lone_surrogate_raises_the_encoding_error_unchanged(self):
        text = make_statement(encoding=None).replace("17", "1\udc807")
        with pytest.raises(UnicodeEncodeError) as info:
            vexdal_py.parse(text)
        assert type(info.value) is UnicodeEncodeError and info.value.object == text

    @pytest.mark.parametrize("statement, hooks, message", [
        (bytearray(), "x", "argument 'hooks': Can't extract `str` to `Vec`"),
        ("\udc80", {}, "argument 'hooks': 'dict' object cannot be converted to 'Sequence'"),
    ], ids=["bad-type", "surrogate"])
    def test_hooks_are_checked_before_the_statement(self, statement, hooks, message):
        with pytest.raises(TypeError) as info:
            vexdal_py.parse(statement, hooks=hooks)
        assert str(info.value) == message


class Hooks:
    """A sequence of one hook whose length and second element misbehave as told."""

    def __init__(self, length=1, error=None):
        self.length, self.error = length, error

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length.with_traceback(None)
        return self.length

    def __getitem__(self, index):
        if index == 0:
            return raise_boom
        # A fresh traceback each time: the one instance is raised again on every parse.
        raise (self.error or IndexError(index)).with_traceback(None)


class CustomTypeError(TypeError):
    pass


class TestHooksArgument:
    @pytest.mark.parametrize("hooks, type_name", [
        ({}, "dict"), ({raise_boom}, "set"), ((h for h in []), "generator"),
        (raise_boom, "function"), (5, "int"),
    ], ids=["dict", "set", "generator", "callable", "int"])
    def test_non_sequences(self, hooks, type_name):
        with pytest.raises(TypeError) as info:
            vexdal_py.parse(GOOD, hooks)
        assert str(info.value) == (
            f"argument 'hooks': '{type_name}' object cannot be converted to 'Sequence'")

    def test_str_subclass(self):
        with pytest.raises(TypeError) as info:
            vexdal_py.parse(GOOD, LyingStr(""))
        assert str(info.value) == "argument 'hooks': Can't extract `str` to `Vec`"

    @pytest.mark.parametrize("exc_type", [TypeError, CustomTypeError], ids=["plain", "subclass"])
    def test_type_error_while_iterating_is_wrapped(self, exc_type):
        original = exc_type("bad element")
        with pytest.raises(TypeError) as info:
            vexdal_py.parse(GOOD, Hooks(2, original))
        assert (type(info.value), str(info.value)) == (TypeError, "argument 'hooks': bad element")
        assert info.value.__cause__ is original

    @pytest.mark.parametrize("exc", [ValueError("v"), KeyboardInterrupt()], ids=["value", "ctrl-c"])
    def test_other_errors_while_iterating_pass_unchanged(self, exc):
        with pytest.raises(BaseException) as info:
            vexdal_py.parse(GOOD, Hooks(2, exc))
        assert info.value is exc

    @pytest.mark.parametrize("length", [RuntimeError("no length"), sys.maxsize, 0],
                             ids=["failing", "huge", "too-small"])
    def test_length_is_only_a_hint(self, length):
        with pytest.raises(vexdal_py.SyntaxError) as info:
            vexdal_py.parse(GOOD, Hooks(length))
        assert str(info.value) == "Hook error: ValueError: boom"

    def test_interrupt_while_asking_the_length_is_not_swallowed(self):
        interrupt = KeyboardInterrupt()
        with pytest.raises(KeyboardInterrupt) as info:
            vexdal_py.parse(GOOD, Hooks(interrupt))
        assert info.value is interrupt

    def test_iteration_goes_through_the_protocol(self):
        class Reordered(list):
            def __iter__(self):
                return iter(reversed(self))

        seen = []
        vexdal_py.parse(GOOD, Reordered([lambda *a: seen.append(1), lambda *a: seen.append(2)]))
        assert seen == [2, 1]

    def test_non_callable_is_not_called_when_input_is_rejected_first(self):
        with pytest.raises(vexdal_py.NotStatementError):
            vexdal_py.parse(b"not a statement", [1])


def utf8(*sections):
    return make_statement(*sections, encoding="utf-8")


# Line numbers: the marker line and three header lines come first, so a section starts on line 5.
MAPPED = [
    (b"", vexdal_py.NotStatementError, "Input is not a 1C statement", None),
    ("", vexdal_py.NotStatementError, "Input is not a 1C statement", None),
    (b"1CClientBankExchange", vexdal_py.UnfinishedError, "Statement is not finished", None),
    (b"1CClientBankExchange\nA=1\nabc\n", vexdal_py.SyntaxError, "Unrecognized line: 'abc'",
     (vexdal_py.UnrecognizedLine, {"lineno": 3, "line": "abc"})),
    (utf8(["СекцияРасчСчет", "СекцияДокумент=Банковский ордер"]), vexdal_py.SyntaxError,
     "Unexpected section 'СекцияДокумент=Банковский ордер' in context 'account'",
     (vexdal_py.UnexpectedSection,
      {"lineno": 6, "found": "СекцияДокумент=Банковский ордер", "context": "account"})),
    (utf8(document_section()) + "x=1=2\n".encode(), vexdal_py.SyntaxError,
     "Unexpected attribute 'x' = '1=2'",
     (vexdal_py.UnexpectedAttribute, {"lineno": 23, "key": "x", "value": "1=2"})),
    (utf8(account_section(РасчСчет=None)), vexdal_py.SyntaxError,
     "Missing field 'РасчСчет' in context 'account'",
     (vexdal_py.MissingField, {"lineno": 12, "field": "РасчСчет", "context": "account"})),
    (utf8(account_section(ДатаНачала=None)), vexdal_py.SyntaxError,
     "Account parse error: missing field `ДатаНачала`",
     (vexdal_py.AccountParseError, {"lineno": 12, "message": "missing field `ДатаНачала`"})),
    ((utf8(account_section()), [raise_boom]), vexdal_py.SyntaxError,
     "Hook error: ValueError: boom",
     (vexdal_py.HookError, {"lineno": 13, "message": "ValueError: boom"})),
]


@pytest.mark.parametrize("data, exc_type, message, detail", MAPPED, ids=[
    "empty-bytes", "empty-str", "unfinished", "unrecognized", "unexpected-section",
    "unexpected-attribute", "missing-number", "account", "hook"])
def test_failure_mapping(data, exc_type, message, detail):
    data, hooks = data if isinstance(data, tuple) else (data, None)
    with pytest.raises(vexdal_py.ParseError) as info:
        vexdal_py.parse(hooks=hooks, statement=data)
    exc = info.value
    assert (type(exc), exc.args) == (exc_type, (message,))
    # Worker processes hand exceptions back pickled.
    copied = pickle.loads(pickle.dumps(exc))
    assert (type(copied), copied.args) == (exc_type, (message,))
    if detail is None:
        assert not hasattr(exc, "detail") and not hasattr(copied, "detail")
        return
    assert repr(copied.detail) == repr(exc.detail)
    detail_type, fields = detail
    assert type(exc.detail) is detail_type
    assert {name: getattr(exc.detail, name) for name in fields} == fields
    assert [type(value) for value in exc.detail.__getnewargs__()] == [int] + [str] * (
        len(fields) - 1)
