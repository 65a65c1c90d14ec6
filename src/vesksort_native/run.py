"""python3 -m vesksort_native run: a whole program run with sorted() replaced by the drop-in.

The program runs as ``python3 script.py ARGS`` or ``python3 -m module ARGS`` would run it: its
``sys.argv``, its ``__main__``, ``sys.path[0]``, its output and its exit status. A report of its
calls to ``sorted()`` (tally.py) follows on stderr, or in a file, and as JSON on request.
"""

from __future__ import annotations

import argparse
import json
import os
import runpy
import signal
import sys
import threading
from collections.abc import Sequence
from types import TracebackType

from .tally import Difference, replacing_sorted

PROG = "python3 -m vesksort_native run"
# The exit status of a program that ended well but sorted differently under --check.
DIFFERENCE_STATUS = 3
_OPTIONS_WITH_VALUES = ("--report", "--json")
# The file of the replaced sorted(), whose frames a traceback of the program leaves out.
_TALLY_FILE = replacing_sorted.__code__.co_filename


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        usage=f"{PROG} [OPTIONS] script.py [ARGS...]\n       {PROG} [OPTIONS] -m module [ARGS...]",
        description="Run a Python program as `python3 script.py ARGS` or `python3 -m module "
        "ARGS` would, with builtins.sorted replaced by vesksort_native's drop-in for the whole "
        "run, then report its calls to sorted(): calls, elements and time by the path each "
        "took (each native kind, each reason for the interpreter's sort, small lists), the "
        "share of the elements ordered natively and the call sites that sorted the most "
        "elements through the interpreter. The program's output and exit status are its own. "
        "list.sort() is a method of a built-in type and cannot be replaced from outside: its "
        "calls are not counted.",
        allow_abbrev=False,
    )
    parser.add_argument(
        "--check", action="store_true",
        help="also run the builtin sorted() on the same items at every call (an iterator is "
        "read into a list once, for both) and compare the outcomes: the same objects in the "
        "same order, or an exception of the same type and message. Key functions then run "
        "twice per item, and a key function that is not deterministic (random, or keeping "
        "state) shows up as a difference. A difference is told on stderr with its call site "
        "when first met there; the program goes on with the drop-in's outcome and runs to its "
        f"end, and the exit status is then {DIFFERENCE_STATUS} if the program's own was 0")
    parser.add_argument("--report", metavar="FILE",
                        help="write the report to FILE instead of stderr")
    parser.add_argument("--json", metavar="FILE",
                        help="also write the report as JSON to FILE: calls, elements, seconds, "
                        "paths (each with its kind, calls, elements and seconds), "
                        "native_share, interpreter_sites, differences")
    return parser


def _split(argv: Sequence[str]) -> tuple[list[str], tuple[str, str, list[str]] | None]:
    """The options of run, and the program: ("script" or "module", its name, its arguments).
    Everything after the script or the module belongs to the program."""
    index = 0
    while index < len(argv):
        token = argv[index]
        if token.startswith("-m") and not token.startswith("--"):
            if token != "-m":
                return list(argv[:index]), ("module", token[2:], list(argv[index + 1:]))
            name = argv[index + 1] if index + 1 < len(argv) else ""
            return list(argv[:index]), ("module", name, list(argv[index + 2:]))
        if token == "--":
            if index + 1 < len(argv):
                return list(argv[:index]), ("script", argv[index + 1], list(argv[index + 2:]))
            break
        if token.startswith("-") and token != "-":
            index += 2 if token in _OPTIONS_WITH_VALUES else 1
            continue
        return list(argv[:index]), ("script", token, list(argv[index + 1:]))
    return list(argv), None


def _program_traceback(traceback: TracebackType | None) -> TracebackType | None:
    """The traceback as it would be without this command: from the program's first frame on
    (this module's and runpy's left out), without the frames of the replaced sorted()."""
    ours = {_run_program.__code__.co_filename, runpy.run_path.__code__.co_filename}
    while traceback is not None and traceback.tb_frame.f_code.co_filename in ours:
        traceback = traceback.tb_next
    kept = []
    while traceback is not None:
        if traceback.tb_frame.f_code.co_filename != _TALLY_FILE:
            kept.append(traceback)
        traceback = traceback.tb_next
    rebuilt = None
    for entry in reversed(kept):
        rebuilt = TracebackType(rebuilt, entry.tb_frame, entry.tb_lasti, entry.tb_lineno)
    return rebuilt


def _print_exception(error: BaseException) -> None:
    """Prints what escaped the program, as the interpreter prints it."""
    traceback = _program_traceback(error.__traceback__)
    if traceback is None and isinstance(error, ImportError):
        # The module was not found: no frame of the program ran.
        print(f"{sys.executable}: {error}", file=sys.stderr)
        return
    # The interpreter's hook prints the exceptions' own tracebacks, not its argument.
    seen: set[int] = set()
    chained: BaseException | None = error
    while chained is not None and id(chained) not in seen:
        seen.add(id(chained))
        chained.__traceback__ = _program_traceback(chained.__traceback__)
        chained = chained.__cause__ or chained.__context__
    sys.excepthook(type(error), error, error.__traceback__)


def _interpreter() -> str:
    return sys.orig_argv[0] if sys.orig_argv else sys.executable


def _exit_status(code: object) -> int:
    """The exit status of SystemExit(code), as the interpreter makes it."""
    if code is None:
        return 0
    if isinstance(code, int):
        return code
    print(code, file=sys.stderr)
    return 1


def _run_program(kind: str, name: str, arguments: list[str]) -> int | BaseException:
    """Runs the program: its exit status, or the exception that ended it. sys.argv and
    sys.path stay as the program leaves them, for its threads that are still running."""
    try:
        sys.argv[:] = [name, *arguments]
        if kind == "script":
            path = os.path.abspath(name)
            if not os.path.exists(path):
                print(f"{_interpreter()}: can't open file {path!r}: [Errno 2] No such file or "
                      "directory", file=sys.stderr)
                return 2
            if not sys.flags.safe_path:
                # A directory or a zip file is put there by run_path itself.
                if os.path.isfile(path) and not _is_zip(path):
                    sys.path[0] = os.path.dirname(os.path.realpath(path))
                else:
                    del sys.path[0]
            runpy.run_path(path, run_name="__main__")
        else:
            if not sys.flags.safe_path:
                sys.path[0] = os.getcwd()
            runpy.run_module(name, run_name="__main__", alter_sys=True)
    except SystemExit as exit_:
        return _exit_status(exit_.code)
    except BaseException as error:  # noqa: BLE001 - printed as the interpreter prints it
        return error
    return 0


def _is_zip(path: str) -> bool:
    import zipfile

    return zipfile.is_zipfile(path)


def _wait_for_threads() -> None:
    """Joins the threads that are not daemons, as the interpreter does before it exits."""
    current = threading.current_thread()
    while True:
        waiting = [thread for thread in threading.enumerate()
                   if thread is not current and not thread.daemon and thread.is_alive()]
        if not waiting:
            return
        for thread in waiting:
            thread.join()


def _tell_difference(difference: Difference) -> None:
    print(f"vesksort_native run --check: sorted() at {difference.site} differs from the "
          f"builtin: {difference.message}", file=sys.stderr, flush=True)


def _write(path: str, text: str) -> str | None:
    """Writes text to path; the error's text if it could not."""
    try:
        with open(path, "w", encoding="utf-8") as file:
            file.write(text)
    except OSError as error:
        return f"{PROG}: cannot write {path}: {error.strerror or error}"
    return None


def main(argv: Sequence[str]) -> int:
    options, program = _split(argv)
    parser = _parser()
    args = parser.parse_args(options)
    if program is None:
        parser.error("no program to run: give script.py or -m module")
    kind, name, arguments = program
    if not name:
        parser.error("argument expected for the -m option")
    # Where the program changes directory, the report still goes where it was asked.
    report_path = os.path.abspath(args.report) if args.report else None
    json_path = os.path.abspath(args.json) if args.json else None

    with replacing_sorted(check=args.check, on_difference=_tell_difference) as tally:
        try:
            outcome = _run_program(kind, name, arguments)
        finally:
            _wait_for_threads()
    # Printed with the builtin sorted() back in place: the traceback module sorts too.
    interrupted = isinstance(outcome, KeyboardInterrupt)
    if isinstance(outcome, BaseException):
        _print_exception(outcome)
        del outcome  # its frames
        status = 1
    else:
        status = outcome
    for stream in (sys.stdout, sys.stderr):
        try:
            stream.flush()
        except (OSError, ValueError, AttributeError):
            pass

    data = tally.as_dict()
    data["program"] = {"script" if kind == "script" else "module": name,
                       "arguments": arguments, "exit_status": status}
    errors = []
    text = tally.report()
    if report_path is not None:
        errors.append(_write(report_path, text))
    else:
        sys.stderr.write(text)
    if json_path is not None:
        errors.append(_write(json_path, json.dumps(data, indent=2) + "\n"))
    for error in filter(None, errors):
        print(error, file=sys.stderr)
        status = status or 2
    if tally.differences and status == 0:
        status = DIFFERENCE_STATUS
    sys.stderr.flush()
    if interrupted:
        # Ended by the signal, as the interpreter ends after an uncaught KeyboardInterrupt.
        signal.signal(signal.SIGINT, signal.SIG_DFL)
        os.kill(os.getpid(), signal.SIGINT)
        return 130
    return status
