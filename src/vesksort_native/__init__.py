"""Fast, exact sorting of Python lists of integers.

``sort`` and ``sort_in_place`` are drop-in replacements for ``sorted()`` and ``list.sort()``:
they take the same arguments and give the same result, the same objects in the same order,
with the key function called exactly once per item, in item order.

Large lists of exact ``int`` values in the signed 64-bit range, and lists whose key function
returns such values, are ordered natively (a stable counting sort for dense ranges, a stable
radix sort otherwise). Everything else goes to the interpreter's own list sort; keys already
computed by the native attempt are handed to it, never computed again.
"""

from __future__ import annotations

from collections.abc import Callable, Iterable
from typing import TYPE_CHECKING, Any, TypeVar, overload

from . import _vesksort
from ._vesksort import sort_in_place_with_strategy, sort_with_strategy

# Bound once: the drop-ins' common calls then cost no attribute lookup on small lists.
_sort = _vesksort.sort
_sort_in_place = _vesksort.sort_in_place

if TYPE_CHECKING:
    from _typeshed import SupportsRichComparison, SupportsRichComparisonT

__version__ = "0.2.0"

__all__ = [
    "__version__",
    "sort",
    "sort_in_place",
    "sort_in_place_with_strategy",
    "sort_with_strategy",
]

_T = TypeVar("_T")

_NOT_AN_EXACT_LIST = "vesk_sort_in_place requer uma list exata"


def _is_plain_key_call(key: object, reverse: object) -> bool:
    """Whether a call with a key function is one the native paths take exactly as the builtins do.

    Anything else (a key that is not callable, a ``reverse`` that is not a ``bool``) goes to the
    builtins themselves, so that they decide what it means and what it raises.
    """
    return (reverse is False or reverse is True) and callable(key)


def _sort_descending(items: list[Any]) -> None:
    """Orders the exact list ``items`` in place, as ``items.sort(reverse=True)`` would."""
    # A stable descending sort is the reverse of a stable ascending sort of the reversed list;
    # the interpreter's own list sort does just this, also when a comparison fails.
    items.reverse()
    try:
        _sort_in_place(items)
    finally:
        items.reverse()


def _order_by_key(items: list[Any], key: Callable[[Any], Any], reverse: bool) -> None:
    """Orders the caller's exact list ``items`` in place, as ``items.sort(key=key)`` would."""
    keys: list[Any] = []
    # On None or False the keys computed so far are in `keys`, in item order: the replay
    # answers from them and calls `key` only for the items that follow.
    done = _vesksort._try_sort_by_prefix_cached_int64_keys_prototype(items, keys, key, reverse)
    if done is None or done is False:
        replay = _vesksort._make_prefix_cached_key_replay_prototype(items, keys, key)
        items.sort(key=replay, reverse=reverse)


@overload
def sort(
    iterable: Iterable[SupportsRichComparisonT], /, *, key: None = None, reverse: bool = False
) -> list[SupportsRichComparisonT]: ...
@overload
def sort(
    iterable: Iterable[_T], /, *, key: Callable[[_T], SupportsRichComparison], reverse: bool = False
) -> list[_T]: ...
def sort(
    iterable: Iterable[Any], /, *, key: Callable[[Any], Any] | None = None, reverse: bool = False
) -> list[Any]:
    """Return a new list with the items of ``iterable`` in ascending order.

    Identical to ``sorted(iterable, key=key, reverse=reverse)``: the same objects in the same
    order (the sort is stable, also with ``reverse``), ``key`` called once per item in item
    order, and the same exceptions.
    """
    if key is None and reverse is False:
        return _sort(iterable)
    if key is None and reverse is True:
        items = list(iterable)
        _sort_descending(items)
        return items
    if key is None or not _is_plain_key_call(key, reverse):
        return sorted(iterable, key=key, reverse=reverse)
    items = list(iterable)
    _order_by_key(items, key, reverse)
    return items


def sort_in_place(
    lst: list[Any], /, *, key: Callable[[Any], Any] | None = None, reverse: bool = False
) -> None:
    """Sort the exact list ``lst`` in place and return ``None``, as ``lst.sort()`` does.

    The result is the one ``lst.sort(key=key, reverse=reverse)`` leaves. Unlike the builtin,
    a key function computed on the native path sees the list whole, not empty; if it changes
    the list (its length, or which object stands where), ``ValueError`` is raised and the list
    is left as the key function left it. An argument that is not exactly a ``list`` raises
    ``TypeError``.
    """
    if key is None and reverse is False:
        return _sort_in_place(lst)  # raises the same TypeError for anything but a list
    if type(lst) is not list:
        raise TypeError(_NOT_AN_EXACT_LIST)
    if key is None and reverse is True:
        _sort_descending(lst)
    elif key is None or not _is_plain_key_call(key, reverse):
        lst.sort(key=key, reverse=reverse)
    else:
        _order_by_key(lst, key, reverse)
