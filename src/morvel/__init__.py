"""Bulk-loaded SQLite tables with staging tables that can be queried before the merge.

The compiled module ``morvel.morvel`` holds everything: ``from morvel.morvel import DB, create_table``.
"""
