"""Process-wide registry of DB handles, keyed by handle name."""

from typing import Any, Dict

DB_dict: Dict[Any, Any] = {}
