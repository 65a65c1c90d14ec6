"""sorted() replaced by the drop-in for a block of a program, with a tally of every call.

``replacing_sorted()`` puts a function of its own in ``builtins.sorted`` while its ``with``
block runs, and puts back what was there when the block ends, however it ends (an exception,
``sys.exit()``). Each call goes through ``explain()`` and is counted by the path it took (each
native kind; each reason for the interpreter's sort; small lists) and by its call site, the
file and line of the code that called ``sorted()``. With ``check=True`` each call also runs the
builtin ``sorted()`` on the same items and compares the outcomes: the same objects in the same
order, or an exception of the same type with the same message.

``list.sort()`` is a method of a built-in type and cannot be replaced from outside: its calls
are not counted.
"""

from __future__ import annotations

import builtins
import functools
import operator
import re
import reprlib
import sys
import threading
import time
from collections.abc import Callable
from types import CodeType, FrameType, TracebackType
from typing import Any

from ._vesksort import _explain

# The reference of the check, taken before any replacement.
BUILTIN_SORTED = builtins.sorted

LIST_SORT_NOTE = ("list.sort() is not counted: a method of a built-in type cannot be replaced "
                  "from outside.")
NONDETERMINISTIC_KEY_NOTE = (
    "a key function that is not deterministic (random, or keeping state between calls) looks "
    "like this: it runs twice per item under the check and may give other keys the second "
    "time")

# Numbers in a native path's description that vary from call to call: passes, levels,
# packed words, columns read, runs merged.
_VARYING = re.compile(r" in \d+ \w+(?: over \d+ packed words)?| \(\d+ \w+ read\)|\b\d+ ")
_SMALL_LISTS = re.compile(r"interpreter: fewer than \d+ items")

_repr = reprlib.Repr(maxstring=40, maxother=40, maxlong=40).repr


def path_of(description: str) -> tuple[str, str]:
    """The path that a description of explain() names, and its kind: "native",
    "interpreter", "small lists" (also "nothing to order", fewer than 2 items) or
    "exception"."""
    if description.startswith("native: "):
        return _VARYING.sub("", description), "native"
    if description.startswith("exception: "):
        return description, "exception"
    if description == "nothing to order" or _SMALL_LISTS.fullmatch(description):
        return description, "small lists"
    return description, "interpreter"


def _line_of(code: CodeType, offset: int) -> int:
    """The line of the instruction at `offset` in `code`, as a frame's f_lineno tells it."""
    for start, end, line in code.co_lines():
        if start <= offset < end and line is not None:
            return line
    return code.co_firstlineno


def _caller(frame_of: Callable[[int], FrameType]) -> FrameType:
    """The frame that called sorted(), or sorted()'s own where no Python code called it (a
    thread started on it)."""
    try:
        return frame_of(2)
    except ValueError:
        return frame_of(1)


def _given_length(args: tuple[Any, ...]) -> int:
    """Items of a call that raised, where they are known without running code of the caller."""
    return len(args[0]) if len(args) == 1 and type(args[0]) in (list, tuple) else 0


def _shown(value: object) -> str:
    try:
        return _repr(value)
    except Exception:  # noqa: BLE001 - a repr that raises must not end the program
        return f"<{type(value).__name__} object>"


def _outcome_text(outcome: list[Any] | BaseException) -> str:
    if isinstance(outcome, BaseException):
        return f"raised {type(outcome).__name__}({_shown(str(outcome))})"
    return f"returned a list of {len(outcome):,} items"


def _difference(ours: list[Any] | BaseException, theirs: list[Any] | BaseException) -> str | None:
    """What differs between the drop-in's outcome and the builtin's, or None."""
    if isinstance(ours, BaseException) or isinstance(theirs, BaseException):
        if (isinstance(ours, BaseException) and isinstance(theirs, BaseException)
                and type(ours) is type(theirs) and str(ours) == str(theirs)):
            return None
        return f"the drop-in {_outcome_text(ours)}, sorted() {_outcome_text(theirs)}"
    if len(ours) == len(theirs) and all(map(operator.is_, ours, theirs)):
        return None
    if len(ours) != len(theirs):
        return f"the drop-in returned {len(ours):,} items, sorted() {len(theirs):,}"
    position = next(i for i, (a, b) in enumerate(zip(ours, theirs)) if a is not b)
    return (f"position {position:,} of {len(ours):,} holds {_shown(ours[position])}, where "
            f"sorted() has {_shown(theirs[position])}")


class Difference:
    """A call site whose calls gave another outcome than the builtin sorted()."""

    __slots__ = ("file", "line", "calls", "message")

    def __init__(self, file: str, line: int, message: str) -> None:
        self.file = file
        self.line = line
        self.calls = 1
        self.message = message  # the first call's

    @property
    def site(self) -> str:
        return f"{self.file}:{self.line}"

    def __repr__(self) -> str:
        return (f"Difference(site={self.site!r}, calls={self.calls}, "
                f"message={self.message!r})")


class SortTally:
    """The counts of the calls to sorted() in a ``with replacing_sorted():`` block.

    Entered once, it replaces ``builtins.sorted``; leaving restores what was there. The counts
    can be read during the block and after it.
    """

    def __init__(self, *, check: bool = False,
                 on_difference: Callable[[Difference], None] | None = None) -> None:
        self.check = check
        self._on_difference = on_difference
        # RLock: a signal handler or a finalizer may call sorted() while the counts update.
        self._lock = threading.RLock()
        # A call site is the caller's code and the offset of its call in it (cheaper to read
        # than a line number, made one at the report). The code goes by its id (a code object
        # hashes all its constants at every hash), and is kept in _codes so that the id stays
        # its own.
        # (id(code), offset, description) -> [calls, elements, nanoseconds, builtin ns]
        self._counts: dict[tuple[int, int, str], list[int]] = {}
        self._codes: dict[int, CodeType] = {}
        self._differences: dict[tuple[int, int], Difference] = {}
        self._previous: Callable[..., Any] | None = None
        self._entered = False
        self.sorted = functools.wraps(BUILTIN_SORTED)(
            self._checking_sorted() if check else self._counting_sorted())

    # -- the replacements ----------------------------------------------------------------------

    def _counting_sorted(self) -> Callable[..., list[Any]]:
        explain, clock, frame_of, add = _explain, time.perf_counter_ns, sys._getframe, self._add
        lock, counts, codes = self._lock, self._counts, self._codes

        def sorted(*args: Any, **kwargs: Any) -> list[Any]:  # noqa: A001 - it stands for it
            caller = _caller(frame_of)
            code, offset = caller.f_code, caller.f_lasti
            del caller
            start = clock()
            try:
                result, description = explain(*args, **kwargs)
            except BaseException as error:
                add(code, offset, "exception: " + type(error).__name__, _given_length(args),
                    clock() - start, 0)
                raise
            nanoseconds = clock() - start
            # The update of self._add, inline: this runs at every call of the program.
            key = (id(code), offset, description)
            with lock:
                entry = counts.get(key)
                if entry is None:
                    codes[id(code)] = code
                    counts[key] = [1, len(result), nanoseconds, 0]
                else:
                    entry[0] += 1
                    entry[1] += len(result)
                    entry[2] += nanoseconds
            return result

        return sorted

    def _checking_sorted(self) -> Callable[..., list[Any]]:
        explain, clock, frame_of, add = _explain, time.perf_counter_ns, sys._getframe, self._add
        builtin = BUILTIN_SORTED

        def sorted(*args: Any, **kwargs: Any) -> list[Any]:  # noqa: A001 - it stands for it
            caller = _caller(frame_of)
            code, offset = caller.f_code, caller.f_lasti
            del caller
            given = _given_length(args)
            start = clock()
            if len(args) == 1:
                # Both sorts must see the same items: an iterator gives them once.
                try:
                    args = (list(args[0]),)
                except BaseException as error:
                    add(code, offset, "exception: " + type(error).__name__, given,
                        clock() - start, 0)
                    raise
            # Reading the items is part of both calls' time, as it is of sorted()'s.
            reading = clock() - start
            ours: list[Any] | BaseException
            theirs: list[Any] | BaseException
            try:
                ours, description = explain(*args, **kwargs)
            except BaseException as error:
                if not isinstance(error, Exception):
                    raise
                ours, description = error, "exception: " + type(error).__name__
            middle = clock()
            try:
                theirs = builtin(*args, **kwargs)
            except BaseException as error:
                if not isinstance(error, Exception):
                    raise
                theirs = error
            end = clock()
            elements = given if isinstance(ours, BaseException) else len(ours)
            add(code, offset, description, elements, middle - start, end - middle + reading)
            difference = _difference(ours, theirs)
            if difference is not None:
                if kwargs.get("key") is not None:
                    difference += f"; {NONDETERMINISTIC_KEY_NOTE}"
                self._differ(code, offset, difference)
            if isinstance(ours, BaseException):
                # Raised again from here: its traceback keeps one entry of this frame.
                traceback = ours.__traceback__
                try:
                    raise ours.with_traceback(traceback.tb_next if traceback else None)
                finally:
                    del ours, theirs, traceback
            return ours

        return sorted

    def _add(self, code: CodeType, offset: int, description: str, elements: int,
             nanoseconds: int, builtin_nanoseconds: int) -> None:
        key = (id(code), offset, description)
        with self._lock:
            entry = self._counts.get(key)
            if entry is None:
                self._codes[id(code)] = code
                self._counts[key] = [1, elements, nanoseconds, builtin_nanoseconds]
            else:
                entry[0] += 1
                entry[1] += elements
                entry[2] += nanoseconds
                entry[3] += builtin_nanoseconds

    def _differ(self, code: CodeType, offset: int, message: str) -> None:
        with self._lock:
            known = self._differences.get((id(code), offset))
            if known is not None:
                known.calls += 1
                return
            difference = Difference(code.co_filename, _line_of(code, offset), message)
            self._codes[id(code)] = code
            self._differences[id(code), offset] = difference
        if self._on_difference is not None:
            self._on_difference(difference)

    # -- the block -----------------------------------------------------------------------------

    def __enter__(self) -> SortTally:
        if self._entered:
            raise RuntimeError("a SortTally replaces sorted() for one block only")
        self._entered = True
        self._previous = builtins.sorted
        builtins.sorted = self.sorted
        return self

    def __exit__(self, kind: type[BaseException] | None, error: BaseException | None,
                 traceback: TracebackType | None) -> None:
        builtins.sorted = self._previous  # type: ignore[assignment]

    # -- the counts ----------------------------------------------------------------------------

    @property
    def calls(self) -> int:
        """The calls to the replaced sorted() so far."""
        with self._lock:
            return sum(entry[0] for entry in self._counts.values())

    @property
    def differences(self) -> list[Difference]:
        """The call sites whose outcome differed from the builtin's (with ``check=True``)."""
        with self._lock:
            return list(self._differences.values())

    def as_dict(self, top: int = 10) -> dict[str, Any]:
        """The counts as a JSON-ready dict: ``calls``, ``elements``, ``seconds``, ``paths``
        (path -> its kind, calls, elements and seconds), ``native_share`` (of the elements),
        the ``top`` call sites that sorted the most elements through the interpreter
        (``interpreter_sites``), ``differences`` and a ``note`` on list.sort()."""
        with self._lock:
            counts = [((self._codes[code], offset, description), tuple(entry))
                      for (code, offset, description), entry in self._counts.items()]
            differences = list(self._differences.values())
        paths: dict[str, dict[str, Any]] = {}
        sites: dict[tuple[str, int, str], list[int]] = {}
        for (code, offset, description), (calls, elements, nanoseconds, builtin_ns) in counts:
            path, kind = path_of(description)
            entry = paths.setdefault(path, {"kind": kind, "calls": 0, "elements": 0,
                                            "seconds": 0, "builtin_seconds": 0})
            entry["calls"] += calls
            entry["elements"] += elements
            entry["seconds"] += nanoseconds
            entry["builtin_seconds"] += builtin_ns
            if kind in ("interpreter", "small lists") and path != "nothing to order":
                where = (code.co_filename, _line_of(code, offset), path)
                site = sites.setdefault(where, [0, 0, 0])
                site[0] += calls
                site[1] += elements
                site[2] += nanoseconds
        for entry in paths.values():
            entry["seconds"] /= 1e9
            entry["builtin_seconds"] /= 1e9
            if not self.check:
                del entry["builtin_seconds"]
        ordered = dict(builtins.sorted(
            paths.items(), key=lambda item: (-item[1]["elements"], -item[1]["calls"], item[0])))
        elements = sum(entry["elements"] for entry in paths.values())
        native = sum(entry["elements"] for entry in paths.values() if entry["kind"] == "native")
        through_interpreter = builtins.sorted(
            sites.items(), key=lambda item: (-item[1][1], -item[1][0], item[0]))[:top]
        report: dict[str, Any] = {
            "check": self.check,
            "calls": sum(entry["calls"] for entry in paths.values()),
            "elements": elements,
            "seconds": sum(entry["seconds"] for entry in paths.values()),
            "native_elements": native,
            "native_share": native / elements if elements else None,
            "paths": ordered,
            "interpreter_sites": [
                {"site": f"{file}:{line}", "file": file, "line": line,
                 "reason": path.removeprefix("interpreter: "), "calls": calls,
                 "elements": site_elements, "seconds": nanoseconds / 1e9}
                for (file, line, path), (calls, site_elements, nanoseconds)
                in through_interpreter],
            "differences": [
                {"site": difference.site, "file": difference.file, "line": difference.line,
                 "calls": difference.calls, "message": difference.message}
                for difference in differences],
            "note": LIST_SORT_NOTE,
        }
        if self.check:
            report["builtin_seconds"] = sum(entry["builtin_seconds"]
                                            for entry in paths.values())
        return report

    def report(self, top: int = 10) -> str:
        """The counts as text, one path a line, then the call sites that sorted the most
        elements through the interpreter, the differences (with ``check=True``) and a note on
        list.sort()."""
        data = self.as_dict(top)
        check = self.check

        def row(calls: int, elements: int, seconds: float, builtin_seconds: float,
                label: str) -> str:
            builtin = f" {builtin_seconds:>10.3f}" if check else ""
            return f"  {calls:>9,} {elements:>13,} {seconds:>9.3f}{builtin}  {label}"

        lines = ["vesksort_native: the calls to sorted(), by the path they took",
                 f"  {'calls':>9} {'elements':>13} {'seconds':>9}"
                 + (f" {'sorted() s':>10}" if check else "") + "  path"]
        for path, entry in data["paths"].items():
            label = path + (" (small lists)" if entry["kind"] == "small lists" else "")
            lines.append(row(entry["calls"], entry["elements"], entry["seconds"],
                             entry.get("builtin_seconds", 0.0), label))
        share = data["native_share"]
        lines.append(row(data["calls"], data["elements"], data["seconds"],
                         data.get("builtin_seconds", 0.0),
                         "all calls" + ("" if share is None else
                                        f"; {_percent(share)} of the elements ordered "
                                        "natively")))
        if data["interpreter_sites"]:
            lines.append("The call sites that sorted the most elements through the interpreter:")
            lines.extend(f"  {site['site']}: {site['elements']:,} elements in "
                         f"{_counted(site['calls'], 'call')}: {site['reason']}"
                         for site in data["interpreter_sites"])
        if check and not data["differences"]:
            lines.append("Checked against the builtin sorted(): no difference.")
        elif check:
            lines.append("Checked against the builtin sorted(): differences at "
                         f"{_counted(len(data['differences']), 'call site')}:")
            lines.extend(f"  {difference['site']} ({_counted(difference['calls'], 'call')}): "
                         f"{difference['message']}" for difference in data["differences"])
        lines.append(LIST_SORT_NOTE)
        return "\n".join(lines) + "\n"


def _percent(share: float) -> str:
    """A share rounded down, so that 100% means all of them."""
    return f"{int(share * 1000) / 10:.1f}%"


def _counted(number: int, noun: str) -> str:
    return f"{number:,} {noun}{'' if number == 1 else 's'}"


def replacing_sorted(*, check: bool = False,
                     on_difference: Callable[[Difference], None] | None = None) -> SortTally:
    """A context manager that replaces ``builtins.sorted`` by the drop-in for its block and
    counts the calls::

        with vesksort_native.replacing_sorted() as tally:
            run_the_work()
        print(tally.report())          # or tally.as_dict(), tally.calls

    Every call made through the name ``sorted`` in the block, by any thread and any module, is
    counted: code that bound the builtin to another name before the block keeps calling it.
    With ``check=True`` each call also runs the builtin ``sorted()`` on the same items (key
    functions then run twice per item) and a different outcome is kept in
    ``tally.differences`` and passed to ``on_difference`` (the first at each call site). The
    replaced function returns the drop-in's outcome in both modes.
    """
    return SortTally(check=check, on_difference=on_difference)
