"""Núcleo nativo do VeskSort."""

from collections.abc import Callable, Iterable
from typing import Any, Literal, TypeVar, TypedDict, final, overload, type_check_only

from _typeshed import SupportsRichComparison, SupportsRichComparisonT

_T = TypeVar("_T")

@type_check_only
class _KeyedInfo(TypedDict):
    strategy: str
    algorithm: str
    reason: str
    n: int
    key_domain: str
    key_min: int | None
    key_max: int | None
    key_span: int | None
    radix_passes: int | None
    normalized: bool
    stable: bool
    reverse: bool
    key_calls: int
    estimated_variable_auxiliary_bytes: int | None
    worst_case_variable_auxiliary_bytes: int | None
    memory_estimate_scope: str
    prototype: bool

@final
@type_check_only
class _CachedKeyReplay:
    """Callable interno de uso único para replay de chaves."""
    def __call__(self, item: object, /) -> Any: ...

@overload
def _drop_in_sort(
    iterable: Iterable[SupportsRichComparisonT], /, *, key: None = None, reverse: bool = False
) -> list[SupportsRichComparisonT]: ...
@overload
def _drop_in_sort(
    iterable: Iterable[_T], /, *, key: Callable[[_T], SupportsRichComparison], reverse: bool = False
) -> list[_T]: ...
@overload
def _drop_in_sort_in_place(
    lst: list[SupportsRichComparisonT], /, *, key: None = None, reverse: bool = False
) -> None: ...
@overload
def _drop_in_sort_in_place(
    lst: list[_T], /, *, key: Callable[[_T], SupportsRichComparison], reverse: bool = False
) -> None: ...
@overload
def _explain(
    iterable: Iterable[SupportsRichComparisonT], /, *, key: None = None, reverse: bool = False
) -> tuple[list[SupportsRichComparisonT], str]: ...
@overload
def _explain(
    iterable: Iterable[_T], /, *, key: Callable[[_T], SupportsRichComparison], reverse: bool = False
) -> tuple[list[_T], str]: ...
def sort(iterable: Iterable[_T], /) -> list[_T]: ...
def sort_with_strategy(iterable: Iterable[_T], /) -> tuple[list[_T], str]: ...
def sort_in_place(lista: list[Any], /) -> None: ...
def sort_in_place_with_strategy(lista: list[Any], /) -> str: ...
def _sort_by_int64_key_prototype(
    iterable: Iterable[_T], key: Callable[[_T], int], reverse: object = False, /
) -> list[_T]: ...
def _sort_by_int64_key_prototype_with_strategy(
    iterable: Iterable[_T], key: Callable[[_T], int], reverse: object = False, /
) -> tuple[list[_T], str]: ...
def _sort_by_int64_key_prototype_with_info(
    iterable: Iterable[_T], key: Callable[[_T], int], reverse: object = False, /
) -> tuple[list[_T], _KeyedInfo]: ...
def _try_sort_by_cached_int64_keys_prototype(
    items: list[_T], cached_keys: list[Any], reverse: object = False, /
) -> list[_T] | None: ...
def _try_sort_by_cached_int64_keys_prototype_with_info(
    items: list[_T], keys: list[Any], reverse: object = False, /
) -> tuple[list[_T], _KeyedInfo] | None: ...
def _try_sort_by_prefix_cached_int64_keys_prototype(
    items: list[_T], keys: list[Any], key: Callable[[_T], Any], reverse: object = False, /
) -> list[_T] | Literal[False] | None: ...
def _try_sort_by_prefix_cached_int64_keys_prototype_with_info(
    items: list[_T], keys: list[Any], key: Callable[[_T], Any], reverse: object = False, /
) -> tuple[list[_T], _KeyedInfo] | Literal[False] | None: ...
def _make_cached_key_replay_prototype(
    items: list[Any], cached_keys: list[Any], /
) -> _CachedKeyReplay: ...
def _make_prefix_cached_key_replay_prototype(
    items: list[_T], keys: list[Any], key: Callable[[_T], Any], /
) -> _CachedKeyReplay: ...
