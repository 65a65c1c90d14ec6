"""Reference-leak accounting for pytest under a debug interpreter (``-p refleak``).

Each test function is called ``--refleak-warmups`` times to fill caches, then
``--refleak-runs`` times more while the changes of ``sys.gettotalrefcount()`` and
``sys.getallocatedblocks()`` across each call are recorded. As in CPython's own leak hunt,
a test leaks when every one of its measured runs grows either figure: a cache filled once
shows as one non-zero delta followed by zeros, a leak as growth on every run. A test that
grows on every run is counted as many times again, and fails, named with its deltas, where
the same figure grows on every one of those runs too. Tests marked ``no_refleak`` run once,
without accounting.

Hypothesis grows caches of its own on every search, so a property test is searched once,
unaccounted, with its examples recorded; the warm-up and counted runs then call the test's
body on exactly those examples.
"""

import gc
import sys

import pytest


def pytest_addoption(parser):
    group = parser.getgroup("refleak")
    group.addoption("--refleak-warmups", type=int, default=3, help="uncounted runs (3)")
    group.addoption("--refleak-runs", type=int, default=3, help="counted runs (3)")


def pytest_configure(config):
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("-p refleak needs a debug interpreter (sys.gettotalrefcount)")
    config._refleak_checked = []
    config._refleak_examples = 0


def pytest_collection_finish(session):
    # Everything alive now (modules, collected tests, Hypothesis) outlives the runs: out of
    # the collector's way, the many collections of the accounting stay cheap.
    gc.collect()
    gc.freeze()


def _snapshot():
    gc.collect()
    gc.collect()
    return sys.gettotalrefcount(), sys.getallocatedblocks()


def _replay_of_search(function, arguments, config):
    """Runs the property search once and returns a callable that replays its examples."""
    handle = function.hypothesis
    body = handle.inner_test
    examples = []

    def recording_body(*args, **kwargs):
        examples.append((args, kwargs))
        return body(*args, **kwargs)

    handle.inner_test = recording_body
    try:
        function(**arguments)
    finally:
        handle.inner_test = body
    config._refleak_examples += len(examples)

    def replay(**_):
        for args, kwargs in examples:
            body(*args, **kwargs)

    return replay


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem):
    if pyfuncitem.get_closest_marker("no_refleak"):
        return None
    config = pyfuncitem.config
    function = pyfuncitem.obj
    arguments = {name: pyfuncitem.funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}
    if getattr(function, "is_hypothesis_test", False):
        function = _replay_of_search(function, arguments, config)
    for _ in range(config.getoption("--refleak-warmups")):
        function(**arguments)
    # What earlier tests left alive for good (imported libraries, caches) is frozen too, so
    # that the collections of the counted runs do not walk it again for every test.
    gc.collect()
    gc.freeze()
    runs = config.getoption("--refleak-runs")
    leaking = _growing(function, arguments, runs)
    if leaking:
        # A cache that the interpreter fills now and then can grow on every run by chance; a
        # leak grows on every run of a second count too.
        again = _growing(function, arguments, runs)
        leaking = {name: f"{deltas}, then {again[name]}" for name, deltas in leaking.items()
                   if name in again}
    config._refleak_checked.append(pyfuncitem.nodeid)
    if leaking:
        pytest.fail("leak: " + "; ".join(f"{name} deltas {deltas}"
                                         for name, deltas in leaking.items()), pytrace=False)
    return True


def _growing(function, arguments, runs):
    """The figures that grew on every one of `runs` counted calls, with their deltas."""
    references, blocks = [], []
    for _ in range(runs):
        before = _snapshot()
        function(**arguments)
        after = _snapshot()
        references.append(after[0] - before[0])
        blocks.append(after[1] - before[1])
    return {name: deltas
            for name, deltas in (("references", references), ("memory blocks", blocks))
            if all(delta > 0 for delta in deltas)}


def pytest_terminal_summary(terminalreporter, config):
    checked = len(config._refleak_checked)
    warmups = config.getoption("--refleak-warmups")
    runs = config.getoption("--refleak-runs")
    terminalreporter.write_line(
        f"refleak: {checked} tests run {warmups} + {runs} times each with leak accounting"
        f" (property tests on {config._refleak_examples} recorded examples)"
    )
