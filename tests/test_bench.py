"""The benchmark command runs on tiny lists and writes its figures in the documented shape.

Only the structure is checked: timings depend on the machine and are never asserted.
"""

import importlib
import json
import sys
from pathlib import Path

import pytest

BENCHMARKS = Path(__file__).resolve().parent.parent / "benchmarks"

ROW_KEYS = {"distribution", "label", "n", "group", "path", "drop_in", "strategy", "best_s",
            "median_s", "runs", "ns_per_element", "spread"}


@pytest.fixture(scope="module")
def bench():
    sys.path.insert(0, str(BENCHMARKS))
    try:
        return importlib.import_module("bench")
    finally:
        sys.path.remove(str(BENCHMARKS))


@pytest.fixture(scope="module")
def report(bench, tmp_path_factory):
    out = tmp_path_factory.mktemp("bench")
    bench.main(["--sizes", "3000", "--dist", "rand64,floats", "--rounds", "1", "--out",
                str(out), "--no-plot", "--quiet", "--no-small"])
    return json.loads((out / "bench.json").read_text())


def test_report_sections(report):
    assert set(report) == {"machine", "config", "noise", "results", "growth", "small", "goals"}
    assert report["small"] is None
    assert report["config"]["sizes"] == [3000]
    assert report["config"]["distributions"] == ["rand64", "floats"]
    assert set(report["noise"]) == {"median_spread", "max_spread"}


def test_every_path_of_every_distribution_is_a_row(bench, report):
    paths = bench.build_paths(report["config"]["drop_in"])
    for distribution, all_ints in (("rand64", True), ("floats", False)):
        got = {r["path"] for r in report["results"] if r["distribution"] == distribution}
        want = {p.name for p in paths if all_ints or not p.ints_only}
        assert got == want
    for row in report["results"]:
        assert ROW_KEYS <= set(row)
        assert row["n"] == 3000 and row["best_s"] > 0 and row["runs"] >= 1


@pytest.mark.parametrize(("distribution", "path", "strategy"), [
    ("rand64", "unkeyed copy", "radix nativo: 6 passagens"),
    ("rand64", "keyed direct", "protótipo keyed-int64: radix nativo compacto, 6 passagens"),
    ("floats", "unkeyed copy", "timsort: amostra incompatível com int64"),
])
def test_rows_carry_ratio_and_strategy(report, distribution, path, strategy):
    (row,) = [r for r in report["results"]
              if r["distribution"] == distribution and r["path"] == path]
    assert row["strategy"] == strategy
    assert row["baseline"] in {"sorted()", "sorted(key)"} and row["ratio"] > 0
    assert row["paired_ratio"] > 0


def test_small_lists_section(bench, report, capsys):
    drop_in = report["config"]["drop_in"]
    small = bench.measure_small(drop_in, sizes=(0, 10), elements=50, rounds=2, min_rounds=1)
    calls = {c.name for c in bench.SMALL_CALLS if drop_in or not c.needs_drop_in}
    assert {(e["call"], e["n"]) for e in small["results"]} == {(c, n) for c in calls
                                                               for n in (0, 10)}
    for e in small["results"]:
        assert e["lists"] == bench.small_batch_lists(e["n"], 50) and 1 <= e["rounds"] <= 2
        assert e["ratio"] > 0 and e["median_ratio"] > 0
    checks = bench.small_goals(small)
    assert [c["value"] for c in checks] == [e["median_ratio"] for e in small["results"]]
    assert {c["target"] for c in checks} == {1.10, 1.05}
    bench.print_small(small)
    assert "sort_in_place(v)" in capsys.readouterr().out


def test_native_rows_have_a_kernel_limit_when_it_was_built(report):
    native = [r for r in report["results"]
              if r["distribution"] == "rand64" and r["path"] == "unkeyed copy"]
    if not report["config"]["kernel_limit"]:
        pytest.skip("no C++ compiler: the kernel-only limit was left out")
    (row,) = native
    assert row["kernel"] == {"algorithm": "radix", "passes": 6}
    assert set(row["limit_parts"]) == {"copy", "scan", "order", "write_back"}
    assert row["limit_ns_per_element"] == pytest.approx(sum(row["limit_parts"].values()))


def test_fallback_rows_are_checked_against_the_three_percent_goal(report):
    goals = [g["goal"] for g in report["goals"]]
    assert any("floats" in g and "unkeyed copy" in g and "3%" in g for g in goals)


# Patching the module's os and platform grows the interpreter's own tables on every run.
@pytest.mark.no_refleak
@pytest.mark.parametrize(("argv", "tunables", "restarts"), [
    ([], None, True),
    (["--sizes", "1e3"], "glibc.malloc.arena_max=2", True),
    (["--cold-memory"], None, False),
])
def test_restart_with_warm_memory(bench, monkeypatch, argv, tunables, restarts):
    calls = []
    monkeypatch.setattr(bench.os, "execve", lambda *args: calls.append(args))
    monkeypatch.setattr(bench.platform, "libc_ver", lambda: ("glibc", "2.41"))
    environ = {"HOME": "/root"} if tunables is None else {"GLIBC_TUNABLES": tunables}
    assert bench.memory_mode(environ) == "cold"
    bench.restart_with_warm_memory(argv, environ)
    if not restarts:
        assert calls == []
        return
    ((executable, arguments, environment),) = calls
    assert executable == sys.executable
    assert arguments[2:] == argv
    assert environment["GLIBC_TUNABLES"].split(":")[-2:] == bench.WARM_MEMORY_TUNABLES.split(":")
    if tunables:
        assert environment["GLIBC_TUNABLES"].startswith(tunables + ":")
    else:
        assert environment["HOME"] == "/root"
    assert bench.memory_mode(environment) == "warm"
    bench.restart_with_warm_memory(argv, environment)
    assert len(calls) == 1


def test_report_states_the_memory_mode(report, bench):
    assert report["config"]["memory"] == bench.memory_mode()


@pytest.mark.parametrize(("ratio", "paired_ratio", "met"), [
    (0.80, 0.99, True),  # an unlucky best time alone does not fail a fallback
    (1.20, 0.95, False),  # a lucky one alone does not pass it
    (0.97, 1 / 1.03, True),
])
def test_fallback_goal_takes_the_median_of_per_round_ratios(bench, ratio, paired_ratio, met):
    row = {"n": 10**5, "label": "floats", "path": "unkeyed copy", "baseline": "sorted()",
           "strategy": "timsort: amostra incompatível com int64", "distribution": "floats",
           "ratio": ratio, "paired_ratio": paired_ratio}
    (check,) = bench.goals([row], [])
    assert check["value"] == paired_ratio and check["met"] is met
    assert "median of per-round ratios" in check["goal"]
