from collections.abc import Iterable
from typing import Any, Literal, Protocol, final, overload

__all__ = ["BinaryParser"]

class _ArrowArrayExport(Protocol):
    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...

class _ArrowStreamExport(Protocol):
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...

@final
class DecodedColumn:
    """What parse_arrow returns for an array: struct<json: large_string, error: string>, one row
    per input row, exported through the Arrow PyCapsule interface (pyarrow.array(result),
    polars.Series(result), DuckDB). Not importable: made only by parse_arrow."""

    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]: ...
    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...
    def __len__(self) -> int: ...

@final
class DecodedChunkedColumn:
    """What parse_arrow returns for a stream (a chunked column): one struct chunk per input chunk
    (pyarrow.chunked_array(result), polars.Series(result), DuckDB). Not importable."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...
    def __len__(self) -> int: ...

@final
class DecodedTable:
    """What parse_table returns: a stream of typed record batches, one per decoded chunk, read by
    pyarrow.table(result), polars.DataFrame(result) or DuckDB. Not importable."""

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object: ...
    def __arrow_c_schema__(self) -> object: ...
    def __len__(self) -> int: ...

@final
class TableSchema:
    """What arrow_schema returns: the schema of a layout's typed table (pyarrow.schema(result))."""

    def __arrow_c_schema__(self) -> object: ...

@final
class BinaryParser:
    def __init__(self) -> None: ...
    def parse(self, kind: str, version: int, b64_data: str) -> str:
        """Decodes one base64 payload of `kind` and `version` into its JSON text.

        Raises ValueError (with the attributes kind, version, offset and path) when the kind is
        unknown or the payload cannot be decoded, TypeError for arguments of the wrong type."""
        ...
    @overload
    def parse_many(
        self,
        kind: str,
        version: int,
        texts: Iterable[str],
        *,
        errors: Literal["raise"] = "raise",
        threads: int | None = None,
    ) -> list[str]:
        """Decodes every text as parse does, on `threads` worker threads (default: every usable
        core). The first failing row raises parse's ValueError, with one more attribute, index."""
        ...
    @overload
    def parse_many(
        self, kind: str, version: int, texts: Iterable[str], *, errors: Literal["null"], threads: int | None = None
    ) -> list[str | None]:
        """Decodes every text as parse does; a failing row gives None."""
        ...
    @overload
    def parse_arrow(
        self, kind: str, version: int, column: _ArrowArrayExport, *, threads: int | None = None
    ) -> DecodedColumn:
        """Decodes an Arrow text column (string, large_string or string_view) on worker threads
        into struct<json, error>: json is parse's text (null where the row failed or was null),
        error the message parse would raise (null otherwise)."""
        ...
    @overload
    def parse_arrow(
        self, kind: str, version: int, column: _ArrowStreamExport, *, threads: int | None = None
    ) -> DecodedChunkedColumn: ...
    def parse_table(
        self,
        kind: str,
        version: int,
        column: _ArrowArrayExport | _ArrowStreamExport,
        *,
        threads: int | None = None,
        flavor: Literal["arrow", "spark"] = "arrow",
    ) -> DecodedTable:
        """Decodes an Arrow text column into typed record batches: one column per top-level field
        of the layout's record, then error (the message parse would raise)."""
        ...
    def arrow_schema(self, kind: str, version: int, *, flavor: Literal["arrow", "spark"] = "arrow") -> TableSchema:
        """The Arrow schema parse_table gives this layout."""
        ...
    def __reduce__(self) -> tuple[Any, tuple[()]]: ...
