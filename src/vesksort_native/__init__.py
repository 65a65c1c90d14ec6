"""Fast, exact sorting of Python lists of integers.

Large lists of exact ``int`` values in the signed 64-bit range are ordered natively (a stable
counting sort for dense ranges, a stable radix sort otherwise); every other list goes to the
interpreter's own list sort. The result is always the one ``sorted()`` gives.
"""

from ._vesksort import sort, sort_in_place, sort_in_place_with_strategy, sort_with_strategy

__all__ = ["sort", "sort_in_place", "sort_in_place_with_strategy", "sort_with_strategy"]
