"""Calls that `mypy --strict` rejects, each on a line marked `# rejected`, as it rejects them
for sorted() and list.sort()."""

import vesksort_native

words: list[str] = ["pear", "fig"]
objects: list[object] = [object(), object()]

vesksort_native.sort_in_place(words, key=lambda word: object())  # rejected
vesksort_native.sort(words, key=lambda word: object())  # rejected
vesksort_native.sort_in_place(objects)  # rejected
vesksort_native.sort(objects)  # rejected
vesksort_native.sort_in_place(words, key=lambda number: number + 1)  # rejected
vesksort_native.sort_in_place(("pear", "fig"))  # rejected
vesksort_native.sort_in_place(words, len)  # rejected
wrong: list[int] = vesksort_native.sort(words)  # rejected
vesksort_native.explain(words, len)  # rejected
