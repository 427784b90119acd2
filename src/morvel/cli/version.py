"""`--version`: what a bug report needs."""

from __future__ import annotations

import argparse
import os
import sqlite3
from typing import Any, Sequence


def native_off_reason() -> str | None:
    """Why calls on a genuine sqlite3.Connection cannot reach its SQLite handle directly in this process
    (whatever MORVEL_NATIVE says); None when they can."""
    from morvel.morvel import drop_table

    # With MORVEL_NATIVE=require, a call on a genuine connection raises the reason when the path is off.
    setting = os.environ.get("MORVEL_NATIVE")
    os.environ["MORVEL_NATIVE"] = "require"
    conn = sqlite3.connect(":memory:")
    try:
        drop_table(conn, "t", False)
    except RuntimeError as e:
        return str(e).removeprefix("MORVEL_NATIVE=require, but the native path is off: ")
    except sqlite3.Error:
        pass  # it ran: an empty database has no catalog
    finally:
        conn.close()
        if setting is None:
            del os.environ["MORVEL_NATIVE"]
        else:
            os.environ["MORVEL_NATIVE"] = setting
    return None


def native_path() -> str:
    if os.environ.get("MORVEL_NATIVE") == "0":
        return "off: MORVEL_NATIVE=0 in the environment"
    why = native_off_reason()
    return "on" if why is None else f"off: {why}"


def version_report() -> str:
    import platform

    from morvel import __version__

    return "\n".join([
        f"morvel {__version__}",
        f"Python {platform.python_version()} ({platform.python_implementation()}) on {platform.platform()}",
        f"SQLite {sqlite3.sqlite_version}",
        f"native path: {native_path()}",
    ])


class VersionAction(argparse.Action):
    def __init__(self, option_strings: Sequence[str], dest: str, **kwargs: Any) -> None:
        super().__init__(option_strings, dest, nargs=0, help="print the versions of morvel, Python and SQLite, "
                         "whether the native path is on (and why not), and exit")

    def __call__(self, parser: argparse.ArgumentParser, *args: Any) -> None:
        print(version_report())
        parser.exit()
