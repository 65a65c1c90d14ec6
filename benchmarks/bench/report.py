"""What the benchmark prints: the table at the reference length, the growth of ns per element
with n, the small-list speed-ups and the goals; and where the figures come from (the machine,
the commit)."""

import os
import platform
import statistics
import subprocess
from pathlib import Path

from .goals import headline, power
from .measure import REFERENCE_N, ROOT, TRACED_FROM_N
from .paths import is_native


def reference_size(sizes):
    return REFERENCE_N if REFERENCE_N in sizes else max(sizes)


def _cell(value, fmt, width):
    return f"{value:{fmt}}" if value is not None else " " * width


def print_table(rows, n, modes):
    """Every path at length n: the default process's figures first, the warm ones beside."""
    by_key = {}
    for r in rows:
        if r["n"] == n:
            by_key.setdefault((r["label"], r["path"]), {})[r.get("memory", "default")] = r
    if not by_key:
        return
    lead = modes[0]
    path_width = max(len("path"), *(len(path) for _, path in by_key))
    strategy_width = max(len("strategy"),
                         *(len(r["strategy"]) for m in by_key.values() for r in m.values()))
    heads = " ".join(f"{m:>7}" for m in modes)
    print(f"\nn = {n:,}: best of alternated rounds, every length in a fresh process\n"
          f"  ratio = baseline time / path time; faults = minor page faults per call (median "
          f"of rounds, {lead} memory)\n"
          f"  limit = the kernel-only steps (ns/el); x lim = path time / limit; B/el = bytes "
          f"that one call allocates at its peak, per element (tracemalloc, from n = "
          f"{TRACED_FROM_N:,})")
    indent = 2 + path_width + 1 + strategy_width + 1 + 8
    span = 8 * len(modes) - 1
    print(f"{'':{indent}} {'ns/el':^{span}} {'ratio':^{span}}")
    print(f"  {'path':{path_width}} {'strategy':{strategy_width}} {'ms':>8} {heads} {heads} "
          f"{'faults':>8} {'limit':>6} {'x lim':>6} {'B/el':>5}")
    label = None
    for (row_label, path), by_mode in by_key.items():
        if row_label != label:
            label = row_label
            print(label)
        first = by_mode.get(lead) or next(iter(by_mode.values()))
        ns = " ".join(_cell(by_mode[m]["ns_per_element"] if m in by_mode else None, "7.1f", 7)
                      for m in modes)
        ratios = " ".join(_cell(by_mode[m].get("ratio") if m in by_mode else None, "6.2f", 6)
                          + ("x" if m in by_mode and "ratio" in by_mode[m] else " ")
                          for m in modes)
        limit = _cell(first.get("limit_ns_per_element"), "6.1f", 6)
        to_limit = _cell(first.get("to_limit"), "5.2f", 5) + ("x" if "to_limit" in first else " ")
        faults = _cell(first.get("faults"), "8.0f", 8)
        fresh = _cell(first.get("bytes_per_element"), "5.1f", 5)
        print(f"  {path:{path_width}} {first['strategy']:{strategy_width}} "
              f"{first['best_s'] * 1e3:8.2f} {ns} {ratios} {faults} {limit} {to_limit} "
              f"{fresh}".rstrip())


GROWTH_RANGE = (10**4, 10**7)


def growth(rows):
    """ns per element of every native path by n, and its growth over GROWTH_RANGE: the largest
    ns/el at the lengths measured in that range over the smallest."""
    table = {}
    for r in headline(rows):
        if r.get("baseline") and is_native(r["strategy"]):
            key = (r["distribution"], r["label"], r["path"])
            table.setdefault(key, {})[r["n"]] = r["ns_per_element"]
    result = []
    low, high = GROWTH_RANGE
    for (ident, label, path), by_n in table.items():
        inside = {n: v for n, v in by_n.items() if low <= n <= high}
        entry = {"distribution": ident, "label": label, "path": path, "by_n": by_n,
                 "sizes": sorted(inside), "growth": None}
        if len(inside) >= 2:
            entry["growth"] = max(inside.values()) / min(inside.values())
        result.append(entry)
    return result


def print_growth(entries):
    if not entries:
        return
    sizes = sorted({n for e in entries for n in e["by_n"]})
    print(f"\nns per element of the native paths by n (default memory); growth = largest / "
          f"smallest ns/el from {power(GROWTH_RANGE[0])} to {power(GROWTH_RANGE[1])}")
    label_width = max(len(e["label"]) for e in entries)
    path_width = max(len(e["path"]) for e in entries)
    print(f"{'distribution':{label_width}} {'path':{path_width}} "
          + " ".join(f"{power(n):>9}" for n in sizes) + f" {'growth':>7}")
    for e in entries:
        cells = " ".join(f"{e['by_n'][n]:9.1f}" if n in e["by_n"] else " " * 9 for n in sizes)
        grown = f"{e['growth']:6.2f}x" if e["growth"] is not None else f"{'-':>7}"
        print(f"{e['label']:{label_width}} {e['path']:{path_width}} {cells} {grown}")


def print_small(small):
    """The small-list speed-ups, a line per call and kind of list, a column per n."""
    if not small or not small["results"]:
        return
    sizes = small["sizes"]
    print(f"\nSmall lists: speed-up over the builtin (builtin time / drop-in time), from the "
          f"best times / the median of per-round ratios (which the goals judge); batches of "
          f"{small['elements']:,} elements, lists of 0 and 1 twice as many; "
          f"{small['seconds']:.0f} s")
    by_call = {}
    for e in small["results"]:
        by_call.setdefault((e["kind"], e["call"]), {})[e["n"]] = e
    kind_width = max(len("kind"), *(len(kind) for kind, _ in by_call))
    call_width = max(len(call) for _, call in by_call)
    print(f"{'kind':{kind_width}} {'call':{call_width}} "
          + " ".join(f"{'n=' + str(n):>11}" for n in sizes))
    for (kind, call), by_n in by_call.items():
        cells = " ".join(f"{by_n[n]['ratio']:.2f}/{by_n[n]['median_ratio']:.2f}".rjust(11)
                         if n in by_n else " " * 11 for n in sizes)
        print(f"{kind:{kind_width}} {call:{call_width}} {cells}")


def print_goals(checks):
    if not checks:
        return
    print("\nGoals (ratios from best times, unless stated):")
    for c in checks:
        if c["met"] is False:
            print(f"  MISSED {c['goal']}: {c['value']:.3f} (target {c['target']:.3f})")
    for c in checks:
        if c["met"] is None:
            print(f"  not measured: {c['goal']}")
    met = sum(c["met"] is True for c in checks)
    judged = sum(c["met"] is not None for c in checks)
    print(f"  {met} of {judged} met; {len(checks) - judged} not measured")


def noise(rows):
    spreads = [r["spread"] for r in rows if r["n"] >= 10**5] or [r["spread"] for r in rows]
    if not spreads:
        return {"median_spread": None, "max_spread": None}
    return {"median_spread": statistics.median(spreads), "max_spread": max(spreads)}


def git_state(root=ROOT, environ=os.environ):
    """The commit measured and whether the tree differed from it. Where the repository is out
    of reach (a checkout mounted without its git folder), tools/bench hands them over."""
    try:
        def git(*arguments):
            return subprocess.run(["git", *arguments], cwd=root, capture_output=True, text=True,
                                  check=True, timeout=30).stdout
        return {"commit": git("rev-parse", "HEAD").strip(),
                "dirty": bool(git("status", "--porcelain").strip())}
    except (OSError, subprocess.SubprocessError):
        commit = environ.get("VESKSORT_BENCH_COMMIT") or None
        dirty = {"1": True, "0": False}.get(environ.get("VESKSORT_BENCH_DIRTY", ""))
        return {"commit": commit, "dirty": dirty if commit else None}


def cpu_model():
    try:
        for line in Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def shown(path, cwd=None):
    """A path as the user knows it: relative to the current folder or to the repository,
    never the absolute path of wherever the benchmark happens to run."""
    path = Path(path).resolve()
    for base in (Path(cwd or os.getcwd()).resolve(), ROOT):
        try:
            return str(path.relative_to(base))
        except ValueError:
            pass
    return str(path)


