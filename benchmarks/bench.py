"""Benchmark of vesksort_native beside sorted(), NumPy and the kernel-only limit: see --help,
and the package bench/ beside this file, which holds it.

`import bench` finds that package, never this file: a folder with __init__.py comes before a
module of the same name. This file is the command alone, and what each fresh process runs.
"""

from bench.cli import main

if __name__ == "__main__":
    main()
