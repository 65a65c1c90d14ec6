"""python -m bench, from benchmarks/: the same as python benchmarks/bench.py."""

from .cli import main

main()
