"""Parts of up to 24 keys are ordered by ranking each key against the others, with AVX-512 or AVX2
where the processor has them. The rankings that a processor with AVX-512 would not run are
checked in child processes that turn the vectors off (the portable ranking) or AVX-512 alone (the
AVX2 ranking), with the lists whose parts reach them: short lists of numbers, strings of every
length and ties, keys by row number. The widest ranking present is what every other test of this
suite runs."""

import subprocess
import sys
import textwrap

import pytest

from conftest import child_environment

CHILD = """
import random
from operator import itemgetter
import vesksort_native as v

def same(result, expected):
    return len(result) == len(expected) and all(a is b for a, b in zip(result, expected))

rng = random.Random(11)
failures = []
draws = {
    "int": lambda: rng.choice([rng.randrange(-2**63, 2**63), rng.randrange(4)]),
    "float": lambda: rng.choice([rng.uniform(-1e12, 1e12), 0.5, -0.0]),
    "word": lambda: "".join(rng.choices("abc\\xe9", k=rng.randint(0, 12))),
}
for kind, draw in draws.items():
    for n in [*range(2, 60), 100, 255, 256, 1000, 20000]:
        x = [draw() for _ in range(n)]
        for reverse in (False, True):
            if not same(v.sort(x, reverse=reverse), sorted(x, reverse=reverse)):
                failures.append((kind, n, reverse))
        pairs = [(value, i) for i, value in enumerate(x)]
        if not same(v.sort(pairs, key=itemgetter(0)), sorted(pairs, key=itemgetter(0))):
            failures.append((kind, n, "key"))
print(failures)
"""


# The sorting happens in the child; in this process only the subprocess machinery runs, and
# leaves its own objects behind.
@pytest.mark.no_refleak
@pytest.mark.parametrize("switch", ["VESKSORT_SEM_AVX2", "VESKSORT_SEM_AVX512"],
                         ids=["portable", "avx2"])
def test_narrower_ranking_orders_as_sorted(switch):
    environment = child_environment()
    environment[switch] = "1"
    done = subprocess.run(
        [sys.executable, "-c", textwrap.dedent(CHILD)],
        capture_output=True,
        text=True,
        timeout=300,
        env=environment,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.strip() == "[]"
