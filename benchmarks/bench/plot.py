"""The pictures, when matplotlib imports: the chart of speed-ups over the builtin by list length,
a line per kind of value (the README's picture), and the detailed panels of ns per element
against n for every distribution and path."""

from .goals import headline


# Drop-ins in strong colours and thick lines, the prototypes thinner; baselines dashed in greys.
NATIVE_STYLES = {
    "sort()": ("#1f77b4", 2.4), "sort(reverse)": ("#ff7f0e", 2.4),
    "sort_in_place()": ("#2ca02c", 2.4), "sort(key)": ("#d62728", 2.4),
    "sort(key, reverse)": ("#9467bd", 2.4), "sort_in_place(key)": ("#8c564b", 2.4),
    "unkeyed copy": ("#17becf", 1.3), "unkeyed in place": ("#bcbd22", 1.3),
    "keyed direct": ("#e377c2", 1.3), "keyed full cache": ("#7f3c8d", 1.3),
    "keyed prefix": ("#e6ab02", 1.3), "sort(key=swap)": ("#e7298a", 2.4),
    "sort(key=str.lower)": ("#66a61e", 2.4), "sort(key=multiple_of_three)": ("#a6761d", 2.4),
}
BASELINE_STYLES = {
    "sorted()": ("#000000", "--", "o"), "list.sort()": ("#555555", "--", "s"),
    "sorted(reverse)": ("#999999", "--", "^"), "numpy round trip": ("#333333", "-.", "D"),
    "sorted(key)": ("#000000", "--", "o"), "list.sort(key)": ("#555555", "--", "s"),
    "sorted(key, reverse)": ("#999999", "--", "^"), "key calls": ("#777777", ":", "x"),
    "sorted(key=swap)": ("#bbbbbb", "--", "v"), "sorted(key=str.lower)": ("#bbbbbb", "--", "<"),
    "sorted(key=multiple_of_three)": ("#bbbbbb", "--", ">"),
}
GROUP_TITLES = {"unkeyed": "values", "keyed": "(value, index) pairs, key=itemgetter(0)"}


def _style(name):
    if name in NATIVE_STYLES:
        colour, width = NATIVE_STYLES[name]
        return {"color": colour, "linestyle": "-", "linewidth": width, "marker": "o",
                "markersize": 3.5}
    colour, line, marker = BASELINE_STYLES.get(name, ("#aaaaaa", "--", "."))
    return {"color": colour, "linestyle": line, "linewidth": 1.4, "marker": marker,
            "markersize": 4, "markerfacecolor": "none"}


def plot_title(report):
    machine, version = report["machine"], report["version"]
    python = machine["python"].split()[0]
    commit = (version["commit"] or "")[:10] + (" (modified)" if version["dirty"] else "")
    return (f"vesksort_native {version['package']} {commit}".rstrip() + "\n"
            f"Python {python}, {machine['cpu']}, {machine['cpus']} CPUs, {machine['platform']}")


def _pyplot():
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return None
    return plt


def matplotlib_available():
    return _pyplot() is not None


# The chart of speed-ups: (label, distribution, path, colour), a line per kind of value.
SPEEDUP_SERIES = [
    ("int64", "rand64", "sort()", "#1f77b4"),
    ("floats", "floats", "sort()", "#ff7f0e"),
    ("str (random words)", "words", "sort()", "#2ca02c"),
    ("tuples (int, int)", "pairs-narrow", "sort()", "#d62728"),
    ("datetimes", "datetimes", "sort()", "#9467bd"),
    ("(int64, index) pairs, key=itemgetter(0)", "rand64", "sort(key)", "#8c564b"),
]


def speedups(rows, small):
    """{label: {n: speed-up over the builtin}} of the SPEEDUP_SERIES measured: the small-list
    section's batches at the lengths that it times, the sweep's default-memory rows elsewhere
    (from best times, both)."""
    found = {}
    for r in headline(rows):
        if "ratio" in r:
            found.setdefault((r["distribution"], r["path"]), {})[r["n"]] = r["ratio"]
    for e in small["results"] if small else []:
        if e["n"] > 0:  # an empty list has no place on a log scale
            found.setdefault((e["distribution"], e["path"]), {})[e["n"]] = e["ratio"]
    return {label: found[ident, path] for label, ident, path, _ in SPEEDUP_SERIES
            if found.get((ident, path))}


def _length(n, _position=None):
    for factor, suffix in ((10**6, "M"), (10**3, "k")):
        if n >= factor:
            return f"{n / factor:g}{suffix}"
    return f"{n:g}"


def plot_speedups(rows, small, file, title):
    """The chart read at a glance: the speed-up of sort() over sorted() by list length, on log
    scales, a line per kind of value, sorted()'s own speed marked; False when matplotlib is
    missing or no series was measured."""
    plt = _pyplot()
    series = speedups(rows, small)
    if plt is None or not series:
        return False
    from matplotlib.ticker import FixedLocator, FuncFormatter, NullLocator

    figure, axis = plt.subplots(figsize=(10, 5.6), layout="constrained")
    colours = {label: colour for label, _, _, colour in SPEEDUP_SERIES}
    for label, by_n in series.items():
        xs = sorted(by_n)
        axis.plot(xs, [by_n[n] for n in xs], color=colours[label], linewidth=2.2, marker="o",
                  markersize=4.5, label=label)
    axis.axhline(1.0, color="black", linewidth=1.2, linestyle="--", label="sorted() itself (1x)")
    axis.set_xscale("log")
    axis.set_yscale("log")
    values = [v for by_n in series.values() for v in by_n.values()]
    low, high = min(min(values), 1.0) / 1.3, max(max(values), 1.0) * 1.3
    axis.set_ylim(low, high)
    axis.yaxis.set_major_locator(FixedLocator(
        [t * 10.0**k for k in range(-2, 4) for t in (1, 2, 5) if low <= t * 10.0**k <= high]))
    axis.yaxis.set_major_formatter(FuncFormatter(lambda y, _: f"{y:g}x"))
    axis.yaxis.set_minor_locator(NullLocator())
    axis.xaxis.set_major_formatter(FuncFormatter(_length))
    axis.set_xlabel("n (list length)")
    axis.set_ylabel("speed-up over sorted()")
    axis.grid(True, which="major", alpha=0.35)
    axis.legend(loc="center left", bbox_to_anchor=(1.01, 0.5), frameon=False)
    how = "best of rounds, a fresh process per length"
    if small and small["results"]:
        how = (f"best of rounds; up to {max(small['sizes'])} items, batches of lists; longer, "
               f"a fresh process per length")
    figure.suptitle("vesksort_native.sort() against sorted(), by list length", fontsize=13)
    axis.set_title(f"{title}\n{how}", fontsize=8.5, color="#555555")
    figure.savefig(file, dpi=110)
    plt.close(figure)
    return True


def plot(rows, file, title):
    """The detailed panels: ns per element against n of every path, two panels (values, and
    keyed pairs) per distribution; grouped bars of the speed-ups when one length is measured."""
    plt = _pyplot()
    if plt is None:
        return False
    rows = headline(rows) or rows
    memory = rows[0].get("memory", "default") if rows else "default"
    sizes = sorted({r["n"] for r in rows})
    if len(sizes) == 1:
        figure = _plot_bars(plt, rows, sizes[0])
        what = f"speed-up over the builtin at n = {sizes[0]:,}"
    else:
        figure = _plot_lines(plt, rows)
        what = "ns per element against n"
    figure.suptitle(f"{title}\n{what}, best of rounds, {memory} memory, a fresh process per "
                    f"length", fontsize=11)
    figure.savefig(file, dpi=100, bbox_inches="tight")
    plt.close(figure)
    return True


def _legend(figure, axes):
    handles = {}
    for axis in axes:
        for handle, name in zip(*axis.get_legend_handles_labels()):
            handles.setdefault(name, handle)
    # Native paths first, as in the styles, then the baselines: a key read top to bottom.
    order = [*NATIVE_STYLES, *BASELINE_STYLES]
    names = sorted(handles, key=lambda name: (order.index(name) if name in order else
                                              len(order), name))
    figure.legend([handles[n] for n in names], names, loc="center left",
                  bbox_to_anchor=(1.0, 0.5), fontsize="medium", frameon=False)


def _plot_lines(plt, rows):
    from matplotlib.ticker import LogLocator, NullFormatter

    labels = list(dict.fromkeys(r["label"] for r in rows))
    per_line = 1 if len(labels) <= 4 else 2  # distributions side by side, each two panels
    lines = (len(labels) + per_line - 1) // per_line
    figure, axes = plt.subplots(lines, 2 * per_line, figsize=(5.2 * 2 * per_line, 3.6 * lines),
                                squeeze=False, layout="constrained")
    used = []
    for index, label in enumerate(labels):
        for offset, group in enumerate(("unkeyed", "keyed")):
            axis = axes[index // per_line][2 * (index % per_line) + offset]
            used.append(axis)
            series = {}
            for r in rows:
                if r["label"] == label and r["group"] == group:
                    series.setdefault(r["path"], {})[r["n"]] = r["ns_per_element"]
            for name, by_n in series.items():
                xs = sorted(by_n)
                axis.loglog(xs, [by_n[n] for n in xs], label=name, **_style(name))
            axis.set_title(f"{label}: {GROUP_TITLES[group]}", fontsize=10)
            axis.set_xlabel("n (list length)")
            axis.set_ylabel("ns per element")
            axis.xaxis.set_major_locator(LogLocator(base=10))
            axis.xaxis.set_minor_formatter(NullFormatter())
            axis.grid(True, which="major", alpha=0.35)
            axis.grid(True, which="minor", alpha=0.12)
    for axis in axes.flat:
        if axis not in used:
            axis.axis("off")
    _legend(figure, used)
    return figure


def _plot_bars(plt, rows, n):
    groups = [g for g in ("unkeyed", "keyed") if any(r["group"] == g for r in rows)]
    figure, axes = plt.subplots(len(groups), 1, figsize=(13, 4.2 * len(groups)), squeeze=False,
                                layout="constrained")
    for axis, group in zip(axes[:, 0], groups):
        mine = [r for r in rows if r["group"] == group and "ratio" in r]
        labels = list(dict.fromkeys(r["label"] for r in mine))
        order = [*NATIVE_STYLES, *BASELINE_STYLES]
        paths = sorted(dict.fromkeys(r["path"] for r in mine),
                       key=lambda p: order.index(p) if p in order else len(order))
        width = 0.8 / max(len(paths), 1)
        for index, path in enumerate(paths):
            by_label = {r["label"]: r["ratio"] for r in mine if r["path"] == path}
            xs = [i + (index - (len(paths) - 1) / 2) * width
                  for i, label in enumerate(labels) if label in by_label]
            style = _style(path)
            axis.bar(xs, [by_label[label] for label in labels if label in by_label], width,
                     label=path, color=style["color"],
                     hatch=None if path in NATIVE_STYLES else "//", edgecolor="white",
                     linewidth=0.5)
        axis.axhline(1.0, color="black", linestyle="--", linewidth=1, label="builtin (1x)")
        axis.set_xticks(range(len(labels)), labels, rotation=20, ha="right")
        axis.set_ylabel("speed-up over the builtin (x)")
        axis.set_title(GROUP_TITLES[group], fontsize=10)
        axis.grid(True, axis="y", alpha=0.35)
        axis.set_axisbelow(True)
    _legend(figure, list(axes[:, 0]))
    return figure


