"""Parquet and Arrow IPC files (.parquet; .arrow and .feather) as sources of `load`: read by pyarrow (the
`arrow` extra) a record batch at a time, and staged by morvel.load from their Arrow stream, every value bound
from the column buffers by the compiled module, with its rules for each Arrow type."""

from __future__ import annotations

from typing import Any, Callable, Iterator

from morvel.cli.common import CliError

FORMATS = {".parquet": "parquet", ".arrow": "arrow", ".feather": "arrow"}
BATCH = 65_536  # rows of a Parquet file read at a time


def declared_type(arrow_type: Any) -> str:
    """The declared type of a new table's column for an Arrow type: what its stored values are."""
    import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

    if pa.types.is_dictionary(arrow_type):
        return declared_type(arrow_type.value_type)
    if pa.types.is_integer(arrow_type) or pa.types.is_boolean(arrow_type):
        return "INTEGER"
    if pa.types.is_floating(arrow_type):
        return "REAL"
    if pa.types.is_binary(arrow_type) or pa.types.is_large_binary(arrow_type) or \
            pa.types.is_fixed_size_binary(arrow_type) or pa.types.is_binary_view(arrow_type):
        return "BLOB"
    return "TEXT"


class ColumnarSource:
    """A Parquet or Arrow IPC file, opened by pyarrow: its schema, its batches, and how far they are read."""

    def __init__(self, path: str, fmt: str) -> None:
        self.name = path
        try:
            import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]
            import pyarrow.parquet as pq  # type: ignore[import-untyped, unused-ignore]
        except ImportError:
            raise CliError(f"{path}: reading {fmt} files needs pyarrow: pip install 'morvel[arrow]'") from None
        self.read_rows = 0
        try:
            if fmt == "parquet":
                self.parquet = pq.ParquetFile(path)
                self.schema = self.parquet.schema_arrow
                self.rows = self.parquet.metadata.num_rows
            else:
                self.parquet = None
                try:
                    self.ipc = pa.ipc.open_file(pa.memory_map(path))
                except pa.ArrowInvalid:  # the streaming format, which has no footer
                    self.ipc = pa.ipc.open_stream(pa.memory_map(path))
                self.schema = self.ipc.schema
                self.rows = None
        except FileNotFoundError as e:
            raise CliError(f"{path}: {e.strerror}") from None
        except (OSError, pa.ArrowException) as e:
            raise CliError(f"{path}: cannot read it as {fmt} data: {e}") from None
        self.size = self.rows

    def batches(self) -> Iterator[Any]:
        if self.parquet is not None:
            yield from self.parquet.iter_batches(batch_size=BATCH)
        elif hasattr(self.ipc, "num_record_batches"):
            for i in range(self.ipc.num_record_batches):
                yield self.ipc.get_batch(i)
        else:
            yield from self.ipc

    def stream(self, progress: Callable[[int], None]) -> Any:
        """A record batch reader over the batches, reporting the rows read as each batch is taken."""
        import pyarrow as pa  # type: ignore[import-untyped, unused-ignore]

        def counted() -> Iterator[Any]:
            for batch in self.batches():
                yield batch
                self.read_rows += batch.num_rows
                progress(self.read_rows)
        return pa.RecordBatchReader.from_batches(self.schema, counted())

    def share_read(self) -> float | None:
        return min(self.read_rows / self.rows, 1.0) if self.rows else None

    def error(self, line: int, what: str) -> CliError:
        return CliError(f"{self.name}: {what}")

    def seekable(self) -> bool:
        return True

    def close(self) -> None:
        if self.parquet is not None:
            self.parquet.close()
