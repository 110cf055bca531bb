"""The Python classes: attributes, representations, equality, immutability, detail objects."""

import copy
import gc
import inspect
import pickle
import platform
import sys
import weakref

import pytest

import vexdal_py
from conftest import (ACCOUNT, QUOTED_FORMS, account_section, document_section, make_statement,
                      pypy_limit)

NUMBER = ACCOUNT["РасчСчет"]
RESULT_CLASSES = ["Statement", "Account", "Interval", "Document"]
DETAIL_ARGS = {
    "UnexpectedSection": {"lineno": 3, "found": "КонецФайла", "context": "header"},
    "UnexpectedAttribute": {"lineno": 1, "key": "k", "value": "v"},
    "UnrecognizedLine": {"lineno": 7, "line": "abc"},
    "MissingField": {"lineno": 12, "field": "РасчСчет", "context": "account"},
    "AccountParseError": {"lineno": 4, "message": "missing field `ДатаНачала`"},
    "DocumentParseError": {"lineno": 5, "message": "m"},
    "HookError": {"lineno": 6, "message": "ValueError: boom"},
}
DETAILS = list(DETAIL_ARGS)


class Marker:
    pass


def parse(*sections, **kwargs):
    return vexdal_py.parse(make_statement(*sections, **kwargs))


def detail(name):
    return getattr(vexdal_py, name)(**DETAIL_ARGS[name])


@pytest.fixture(scope="module")
def objects():
    """One object of each of the twelve classes."""
    statement = parse(document_section(), account_section())
    account = statement.accounts[NUMBER]
    return {"Statement": statement, "Account": account, "Interval": account.intervals[0],
            "Document": statement.documents[0], "SectionType": vexdal_py.SectionType.Account,
            **{name: detail(name) for name in DETAILS}}


class TestClassProperties:
    @pytest.mark.parametrize("name", RESULT_CLASSES + DETAILS)
    def test_names_bases_and_doc(self, name):
        cls = getattr(vexdal_py, name)
        module, doc = ("builtins", None) if name in RESULT_CLASSES else ("vexdal_py", "")
        assert (cls.__module__, cls.__name__, cls.__qualname__) == (module, name, name)
        assert cls.__bases__ == (object,) and cls.__doc__ == doc

    @pytest.mark.skipif(platform.python_implementation() != "CPython"
                        or sys.version_info < (3, 10), reason="text signatures of heap types")
    @pytest.mark.parametrize("name", DETAILS)
    def test_detail_signature(self, name):
        expected = "(" + ", ".join(DETAIL_ARGS[name]) + ")"
        assert str(inspect.signature(getattr(vexdal_py, name))) == expected

    @pytest.mark.parametrize("name, module", [*((n, "builtins") for n in RESULT_CLASSES),
                                              ("SectionType", "vexdal_py")])
    @pytest.mark.parametrize("via_new", [False, True], ids=["call", "dunder-new"])
    def test_no_constructor(self, name, module, via_new):
        cls = getattr(vexdal_py, name)
        with pytest.raises(TypeError) as info:
            cls.__new__(cls) if via_new else cls()
        assert str(info.value) == f"cannot create '{module}.{name}' instances"

    # CPython refuses the subclass itself; an interpreter that gets as far as the class's own
    # __init_subclass__ meets the same refusal there, as does a direct call.
    @pytest.mark.parametrize("name", RESULT_CLASSES + DETAILS + ["SectionType"])
    def test_no_subclassing(self, name):
        cls = getattr(vexdal_py, name)
        message = f"type '{cls.__module__}.{name}' is not an acceptable base type"
        for refused in (lambda: type("Child", (cls,), {}), cls.__init_subclass__,
                        lambda: cls.__init_subclass__(1, key=2)):
            with pytest.raises(TypeError) as info:
                refused()
            assert str(info.value) == message


class TestImmutability:
    ATTRIBUTES = {"Statement": "encoding", "Account": "number", "Interval": "date_start",
                  "Document": "amount", **{name: "lineno" for name in DETAILS}}

    def test_attributes_are_read_only(self, objects):
        for name, attribute in self.ATTRIBUTES.items():
            obj = objects[name]
            before = getattr(obj, attribute)
            with pytest.raises(AttributeError):
                setattr(obj, attribute, before)
            with pytest.raises(AttributeError):
                delattr(obj, attribute)
            assert getattr(obj, attribute) == before

    # The generic setter may also be refused outright (TypeError) by a class's own setattr slot.
    # That slot, called as the class's __setattr__, gets the name unchecked: one that is no str
    # must be refused before it is formatted into the message as one.
    @pytest.mark.parametrize("setter, refusal", [
        (setattr, AttributeError),
        pytest.param(object.__setattr__, (AttributeError, TypeError), marks=pypy_limit(
            "PyPy's object.__setattr__ writes into the instance dict without asking the class")),
        (lambda obj, name, value: type(obj).__setattr__(obj, 1, value), TypeError),
    ], ids=["setattr", "generic", "own slot, name not a str"])
    def test_no_new_attributes(self, objects, setter, refusal):
        for obj in objects.values():
            with pytest.raises(refusal):
                setter(obj, "extra", 1)

    @pypy_limit("PyPy gives every instance of a C extension's class an attribute dict")
    def test_no_attribute_dict(self, objects):
        assert [name for name, obj in objects.items() if hasattr(obj, "__dict__")] == []

    @pypy_limit("PyPy can make a weak reference to any object")
    def test_no_weak_references(self, objects):
        for obj in objects.values():
            with pytest.raises(TypeError):
                weakref.ref(obj)

    # CPython refuses object.__new__ for these classes; PyPy makes an instance in zeroed memory,
    # without the state the class's own constructor builds. Such an instance must neither read
    # nor destroy that state (the sanitizers would see it), only say what it is.
    @pytest.mark.parametrize("name", [*RESULT_CLASSES, "SectionType", *DETAILS])
    def test_an_instance_made_without_its_constructor_is_inert(self, name):
        cls = getattr(vexdal_py, name)
        if platform.python_implementation() == "CPython":
            with pytest.raises(TypeError, match=r"^object\.__new__\(\S+\) is not safe"):
                object.__new__(cls)
            return
        obj = object.__new__(cls)
        readers = [repr, *(lambda o, n=n: getattr(o, n) for n, value in vars(cls).items()
                           if inspect.isgetsetdescriptor(value) and not n.startswith("__"))]
        for read in readers:
            with pytest.raises(TypeError, match=f"this {name} was not made by vexdal_py"):
                read(obj)
        assert obj == obj and obj != object.__new__(cls)
        del obj
        gc.collect()

    @pytest.mark.parametrize("cls_name, attribute, other", [
        ("Account", "number", "Document"), ("Interval", "date_end", "Statement"),
        ("HookError", "message", "UnrecognizedLine"),
    ], ids=["account", "interval", "detail"])
    def test_methods_refuse_a_foreign_self(self, objects, cls_name, attribute, other):
        cls = getattr(vexdal_py, cls_name)
        with pytest.raises(TypeError):
            vars(cls)[attribute].__get__(objects[other])
        with pytest.raises(TypeError):
            cls.__repr__(5)

    def test_detail_is_not_raisable(self):
        with pytest.raises(TypeError):
            raise detail("HookError")
        assert not issubclass(vexdal_py.HookError, BaseException)


class TestResultObjects:
    def test_statement_containers_are_shared_and_counts_fixed(self):
        result = parse(document_section(), document_section())
        assert repr(result) == 'Statement(encoding="cp1251", documents=[...2], warnings=[...0])'
        for attribute in ("header", "accounts", "documents", "warnings"):
            assert getattr(result, attribute) is getattr(result, attribute)
        result.documents.append(result.documents[0])
        result.warnings.append((1, "x"))
        assert len(result.documents) == 3 and len(result.warnings) == 1
        assert str(result) == 'Statement(encoding="cp1251", documents=[...2], warnings=[...0])'
        warned = parse(document_section(Сумма="1,5"), encoding=None)
        assert repr(warned) == 'Statement(encoding="utf-8", documents=[...0], warnings=[...1])'

    @pypy_limit("PyPy does not collect reference cycles that pass through objects of C "
                "extensions")
    def test_statement_in_a_cycle_through_its_containers_is_collected(self):
        result, marker = parse(), Marker()
        result.header["self"] = result
        result.documents.append(marker)
        collected = weakref.ref(marker)
        del result, marker
        gc.collect()
        assert collected() is None

    @pytest.mark.parametrize("encoding, hooks", [
        ("cp1251", None), ("utf-8", None), (None, None), ("utf-16", None),
        ("cp1251", [lambda section_type, attrs, header: attrs.update(Плательщик="Ёж «1»")]),
    ], ids=["cp1251", "utf-8", "str", "utf-16-mark", "cp1251-hooked"])
    def test_a_document_outlives_its_statement_and_input(self, encoding, hooks):
        # Documents read their texts from the input and from what the parse made of it, not from
        # copies; they alone must keep all of that alive.
        def fresh_input():
            sections = [document_section(Номер=str(n), Получатель="Ёж «2»") for n in range(3)]
            if encoding == "utf-16":
                return b"\xff\xfe" + make_statement(*sections, encoding="utf-16-le")
            data = make_statement(*sections, encoding=encoding)
            return "".join(list(data)) if encoding is None else bytes(bytearray(data))

        names = [name for name in dir(vexdal_py.Document) if not name.startswith("_")]
        expected = [getattr(vexdal_py.parse(fresh_input(), hooks).documents[1], name)
                    for name in names]
        document = vexdal_py.parse(fresh_input(), hooks).documents[1]
        gc.collect()
        scribble = [bytes([n]) * 4096 for n in range(256)]  # reuse what was freed
        assert [getattr(document, name) for name in names] == expected, len(scribble)

    @pytest.mark.skipif(platform.python_implementation() != "CPython",
                        reason="counts references")
    def test_the_result_holds_the_input_until_it_goes(self):
        data = make_statement()
        before = sys.getrefcount(data)
        statement = vexdal_py.parse(data)
        assert sys.getrefcount(data) == before + 1
        documents = statement.documents
        del statement
        assert sys.getrefcount(data) == before + 1
        del documents
        assert sys.getrefcount(data) == before

    def test_intervals_are_new_copies_at_each_access(self, objects):
        account = objects["Account"]
        first = account.intervals
        assert first is not account.intervals and first == account.intervals
        first.clear()
        assert len(account.intervals) == 1

    def test_account_repr(self):
        sections = [account_section(РасчСчет="12345", ДатаНачала=f"01.0{month}.2024")
                    for month in (3, 1, 2)]
        account = parse(*sections).accounts["12345"]
        assert repr(account) == 'Account(number="12345", intervals=[...3])'

    @pytest.mark.parametrize("changes, expected", [
        ({}, 'Interval(date_start="2024-03-01", date_end=Some("2024-03-31"), '
             'start_amount="10000.00", end_amount=Some("8499.50"))'),
        ({"ДатаКонца": None, "КонечныйОстаток": None, "ВсегоПоступило": None,
          "ВсегоСписано": None},
         'Interval(date_start="2024-03-01", date_end=None, start_amount="10000.00", '
         'end_amount=None)'),
        ({"ДатаКонца": "31.1.2023"},
         'Interval(date_start="2024-03-01", date_end=Some("2023-01-31"), '
         'start_amount="10000.00", end_amount=Some("8499.50"))'),
    ], ids=["full", "open", "date-end-rewritten"])
    def test_interval_repr(self, changes, expected):
        interval = parse(account_section(**changes)).accounts[NUMBER].intervals[0]
        assert str(interval) == repr(interval) == expected

    def test_document_repr_uses_the_quoted_form(self):
        doc = parse(document_section(Номер="1\"2'3\t4")).documents[0]
        assert repr(doc) == ('Document(doc_number="1\\"2\'3\\t4", doc_type="Платежное поручение", '
                             'doc_date="2024-03-05", amount="1500.50")')


class TestResultEquality:
    def test_separate_parses_give_equal_records_but_not_statements(self):
        first, second = parse(), parse()
        assert first.documents == second.documents and first.accounts == second.accounts
        assert not (first.documents[0] != second.documents[0])
        assert first == first and first != second and len({first, second, first}) == 2

    @pytest.mark.parametrize("pick, change", [
        (lambda s: s.documents[0], {"ВидОплаты": ""}),
        (lambda s: s.documents[0], {"Сумма": "1500.5"}),
        (lambda s: s.documents[0], {"ДатаПоступило": "06.03.2024"}),
        (lambda s: s.accounts[NUMBER], {"НачальныйОстаток": "10000.0"}),
        (lambda s: s.accounts[NUMBER].intervals[0], {"ДатаКонца": None}),
        (lambda s: s.accounts[NUMBER].intervals[0], {"ВсегоСписано": "1500.5"}),
        # One place differs, each kind of field and each field of an interval.
        (lambda s: s.documents[0], {"Сумма": "1500.51"}),
        (lambda s: s.documents[0], {"Получатель": "АО \"Василек\""}),
        (lambda s: s.documents[0], {"Дата": "06.03.2024"}),
        (lambda s: [*s.accounts.values()][0], {"РасчСчет": "40702810900000001235"}),
        (lambda s: s.accounts[NUMBER].intervals[0], {"ДатаНачала": "02.03.2024"}),
        (lambda s: s.accounts[NUMBER].intervals[0], {"ДатаКонца": "30.03.2024"}),
        (lambda s: s.accounts[NUMBER].intervals[0], {"НачальныйОстаток": "-10000.00"}),
        (lambda s: s.accounts[NUMBER].intervals[0], {"НачальныйОстаток": "10000.01"}),
        (lambda s: s.accounts[NUMBER].intervals[0], {"КонечныйОстаток": "8499.51"}),
        (lambda s: s.accounts[NUMBER].intervals[0], {"ВсегоПоступило": "0.01"}),
        (lambda s: s.accounts[NUMBER].intervals[0], {"КонечныйОстаток": None}),
    ], ids=["none-vs-empty", "amount-scale", "last-field", "account-interval", "date-end",
            "expense-scale", "amount-digits", "text-field", "date-field", "account-number",
            "date-start", "date-end-value", "start-sign", "start-digits", "end-digits",
            "income-digits", "end-amount"])
    def test_text_differences_make_objects_unequal(self, pick, change):
        base = pick(parse(document_section(), account_section()))
        other = pick(parse(document_section(**change), account_section(**change)))
        assert base != other and not (base == other)

    def test_account_with_an_extra_interval_differs(self):
        one = parse(account_section()).accounts[NUMBER]
        two = parse(account_section(), account_section(ДатаНачала="01.04.2024")).accounts[NUMBER]
        assert one != two and two != one

    @pytest.mark.parametrize("name", ["Account", "Interval", "Document"])
    def test_foreign_operands_ordering_and_hash(self, objects, name):
        obj = objects[name]
        assert obj != 1 and not (obj == "x") and obj != objects["Statement"]
        with pytest.raises(TypeError):
            obj < obj
        with pytest.raises(TypeError):
            hash(obj)


@pytest.mark.parametrize("text, shown", QUOTED_FORMS)
def test_quoted_text_form(text, shown):
    expected = f'UnrecognizedLine(lineno=7, line="{shown}")'
    assert repr(vexdal_py.UnrecognizedLine(7, text)) == expected


class TestDetailObjects:
    @pytest.mark.parametrize("name, expected", [
        ("UnexpectedSection",
         'UnexpectedSection(lineno=3, found="КонецФайла", context="header")'),
        ("UnexpectedAttribute", 'UnexpectedAttribute(lineno=1, key="k", value="v")'),
        ("UnrecognizedLine", 'UnrecognizedLine(lineno=7, line="abc")'),
        ("MissingField", 'MissingField(lineno=12, field="РасчСчет", context="account")'),
        ("AccountParseError",
         'AccountParseError(lineno=4, message="missing field `ДатаНачала`")'),
        ("DocumentParseError", 'DocumentParseError(lineno=5, message="m")'),
        ("HookError", 'HookError(lineno=6, message="ValueError: boom")'),
    ], ids=DETAILS)
    def test_fields_repr_and_str(self, name, expected):
        args = DETAIL_ARGS[name]
        for obj in (getattr(vexdal_py, name)(*args.values()), detail(name)):
            assert repr(obj) == str(obj) == expected
            assert {field: getattr(obj, field) for field in args} == args
            assert obj.__getnewargs__() == tuple(args.values())

    @pytest.mark.parametrize("name", DETAILS)
    def test_pickle_and_copy(self, name):
        original = detail(name)
        copies = [pickle.loads(pickle.dumps(original, protocol=protocol))
                  for protocol in range(2, pickle.HIGHEST_PROTOCOL + 1)]
        for other in copies + [copy.copy(original), copy.deepcopy(original)]:
            assert type(other) is type(original) and other is not original
            assert other.__getnewargs__() == original.__getnewargs__()
            assert other != original and len({other, original, other}) == 2

    def test_subclass_and_index_arguments_are_stored_as_plain_values(self):
        class Name(str):
            pass

        class Index:
            def __index__(self):
                return 9

        obj = vexdal_py.UnrecognizedLine(Index(), Name("x"))
        assert (type(obj.lineno), type(obj.line), obj.lineno, obj.line) == (int, str, 9, "x")

    def test_lineno_limits(self):
        limit = 2 * sys.maxsize + 1
        assert vexdal_py.HookError(limit, "").lineno == limit
        assert repr(vexdal_py.HookError(limit, "")) == f'HookError(lineno={limit}, message="")'
        with pytest.raises(OverflowError) as info:
            vexdal_py.HookError(limit + 1, "")
        assert str(info.value) == "out of range integral type conversion attempted"
        # Below zero whether or not it fits a long long.
        for negative in (-1, -limit - 1):
            with pytest.raises(OverflowError, match="^can't convert negative value to size_t$"):
                vexdal_py.UnrecognizedLine(negative, "x")
        with pytest.raises(UnicodeEncodeError):
            vexdal_py.UnrecognizedLine(1, "a\ud800")

    @pytest.mark.parametrize("call, message", [
        (lambda: vexdal_py.HookError(1, b"x"),
         "argument 'message': 'bytes' object cannot be converted to 'PyString'"),
        (lambda: vexdal_py.UnexpectedSection(1, "f", None),
         "argument 'context': 'NoneType' object cannot be converted to 'PyString'"),
        (lambda: vexdal_py.UnexpectedAttribute(1, 2, 3),
         "argument 'key': 'int' object cannot be converted to 'PyString'"),
        (lambda: vexdal_py.UnrecognizedLine("1", 2),
         "argument 'lineno': 'str' object cannot be interpreted as an integer"),
    ], ids=["bytes-message", "none-context", "key-before-value", "lineno-first"])
    def test_conversion_errors_name_the_argument(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert (type(info.value), str(info.value)) == (TypeError, message)
        assert type(info.value.__cause__) is TypeError
        assert message.endswith(": " + str(info.value.__cause__))

    @pytest.mark.parametrize("call, message", [
        (lambda: vexdal_py.UnrecognizedLine(lineno=1),
         "UnrecognizedLine.__new__() missing 1 required positional argument: 'line'"),
        (lambda: vexdal_py.UnexpectedSection(1),
         "UnexpectedSection.__new__() missing 2 required positional arguments: 'found' and "
         "'context'"),
        (lambda: vexdal_py.HookError(1, "m", "x"),
         "HookError.__new__() takes 2 positional arguments but 3 were given"),
        (lambda: vexdal_py.HookError(1, "m", text="x"),
         "HookError.__new__() got an unexpected keyword argument 'text'"),
        (lambda: vexdal_py.HookError(1, "m", lineno=2),
         "HookError.__new__() got multiple values for argument 'lineno'"),
    ], ids=["missing-one", "missing-two", "too-many", "unknown-keyword", "repeated"])
    def test_binding_errors(self, call, message):
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message


def test_section_type():
    cls = vexdal_py.SectionType
    assert (cls.__module__, cls.__name__) == ("vexdal_py", "SectionType")
    assert cls.__doc__ == "Тип секции выписки для использования в hooks."
    document, account = cls.Document, cls.Account
    assert type(document) is type(account) is vexdal_py.SectionType
    assert (int(document), int(account)) == (0, 1)
    assert (repr(document), str(account)) == ("SectionType.Document", "SectionType.Account")
    assert vexdal_py.SectionType.Document is document
    assert account == account and account != document and not (account != account)
    assert document != 0 and not (document == 0) and account != 1
    with pytest.raises(TypeError):
        document < account
    with pytest.raises(TypeError):
        {account: 1}
