"""Fast, exact sorting of Python lists of numbers, of strings, and of tuples of numbers.

``sort`` and ``sort_in_place`` are drop-in replacements for ``sorted()`` and ``list.sort()``:
they take the same arguments and give the same result, the same objects in the same order,
with the key function called exactly once per item, in item order.

Large lists of exact ``int`` values in the signed 64-bit range, of exact ``float`` values (with
ints within 2**53 in magnitude among them), of exact tuples of such numbers, of exact ``str`` or
exact ``bytes``, and lists whose key function returns such values, are ordered natively (a stable
counting sort for dense ranges, a stable radix sort otherwise; strings by a radix sort on their
prefixes). Everything else goes to the interpreter's own list sort; keys
already computed by the native attempt are handed to it, never computed again. ``explain`` sorts as ``sort`` does and tells
which path it took.

``replacing_sorted()`` replaces ``builtins.sorted`` by the drop-in for a ``with`` block and
counts every call by the path it took, in a ``vesksort_native.tally.SortTally``
(``python3 -m vesksort_native run script.py`` does the same for a whole program).
"""

from ._vesksort import _drop_in_sort as sort
from ._vesksort import _drop_in_sort_in_place as sort_in_place
from ._vesksort import _explain as explain
from ._vesksort import sort_in_place_with_strategy, sort_with_strategy
from .tally import replacing_sorted

__version__ = "0.3.0"

__all__ = [
    "__version__",
    "explain",
    "replacing_sorted",
    "sort",
    "sort_in_place",
    "sort_in_place_with_strategy",
    "sort_with_strategy",
]
