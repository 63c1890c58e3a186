"""parse_arrow: every Arrow text layout in, a struct of json and error out, each row as parse
gives it; read back by pyarrow, polars and DuckDB; nulls, slices, chunks, empty and huge rows;
columns of other types and malformed buffers refused."""

import gc
import subprocess
import sys
import textwrap

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support.arrow_c import HandMadeColumn, offsets32
from support.rows import LAYOUTS, outcome, payload_texts
from velunda_model.encoder import b64

pa = pytest.importorskip("pyarrow")

CALIBRATION_JSON = '{"Calibration":{"V1":{"water_ph":{"data":[12,-3]},"water_o2":{"data":[]}}}}'
TEXTS = ["AhgFAA==", None, "AhgF", "", "QR==", "AhgFAA=="]


def expected_rows(parser, kind, version, texts):
    """(json, error) per row, as parse gives them; both null for a null row."""
    rows = []
    for text in texts:
        result = None if text is None else outcome(parser, kind, version, text)
        rows.append(
            {
                "json": result if isinstance(result, str) else None,
                "error": result[0] if isinstance(result, tuple) else None,
            }
        )
    return rows


def rows_of(result):
    return (pa.array(result) if hasattr(result, "__arrow_c_array__") else pa.chunked_array(result)).to_pylist()


TEXT_TYPES = [pa.string(), pa.large_string(), pa.string_view()]


@pytest.mark.parametrize("arrow_type", TEXT_TYPES, ids=str)
@pytest.mark.parametrize("kind,version", LAYOUTS)
@settings(max_examples=8)
@given(data=st.data(), threads=st.sampled_from([1, 2]))
def test_rows_are_what_parse_gives(parser, arrow_type, kind, version, data, threads):
    texts = data.draw(payload_texts(kind, version, max_rows=20))
    texts = [None if i % 7 == 3 else text for i, text in enumerate(texts)]
    result = parser.parse_arrow(kind, version, pa.array(texts, arrow_type), threads=threads)
    assert len(result) == len(texts)
    assert rows_of(result) == expected_rows(parser, kind, version, texts)


def test_the_result_type():
    from velunda_binary_parser import BinaryParser

    result = BinaryParser().parse_arrow("calibration", 1, pa.array(TEXTS))
    array = pa.array(result)
    assert array.type == pa.struct([("json", pa.large_string()), ("error", pa.string())])
    assert array.null_count == 0
    assert (array.field("json").null_count, array.field("error").null_count) == (4, 3)
    with pytest.raises(TypeError):
        type(result)()


@pytest.mark.parametrize("arrow_type", TEXT_TYPES, ids=str)
def test_slices_with_an_offset(parser, arrow_type):
    column = pa.array(TEXTS * 5, arrow_type)
    for start, length in [(1, 4), (3, 20), (29, 1), (7, 0)]:
        piece = column.slice(start, length)
        assert rows_of(parser.parse_arrow("calibration", 1, piece)) == expected_rows(
            parser, "calibration", 1, piece.to_pylist()
        )


@pytest.mark.parametrize("arrow_type", TEXT_TYPES, ids=str)
def test_zero_rows_all_null_and_all_empty(parser, arrow_type):
    for texts in ([], [None, None], ["", ""]):
        column = pa.array(texts, arrow_type)
        assert rows_of(parser.parse_arrow("calibration", 1, column)) == expected_rows(parser, "calibration", 1, texts)


def test_rows_of_ten_megabytes(parser):
    # A list of 2.6 million 1-byte integers: 10 MB of base64 per row.
    big = b64(bytes([2]) + bytes([0x80, 0xA0, 0x9E, 0x01]) + bytes(2_600_000) + bytes([0]))
    texts = [big, "AhgFAA==", big[:-8]]
    result = rows_of(parser.parse_arrow("calibration", 1, pa.array(texts, pa.large_string()), threads=2))
    assert result == expected_rows(parser, "calibration", 1, texts)


def test_many_work_units_across_threads(parser):
    texts = ["AhgFAA==", "AhgF", None] * 40_000
    expected = expected_rows(parser, "calibration", 1, texts[:3]) * 40_000
    for threads in (1, 2, 5):
        assert rows_of(parser.parse_arrow("calibration", 1, pa.array(texts), threads=threads)) == expected


def test_results_stay_whole_while_freed_results_pages_are_reused(parser):
    # A dropped result's pages go to the next call, which may need fewer or more of them; a
    # result still held keeps its own.
    pattern = ["AhgFAA==", None, "AhgF", "QR=="]
    expected = expected_rows(parser, "calibration", 1, pattern)

    def decoded(rows):
        return pa.array(parser.parse_arrow("calibration", 1, pa.array(pattern * rows), threads=2)).to_pylist()

    held = pa.array(parser.parse_arrow("calibration", 1, pa.array(pattern * 60_000), threads=2))
    for rows in (50_000, 10, 90_000, 3):  # freed pages reused, grown past, cut back to a few
        assert decoded(rows) == expected * rows
        gc.collect()
    assert held.to_pylist() == expected * 60_000


def test_an_address_space_limit_is_a_memory_error_and_the_module_recovers():
    # Capped a little above what the process holds: the column's text cannot grow to its size.
    script = textwrap.dedent("""
        import resource
        import pyarrow as pa
        from velunda_binary_parser import BinaryParser
        parser = BinaryParser()
        big = pa.array(["AhgFAA=="] * 3_000_000)
        with open("/proc/self/status") as status:
            used = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (used + 96 * 2**20, resource.RLIM_INFINITY))
        try:
            pa.array(parser.parse_arrow("calibration", 1, big, threads=1))
        except MemoryError:
            print("MemoryError")
        print(pa.array(parser.parse_arrow("calibration", 1, pa.array(["AhgFAA=="]))).to_pylist()[0]["json"])
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert result.stdout.splitlines() == ["MemoryError", CALIBRATION_JSON]


def test_chunked_input_gives_a_chunked_result(parser):
    chunks = pa.chunked_array([pa.array(TEXTS), pa.array([], pa.string()), pa.array(TEXTS[::-1])])
    result = parser.parse_arrow("calibration", 1, chunks)
    assert not hasattr(result, "__arrow_c_array__")
    decoded = pa.chunked_array(result)
    assert decoded.num_chunks == 3
    assert decoded.to_pylist() == expected_rows(parser, "calibration", 1, TEXTS + TEXTS[::-1])


def test_a_record_batch_of_one_text_column(parser):
    batch = pa.record_batch({"b64": pa.array(TEXTS)})
    assert rows_of(parser.parse_arrow("calibration", 1, batch)) == expected_rows(parser, "calibration", 1, TEXTS)


def test_polars_in_and_out(parser):
    pl = pytest.importorskip("polars")
    series = pl.Series("b64", TEXTS)
    result = pl.Series(parser.parse_arrow("calibration", 1, series))
    assert result.to_list() == expected_rows(parser, "calibration", 1, TEXTS)


def test_duckdb_in_and_out(parser):
    duckdb = pytest.importorskip("duckdb")
    connection = duckdb.connect()
    relation = connection.sql("select * from (values ('AhgFAA=='), (null), ('AhgF')) as t(b64)")
    decoded = parser.parse_arrow("calibration", 1, relation)  # noqa: F841 (read by name below)
    rows = connection.sql("select json, error from decoded").fetchall()
    assert rows == [
        (CALIBRATION_JSON, None),
        (None, None),
        (None, "Parsing failed: PostcardError(DeserializeUnexpectedEnd)"),
    ]


def test_every_export_shares_the_buffers_and_outlives_the_result(parser):
    result = parser.parse_arrow("calibration", 1, pa.array(TEXTS))
    first, second = pa.array(result), pa.array(result)
    streamed = pa.chunked_array(result)
    json_child = first.field("json")
    del result, first
    gc.collect()
    assert json_child.to_pylist() == [row["json"] for row in expected_rows(parser, "calibration", 1, TEXTS)]
    assert second.equals(streamed.chunk(0))


def test_an_unknown_kind_raises_before_the_column_is_read(parser):
    reader = pa.RecordBatchReader.from_batches(
        pa.schema([("b64", pa.string())]), [pa.record_batch({"b64": pa.array(TEXTS)})]
    )
    with pytest.raises(ValueError, match="Unknown kind: 'Samples'"):
        parser.parse_arrow("Samples", 1, reader)
    assert rows_of(parser.parse_arrow("calibration", 1, reader)) == expected_rows(parser, "calibration", 1, TEXTS)


@pytest.mark.parametrize(
    "column,format_",
    [
        (pa.array([1, 2]), "l"),
        (pa.array([b"AAAA"]), "z"),
        (pa.record_batch({"a": pa.array(["x"]), "b": pa.array(["y"])}), "+s"),
    ],
)
def test_a_column_of_another_type_names_its_format(parser, column, format_):
    with pytest.raises(TypeError) as raised:
        parser.parse_arrow("samples", 13, column)
    assert str(raised.value) == (
        f"argument 'column': an Arrow column of format '{format_}' is not text; "
        "expected string ('u'), large_string ('U') or string_view ('vu')"
    )


def test_objects_without_an_arrow_export(parser):
    with pytest.raises(TypeError, match=r"'list' object is not an Arrow column"):
        parser.parse_arrow("samples", 13, ["AAAA"])


# A string column whose buffers a producer wrote wrongly, handed over through hand-made capsules.
@pytest.mark.parametrize(
    "column,message",
    [
        (HandMadeColumn(b"u", [None, offsets32(0, 8, 4), b"AhgFAA=="], 2), "offsets decrease at row 1"),
        (HandMadeColumn(b"u", [None, offsets32(-1, 8), b"AhgFAA=="], 1), "negative offset"),
        (HandMadeColumn(b"u", [None, None, b"AhgFAA=="], 1), "no offsets buffer"),
        (HandMadeColumn(b"u", [None, offsets32(0, 8)], 1), "too few buffers"),
        (HandMadeColumn(b"u", [None, offsets32(0, 8), b"AhgFAA=="], -1), "a negative length or offset"),
        (HandMadeColumn(b"u", [None, offsets32(0, 8), None], 1), "offsets into a missing data buffer"),
        (
            HandMadeColumn(
                b"vu",
                [
                    None,
                    (20).to_bytes(4, "little") + b"Ahg=" + (0).to_bytes(4, "little") * 2,
                    b"AhgFAA==",
                    (8).to_bytes(8, "little"),
                ],
                1,
            ),
            "a view outside its data at row 0",
        ),
        (
            HandMadeColumn(
                b"vu",
                [
                    None,
                    (20).to_bytes(4, "little") + b"Ahg=" + (1).to_bytes(4, "little") * 2,
                    b"AhgFAA==" * 4,
                    (32).to_bytes(8, "little"),
                ],
                1,
            ),
            "a view outside its data at row 0",
        ),
    ],
)
def test_malformed_buffers_are_refused(parser, column, message):
    with pytest.raises(ValueError) as raised:
        parser.parse_arrow("calibration", 1, column)
    assert str(raised.value) == "argument 'column': malformed Arrow column: " + message


def test_hand_made_columns_that_are_well_formed_decode(parser):
    good = HandMadeColumn(b"u", [None, offsets32(0, 8, 8, 12), b"AhgFAA==AhgF"], 3)
    inline_view = HandMadeColumn(b"vu", [None, (8).to_bytes(4, "little") + b"AhgFAA==" + bytes(4), b""], 1)
    assert rows_of(parser.parse_arrow("calibration", 1, good)) == expected_rows(
        parser, "calibration", 1, ["AhgFAA==", "", "AhgF"]
    )
    assert rows_of(parser.parse_arrow("calibration", 1, inline_view)) == expected_rows(
        parser, "calibration", 1, ["AhgFAA=="]
    )
