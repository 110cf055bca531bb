"""The type stubs installed beside the module: they agree with it, and mypy accepts typed use and
refuses misuse."""

import ast
import builtins
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import pytest

import vexdal_py

ROOT = Path(__file__).resolve().parents[1]
EXAMPLE = ROOT / "examples" / "statement.txt"
# What type checkers read: the stub-only package next to the installed module.
STUB = Path(vexdal_py.__file__).with_name("vexdal_py-stubs") / "__init__.pyi"
STRICT_FILES = [Path(__file__).with_name("typing") / "usage.py",
                *sorted((ROOT / "examples").glob("*.py"))]

MISUSE_PREAMBLE = """\
from __future__ import annotations
from collections.abc import Hashable
from decimal import Decimal
import vexdal_py
from vexdal_py import SectionType
statement = vexdal_py.parse(b"")
doc = statement.documents[0]
interval = statement.accounts[""].intervals[0]
def hook(section_type: SectionType, attrs: dict[str, str], header: dict[str, str]) -> None: ...
def either() -> bytes | str: return b""
"""
# Code that runs into a refusal or a None at run time, with the error code mypy must give it.
MISUSES = {
    "misspelt-attribute": ("doc.ammount", "attr-defined"),
    "optional-field-as-text": ("Decimal(doc.payment_type)", "arg-type"),
    "read-only-attribute": ('doc.amount = "1"', "misc"),
    "no-constructor": ("vexdal_py.Document()", "call-arg"),
    "final-class": ("class Mine(vexdal_py.Account): pass", "misc"),
    "bytearray-statement": ("vexdal_py.parse(bytearray())", "arg-type"),
    "hooks-in-a-set": ('vexdal_py.parse(b"", hooks={hook})', "arg-type"),
    "hook-of-two-arguments": ('vexdal_py.parse(b"", [lambda section_type, attrs: None])',
                              "list-item"),
    # Checked only while parse() has one signature: against an overload for bytes and one for
    # str, a `bytes | str` argument leaves the lambda's arguments untyped.
    "lambda-hook-misuses-attrs": ("vexdal_py.parse(either(), [lambda t, attrs, h: attrs.pop(1)])",
                                  "call-overload"),
    "detail-not-narrowed": ('vexdal_py.SyntaxError("x").detail.line', "union-attr"),
    "detail-on-any-parse-error": ('vexdal_py.ParseError("x").detail', "attr-defined"),
    "lineno-as-text": ('vexdal_py.UnrecognizedLine("7", "abc")', "arg-type"),
    "record-as-hashable": ("key: Hashable = interval", "assignment"),
    "ordered-section-types": ("vexdal_py.SectionType.Account < vexdal_py.SectionType.Document",
                              "operator"),
}

MYPY_LINE = re.compile(r"(?P<path>.+?):(?P<line>\d+): error: (?P<message>.*?)"
                       r"(?:  \[(?P<code>[a-z-]+)\])?$")


def mypy_version():
    from mypy.version import __version__
    return tuple(int(part) for part in re.findall(r"\d+", __version__)[:2])


@pytest.fixture(scope="module")
def mypy(tmp_path_factory):
    """Runs `mypy --strict` in this process; returns (path, line, message, code) per error."""
    # A mypy that cannot run on this interpreter fails here too (1.19 on PyPy lacks librt).
    pytest.importorskip("mypy.main")
    from mypy import api

    # One cache for the module's runs: building it for the standard library is most of a run.
    cache = tmp_path_factory.mktemp("mypy-cache")
    # Older mypy takes bytearray and memoryview for bytes unless told otherwise.
    strict_bytes = ["--strict-bytes"] if mypy_version() >= (1, 15) else []

    def run(*paths):
        stdout, stderr, _ = api.run(["--strict", *strict_bytes, "--config-file=",
                                     "--cache-dir", str(cache), "--no-error-summary",
                                     *map(str, paths)])
        assert stderr == ""
        errors = [MYPY_LINE.match(line) for line in stdout.splitlines() if ": error: " in line]
        assert None not in errors, stdout
        return [(Path(e["path"]).resolve(), int(e["line"]), e["message"], e["code"])
                for e in errors]

    return run


@pytest.fixture(scope="module")
def strict_errors(mypy):
    return mypy(*STRICT_FILES)


@pytest.mark.parametrize("path", STRICT_FILES, ids=[path.name for path in STRICT_FILES])
def test_strict_mypy_accepts_typed_use(strict_errors, path):
    errors = [error for error in strict_errors if error[0] == path]
    for _, _, message, code in errors:
        module = re.search(r'"([\w.]+)"', message)
        if code not in ("import-not-found", "import-untyped"):
            continue
        if importlib.util.find_spec(module[1].split(".")[0]) is None:
            pytest.skip(f"needs {module[1]}, which is not installed")
        # The package is there without types of its own: pandas without pandas-stubs. What the
        # example does with it is then unchecked, not wrong.
        if code == "import-untyped":
            pytest.skip(f"needs type stubs for {module[1]}, which are not installed")
    assert not errors, "\n".join(f"{path.name}:{line}: {message}" for _, line, message, _ in errors)


@pytest.fixture(scope="module")
def misuse_errors(mypy, tmp_path_factory):
    """mypy's error codes for each misuse, all in one file, and the errors of other lines."""
    path = tmp_path_factory.mktemp("misuse") / "misuse.py"
    path.write_text(MISUSE_PREAMBLE + "".join(code + "\n" for code, _ in MISUSES.values()),
                    encoding="utf-8")
    lines = dict(enumerate(MISUSES, MISUSE_PREAMBLE.count("\n") + 1))
    errors = mypy(path)
    codes = {name: {code for _, at, _, code in errors if at == line}
             for line, name in lines.items()}
    return codes, [f"{at}: {message}" for _, at, message, _ in errors if at not in lines]


def test_misuse_preamble_is_clean(misuse_errors):
    assert misuse_errors[1] == []


@pytest.mark.parametrize("name", MISUSES)
def test_mypy_refuses_misuse(misuse_errors, name):
    if name == "bytearray-statement" and mypy_version() < (1, 15):
        pytest.skip("mypy before 1.15 takes bytearray for bytes")
    assert MISUSES[name][1] in misuse_errors[0][name]


def test_stubtest_finds_the_stubs_consistent():
    # Skips on PyPy, which has no _symtable for stubtest.
    pytest.importorskip("mypy.stubtest")
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--concise", "vexdal_py"],
                          capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr


# ---- What stubtest cannot see: the types of values, dunders, bases and refusals ------------------

TREE = ast.parse(STUB.read_text(encoding="utf-8"))
CLASSES = {node.name: node for node in TREE.body if isinstance(node, ast.ClassDef)}
ALIASES = {node.target.id: node.value for node in TREE.body
           if isinstance(node, ast.AnnAssign) and node.value is not None}
# Left to object's declarations or said another way: the representation; the refusal to set or
# delete attributes (read-only properties) and to subclass (@final); and the ordering methods
# that come with `==`, which return NotImplemented so that `<` raises TypeError. Also the slots
# for an instance dict and weak references, which exception classes have and PyPy adds to every
# class of a C extension.
# __slotnames__ is what copyreg leaves on a class it pickled an instance of, on Python 3.9.
UNDECLARED = {"__doc__", "__module__", "__dict__", "__weakref__", "__repr__", "__setattr__",
              "__delattr__", "__init_subclass__", "__lt__", "__le__", "__gt__", "__ge__",
              "__slotnames__"}


def is_property(node):
    return any(isinstance(d, ast.Name) and d.id == "property" for d in node.decorator_list)


def properties(cls_name):
    return {node.name: node.returns for node in CLASSES[cls_name].body
            if isinstance(node, ast.FunctionDef) and is_property(node)}


def class_variables(cls_name):
    """Annotated names of the class body: ClassVar ones and instance attributes."""
    return {node.target.id: node.annotation for node in CLASSES[cls_name].body
            if isinstance(node, ast.AnnAssign)}


def is_class_var(annotation):
    return isinstance(annotation, ast.Subscript) and annotation.value.id == "ClassVar"


def conforms(value, annotation, seen_none):
    """Whether value has the stub's type; the module's objects are checked attribute by
    attribute, and each optional attribute found None is added to seen_none."""
    if isinstance(annotation, ast.BinOp):
        return any(conforms(value, side, seen_none) for side in (annotation.left, annotation.right))
    if isinstance(annotation, ast.Constant):
        return value is None
    if isinstance(annotation, ast.Name):
        if annotation.id in ALIASES:
            return conforms(value, ALIASES[annotation.id], seen_none)
        if annotation.id not in CLASSES:
            return type(value) is getattr(builtins, annotation.id)
        if type(value) is not getattr(vexdal_py, annotation.id):
            return False
        for name, returns in properties(annotation.id).items():
            attribute = getattr(value, name)
            assert conforms(attribute, returns, seen_none), (
                f"{annotation.id}.{name} is {attribute!r}, not {ast.unparse(returns)}")
            if attribute is None:
                seen_none.add(f"{annotation.id}.{name}")
        return True
    origin, args = annotation.value.id, annotation.slice
    args = args.elts if isinstance(args, ast.Tuple) else [args]
    if origin == "list":
        return type(value) is list and all(conforms(item, args[0], seen_none) for item in value)
    if origin == "dict":
        return type(value) is dict and all(
            conforms(key, args[0], seen_none) and conforms(item, args[1], seen_none)
            for key, item in value.items())
    assert origin == "tuple", ast.unparse(annotation)
    return type(value) is tuple and len(value) == len(args) and all(
        conforms(item, arg, seen_none) for item, arg in zip(value, args))


def edited(key, value):
    """A hook that removes key (value None) or sets it to value, in sections that have it."""
    def hook(section_type, attrs, header):
        if key in attrs and value is None:
            del attrs[key]
        elif key in attrs:
            attrs[key] = value
    return hook


def test_annotations_hold_for_what_parse_returns():
    # The example's sections carry every key the records read. With each key in turn removed
    # and blanked, every optional attribute turns None somewhere, and a required one never
    # does: its section is skipped, or the parse fails with a detail.
    data = EXAMPLE.read_bytes()
    keys = []
    vexdal_py.parse(data, [lambda section_type, attrs, header: keys.extend(attrs)])
    seen_none = set()
    detail = class_variables("SyntaxError")["detail"]
    for key in dict.fromkeys(keys):
        for value in (None, ""):
            try:
                statement = vexdal_py.parse(data, [edited(key, value)])
            except vexdal_py.SyntaxError as error:
                assert conforms(error.detail, detail, seen_none), repr(error.detail)
            else:
                assert conforms(statement, ast.Name("Statement"), seen_none)
    optional = {f"{cls_name}.{name}" for cls_name in CLASSES
                for name, returns in properties(cls_name).items()
                if "None" in ast.unparse(returns)}
    assert seen_none == optional


@pytest.mark.parametrize("name", CLASSES)
def test_classes_declare_what_the_module_defines(name):
    runtime = getattr(vexdal_py, name)
    node = CLASSES[name]
    assert [base.__name__ for base in runtime.__bases__] == (
        [base.id for base in node.bases] or ["object"])
    variables = class_variables(name)
    declared = {child.name for child in node.body if isinstance(child, ast.FunctionDef)}
    declared |= {n for n, annotation in variables.items() if is_class_var(annotation)}
    assert declared == set(vars(runtime)) - UNDECLARED
    for member, annotation in variables.items():
        if is_class_var(annotation):
            assert conforms(vars(runtime)[member], annotation.slice, set()), member
    try:
        type("Child", (runtime,), {})
    except TypeError:
        subclassable = False
    else:
        subclassable = True
    assert any(getattr(d, "id", "") == "final" for d in node.decorator_list) != subclassable
    # Classes that make no instances of their own take an argument of type Never in the stub.
    new = next((c for c in node.body if getattr(c, "name", "") == "__new__"), None)
    takes_never = new is not None and any(
        getattr(arg.annotation, "id", "") == "Never" for arg in new.args.posonlyargs)
    try:
        runtime.__new__(runtime)
    except TypeError as error:
        refused = str(error).startswith("cannot create ")
    else:
        refused = False
    assert takes_never == refused


# The modules of the vexdal package that are checked strictly here, as installed beside the module
# (by name: a path inside site-packages would make mypy take the libraries around it for the
# user's own modules). What they import is followed silently, so that the Arrow modules (tables,
# many, dask, cli.dataset), which call into optional libraries without type information, do
# not count here.
STRICT_MODULES = ["vexdal", "vexdal.model", "vexdal.writing", "vexdal.charsets", "vexdal.money",
                  "vexdal.orders", "vexdal.requisites", "vexdal.cli.command", "vexdal.cli.export", "vexdal.cli.files",
                  "vexdal.cli.summary", "vexdal.cli.check", "vexdal.cli.reconcile"]


def test_strict_mypy_accepts_the_vexdal_package(mypy):
    errors = mypy("--follow-imports=silent", *(f"-m{name}" for name in STRICT_MODULES))
    assert not errors, "\n".join(f"{path.name}:{line}: {message}"
                                 for path, line, message, _ in errors)
