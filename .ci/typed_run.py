"""Runs the typed code once: its load cycle answers what it should.

Usage: python typed_run.py DBFILE   (from a directory holding typed_use.py)
"""
import sys, typed_use
rows = typed_use.cycle(sys.argv[1])
assert sorted(rows) == [["a", 3], ["b", 2], ["c", 4]], rows
