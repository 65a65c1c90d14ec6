"""python3 -m vesksort_native run, and replacing_sorted() in code: programs run as python runs
them, every call to sorted() counted by its path, and differences from the builtin flagged."""

import builtins
import contextlib
import itertools
import json
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

import vesksort_native
from vesksort_native.tally import path_of

from conftest import child_environment

pytestmark = pytest.mark.no_refleak

# Sorts whose paths are known: each native kind met here, reasons for the interpreter, small
# lists, nothing to order. The tests read CASES from the same text.
SORTS = textwrap.dedent('''\
    import sys
    from decimal import Decimal

    spread = [(i * 7919) % 100_003 - 50_000 for i in range(3000)]
    CASES = [
        (spread, {}),
        ([x / 7 for x in spread], {"reverse": True}),
        (spread, {"key": str}),
        ([(x % 10, x) for x in spread], {}),
        (spread, {"key": Decimal}),
        ([float("nan")] + spread, {}),
        (spread[:100], {}),
        (spread[:1], {}),
    ]

    def main():
        for values, options in CASES:
            print(sorted(iter(values), **options)[:3])  # the call site
        print(sys.argv, sys.path[0], __name__, __file__)
        if len(sys.argv) > 1:
            sys.exit(int(sys.argv[1]) if sys.argv[1].isdigit() else sys.argv[1])

    if __name__ == "__main__":
        main()
''')
SORT_LINE = SORTS.splitlines().index("        print(sorted(iter(values), **options)[:3])  "
                                     "# the call site") + 1

ENDINGS = {
    "raising key": "sorted(range(300), key=lambda v: 1 // (v - 150))\n",
    "exit status": "import sys\nsorted(range(300))\nsys.exit(4)\n",
    "exit message": "import sys\nsorted(range(300))\nsys.exit('bye')\n",
}

THREADS = textwrap.dedent('''\
    import threading
    barrier = threading.Barrier(4)

    def work(seed):
        barrier.wait()
        for i in range(50):
            sorted([(j * 7919 + seed) % 4099 for j in range(300 + i)])
            sorted([b"%d" % (j % 7) for j in range(2)])

    threads = [threading.Thread(target=work, args=(seed,)) for seed in range(4)]
    for thread in threads:
        thread.start()
    print("started")
''')


def python(*arguments, cwd):
    return subprocess.run([sys.executable, *arguments], capture_output=True, text=True,
                          timeout=300, check=False, cwd=cwd, env=child_environment())


def run(tmp_path, *arguments, cwd=None):
    """`run` with its report and JSON in files; (completed process, JSON report)."""
    report = tmp_path / "report.json"
    completed = python("-m", "vesksort_native", "run", "--report", str(tmp_path / "report.txt"),
                       "--json", str(report), *arguments, cwd=cwd or tmp_path)
    return completed, json.loads(report.read_text())


def expected_paths(cases):
    paths = {}
    for values, options in cases:
        path, kind = path_of(vesksort_native.explain(values, **options)[1])
        entry = paths.setdefault(path, {"kind": kind, "calls": 0, "elements": 0})
        entry["calls"] += 1
        entry["elements"] += len(values)
    return paths


def counts(report):
    return {path: {name: entry[name] for name in ("kind", "calls", "elements")}
            for path, entry in report["paths"].items()}


@pytest.mark.parametrize("check", [False, True], ids=["run", "check"])
@pytest.mark.parametrize("how", ["script", "module"])
@pytest.mark.parametrize("argv", [[], ["5"], ["bye", "--check"]],
                         ids=["no arguments", "exit 5", "exit message"])
def test_known_sorts(tmp_path, how, check, argv):
    (tmp_path / "sorts.py").write_text(SORTS)
    target = [str(tmp_path / "sorts.py")] if how == "script" else ["-m", "sorts"]
    plain = python(*target, *argv, cwd=tmp_path)
    completed, report = run(tmp_path, *(["--check"] if check else []), *target, *argv)
    assert (completed.stdout, completed.stderr, completed.returncode) == (
        plain.stdout, plain.stderr, plain.returncode)
    assert plain.returncode == {0: 0, 1: 5, 2: 1}[len(argv)]

    namespace = {}
    exec(SORTS, namespace)
    paths = expected_paths(namespace["CASES"])
    assert len({path for path, entry in paths.items() if entry["kind"] == "native"}) >= 4
    assert {"interpreter", "small lists"} <= {entry["kind"] for entry in paths.values()}
    assert counts(report) == paths
    assert report["calls"] == sum(entry["calls"] for entry in report["paths"].values()) == 8
    assert report["elements"] == sum(len(values) for values, _ in namespace["CASES"])
    native = sum(entry["elements"] for entry in paths.values() if entry["kind"] == "native")
    assert report["native_share"] == pytest.approx(native / report["elements"])
    site = f"{tmp_path / 'sorts.py'}:{SORT_LINE}"
    assert sorted((s["site"], s["reason"], s["elements"]) for s in report["interpreter_sites"]) == \
        sorted((site, path.removeprefix("interpreter: "), entry["elements"])
               for path, entry in paths.items()
               if entry["kind"] != "native" and path != "nothing to order")
    assert report["differences"] == [] and ("builtin_seconds" in report) == check
    assert "list.sort()" in report["note"]
    text = (tmp_path / "report.txt").read_text()
    assert all(path in text for path in paths) and "list.sort()" in text


@pytest.mark.parametrize("check", [False, True], ids=["run", "check"])
@pytest.mark.parametrize("ending", ENDINGS)
def test_output_and_exit_status_as_python(tmp_path, ending, check):
    script = tmp_path / "ending.py"
    script.write_text("print('before')\n" + ENDINGS[ending])
    plain = python(str(script), cwd=tmp_path)
    completed, report = run(tmp_path, *(["--check"] if check else []), str(script))
    assert (completed.stdout, completed.stderr, completed.returncode) == (
        plain.stdout, plain.stderr, plain.returncode)
    assert plain.returncode == {"raising key": 1, "exit status": 4, "exit message": 1}[ending]
    assert counts(report) == (
        {"exception: ZeroDivisionError": {"kind": "exception", "calls": 1, "elements": 0}}
        if ending == "raising key" else expected_paths([(range(300), {})]))


def test_report_on_stderr(tmp_path):
    (tmp_path / "sorts.py").write_text(SORTS)
    completed = python("-m", "vesksort_native", "run", "sorts.py", cwd=tmp_path)
    assert completed.returncode == 0
    report = completed.stderr.splitlines()
    assert report[0] == "vesksort_native: the calls to sorted(), by the path they took"
    assert any(line.endswith("of the elements ordered natively") for line in report)
    assert any(line.startswith(f"  {tmp_path / 'sorts.py'}:{SORT_LINE}: ") and
               line.endswith("a key that is not an exact int or float") for line in report)
    assert report[-1].startswith("list.sort() is not counted")


@pytest.mark.parametrize("check", [False, True], ids=["run", "check"])
def test_threads_sorting_at_once(tmp_path, check):
    (tmp_path / "threads.py").write_text(THREADS)
    completed, report = run(tmp_path, *(["--check"] if check else []), "threads.py")
    assert (completed.stdout, completed.returncode) == ("started\n", 0)
    assert report["calls"] == 4 * 50 * 2
    assert sum(entry["elements"] for entry in report["paths"].values()) == report["elements"] \
        == 4 * (sum(range(300, 350)) + 50 * 2)
    assert report["paths"]["interpreter: fewer than 8 items"]["calls"] == 200


def test_planted_difference_flagged(tmp_path):
    script = tmp_path / "planted.py"
    script.write_text("import random\nvalues = list(range(1000))\n"
                      "shuffled = sorted(values, key=lambda v: random.random())\n"
                      "print('end', len(shuffled))\n")
    completed, report = run(tmp_path, "--check", str(script))
    assert (completed.stdout, completed.returncode) == ("end 1000\n", 3)
    assert f"sorted() at {script}:3 differs from the builtin" in completed.stderr
    assert "not deterministic" in completed.stderr
    [difference] = report["differences"]
    assert (difference["site"], difference["calls"]) == (f"{script}:3", 1)
    assert "not deterministic" in difference["message"]
    unchecked, _ = run(tmp_path, str(script))
    assert (unchecked.stdout, unchecked.stderr, unchecked.returncode) == ("end 1000\n", "", 0)


@pytest.mark.parametrize("arguments, status, text", [
    (["--help"], 0, "twice per item"),
    ([], 2, "no program to run"),
    (["-m"], 2, "argument expected for the -m option"),
    (["missing.py"], 2, "can't open file"),
])
def test_command_line(tmp_path, arguments, status, text):
    completed = python("-m", "vesksort_native", "run", *arguments, cwd=tmp_path)
    assert completed.returncode == status
    assert text in (completed.stdout + completed.stderr).replace("\n", " ").replace("  ", " ")


@pytest.mark.parametrize("ending", ["returns", "raises", "exits"])
@pytest.mark.parametrize("check", [False, True], ids=["run", "check"])
def test_context_manager_restores_sorted(ending, check):
    builtin = builtins.sorted
    values = [(i * 7919) % 100_003 for i in range(1000)]
    expected = {"raises": pytest.raises(ValueError), "exits": pytest.raises(SystemExit),
                "returns": contextlib.nullcontext()}[ending]
    with expected, vesksort_native.replacing_sorted(check=check) as tally:
        assert builtins.sorted is not builtin
        assert sorted(values) == builtin(values)
        assert sorted(values[:10], key=str) == builtin(values[:10], key=str)
        if ending == "raises":
            sorted(values, key=lambda v: int("x"))
        if ending == "exits":
            sys.exit(2)
    assert builtins.sorted is builtin
    assert tally.calls == (3 if ending == "raises" else 2)
    assert counts(tally.as_dict()) == {
        **expected_paths([(values, {}), (values[:10], {"key": str})]),
        **({"exception: ValueError": {"kind": "exception", "calls": 1, "elements": 1000}}
           if ending == "raises" else {})}
    assert tally.differences == []


def test_context_manager_check_keeps_differences():
    told = []
    calls = itertools.count()
    with vesksort_native.replacing_sorted(check=True, on_difference=told.append) as tally:
        for _ in range(3):
            # Every other pass over the items flips the order: the builtin's pass is second.
            sorted(range(500), key=lambda v: v if next(calls) // 500 % 2 else -v)  # flips
    [difference] = tally.differences
    assert told == [difference] and difference.calls == 3
    source = Path(__file__).read_text().splitlines()
    line = next(number for number, text in enumerate(source, 1) if text.endswith("  # flips"))
    assert difference.site == f"{__file__}:{line}"
    assert difference.message.startswith("position 0 of 500 holds 499, where sorted() has 0")
