"""Sessions that check the extension the way the most trusted C libraries check themselves. Each
runs a script under tools/ that builds what it needs under build/ (see README, "Building from
source"):

  nox -s oom        every allocation of a parse failed in turn, in Python and in C++ (sanitizers)
  nox -s refleaks   the suite three times per test on a debug CPython, failing on leaked references
  nox -s coverage   line and branch coverage of src/, ending with one line per folder
  nox -s mutants    mutation testing of src/parser, ending with "mutants: K of N killed (P%)"
"""

import nox


# The scripts make venvs of their own (refleaks needs the debug interpreter, coverage and oom an
# instrumented build), so nox only runs them.
@nox.session(venv_backend="none")
def oom(session):
    session.run("tools/oom.sh", *session.posargs, external=True)


@nox.session(venv_backend="none")
def refleaks(session):
    session.run("tools/refleaks.sh", *session.posargs, external=True)


@nox.session(venv_backend="none")
def coverage(session):
    session.run("tools/coverage.sh", *session.posargs, external=True)


@nox.session
def mutants(session):
    # The Python suite tries the mutants the C++ core test lets live, with this venv's pytest.
    session.install("universalmutator", "pytest>=7", "hypothesis>=6", "tqdm>=4.60", ".")
    session.run("python", "tools/mutants.py", *session.posargs)
