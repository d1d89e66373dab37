"""A first quenlith session: load the native module and show where swapped objects go.

This script grows with the library into a complete analysis.
"""
import _quenlith as q

print(f"_quenlith {q.__version__}")
print(f"swap directory: {q.swap_dir()}")
print(f"{len(q.__all__) - 1} names exported")
