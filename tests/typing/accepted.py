"""Calls that `mypy --strict` accepts: the drop-ins are typed like sorted() and list.sort()."""

from operator import itemgetter

import vesksort_native

ints: list[int] = [3, 1, 2]
pairs: list[tuple[int, str]] = [(2, "b"), (1, "a")]
words: list[str] = ["pear", "fig"]

new_ints: list[int] = vesksort_native.sort(ints, reverse=True)
new_pairs: list[tuple[int, str]] = vesksort_native.sort(pairs, key=itemgetter(0))
new_words: list[str] = vesksort_native.sort(iter(words), key=len)
vesksort_native.sort_in_place(ints)
vesksort_native.sort_in_place(ints, key=None, reverse=True)
vesksort_native.sort_in_place(words, key=len)
vesksort_native.sort_in_place(pairs, key=itemgetter(0))
vesksort_native.sort_in_place(pairs, key=lambda pair: pair[1], reverse=False)
ordered, strategy = vesksort_native.sort_with_strategy(ints)
in_place_strategy: str = vesksort_native.sort_in_place_with_strategy(words)
explained_pairs, path = vesksort_native.explain(pairs, key=itemgetter(0), reverse=True)
first_pair: tuple[int, str] = explained_pairs[0]
path_text: str = path
