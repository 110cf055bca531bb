"""pytest --refleaks: on a debug build of CPython, each test runs three times in a row and fails if
the interpreter's total reference count grew between the end of the second run and the end of the
third. The first run fills caches (interned strings, type caches, lazily imported modules) and the
second shows what a steady state holds; a reference dropped by mistake on any path a test takes
shows as growth on every run after that, so one more run is enough to see it.

Property tests run the same examples in each of the three runs (Hypothesis derandomized, without
its example database), and the caches Hypothesis fills with the strategies a test builds as it
runs are emptied before each count, as the interpreter's are.

tools/refleaks.sh builds the module against the debug interpreter and runs the suite this way.
"""

import fnmatch
import functools
import gc
import linecache
import re
import sys

import pytest
from _pytest.runner import CallInfo, runtestprotocol

RUNS = 3


def pytest_addoption(parser):
    parser.addoption(
        "--refleaks", action="store_true",
        help=f"run each test {RUNS} times and fail it when the total reference count grows "
             "from the second run to the last (needs a debug build of CPython)")


# Last, after Hypothesis's own plugin has loaded the profile asked for.
@pytest.hookimpl(trylast=True)
def pytest_configure(config):
    if not config.getoption("refleaks"):
        return
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError(
            "--refleaks needs a debug build of CPython (sys.gettotalrefcount), "
            f"not {sys.executable}")
    # The same profile, derandomized and without the example database: each run of a property
    # test tries the same examples, so that its counts compare like with like. A test's own
    # settings still win.
    from hypothesis import settings

    name = f"{settings.get_current_profile_name()}-for-refleaks"
    settings.register_profile(name, derandomize=True, database=None)
    settings.load_profile(name)
    config.pluginmanager.register(RefleakRunner(), "refleak-runner")


def clear_caches():
    """Empties the interpreter's caches that fill with each new name a test makes (its temporary
    paths, patterns built from them), as regrtest does between runs: growing with every run, they
    would pass for leaks."""
    re.purge()
    fnmatch._compile_pattern.cache_clear()
    linecache.clearcache()
    sys.path_importer_cache.clear()
    sys._clear_type_cache()
    clear_hypothesis_caches()


def clear_hypothesis_caches():
    """A property test that builds strategies from what it has made in the run
    (st.lists(st.sampled_from(model.sections))) leaves with Hypothesis, for every example, an
    entry in its strategy cache, which keeps the strategy and so the model alive until 1,024 newer
    ones push it out, and a coverage tag for the new label such a strategy gets from the hashes of
    its elements, kept for good. Both grow with every run of the test; neither is ours."""
    strategies = sys.modules.get("hypothesis.strategies._internal.utils")
    if strategies is not None:
        strategies.clear_strategy_cache()
    conjecture = sys.modules.get("hypothesis.internal.conjecture.data")
    if conjecture is not None:
        conjecture.STRUCTURAL_COVERAGE_CACHE.clear()


def drop_finished_finalizers(item):
    """pytest leaves on every wider fixture a test's fixtures depend on (tmp_path on
    tmp_path_factory) a call to finish each of them, kept until the wider one goes, although they
    were finished with the test: one more set of objects each run, which would pass for a leak."""
    for fixturedefs in item._fixtureinfo.name2fixturedefs.values():
        for fixturedef in fixturedefs:
            finalizers = getattr(fixturedef, "_finalizers", None)
            if finalizers:
                finalizers[:] = [
                    finalizer for finalizer in finalizers
                    if not (isinstance(finalizer, functools.partial)
                            and getattr(finalizer.keywords.get("request"), "node", None) is item)]


def total_references():
    clear_caches()
    # Cycles a test leaves behind are garbage, not leaks: collect them before counting.
    gc.collect()
    return sys.gettotalrefcount()


class RefleakRunner:
    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item, nextitem):
        item.ihook.pytest_runtest_logstart(nodeid=item.nodeid, location=item.location)
        failed = None
        reports = []
        # Filled in place: appending would keep one more int alive after every count.
        totals = [0] * RUNS
        for run in range(1, RUNS + 1):
            # Module and class fixtures stay up between the runs of one test (the next item named
            # to teardown is the test's own parent), so that what they hold is not counted; they
            # come down only after the last count.
            # Captured output of every run would pile up on the item and look like a leak.
            item._report_sections = []
            # The reports of the run before are dropped only now, so that each count is taken
            # with one run's reports alive.
            reports = runtestprotocol(item, nextitem=item.parent, log=False)
            drop_finished_finalizers(item)
            if failed is None and not all(report.passed for report in reports):
                failed = reports
            totals[run - 1] = total_references()
        # What the runner's own teardown does for the scopes above the test.
        teardown = item.ihook.pytest_runtest_makereport(item=item, call=CallInfo.from_call(
            lambda: item.session._setupstate.teardown_exact(nextitem), when="teardown"))
        if not teardown.passed:
            reports.append(teardown)
        if failed is None:
            growth = totals[-1] - totals[-2]
            if growth > 0:
                call = next(report for report in reports if report.when == "call")
                call.outcome = "failed"
                call.longrepr = (f"{item.nodeid} leaked {growth} references in its last run "
                                 f"(total reference count after each run: {totals})")
        for report in failed or reports:
            item.ihook.pytest_runtest_logreport(report=report)
        item.ihook.pytest_runtest_logfinish(nodeid=item.nodeid, location=item.location)
        return True
