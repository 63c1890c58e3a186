"""The Arrow import trusts nothing: numbers no buffer could hold, streams whose callbacks are
missing or fail, producers whose release callbacks run Python code, unknown null counts,
dictionary-encoded text and export attributes that misbehave."""

import errno
import os

import pytest
from test_parse_arrow import TEXTS, expected_rows, rows_of

from support.arrow_c import (
    HandMadeColumn,
    HandMadeRecordBatch,
    HandMadeStream,
    capsule,
    make_array,
    make_schema,
    offsets32,
    offsets64,
)

pa = pytest.importorskip("pyarrow")

PAYLOAD = b"AhgFAA=="


def good(parser, texts):
    return expected_rows(parser, "calibration", 1, texts)


def view(length, text=b"", buffer_index=0, offset=0):
    if length <= 12:
        return length.to_bytes(4, "little") + text.ljust(12, b"\0")
    return (
        length.to_bytes(4, "little")
        + text[:4].ljust(4, b"\0")
        + buffer_index.to_bytes(4, "little")
        + offset.to_bytes(4, "little", signed=True)
    )


class DictionaryColumn(HandMadeColumn):
    def __init__(self, index_format, indices, length, *, dictionary=True, n_buffers=None):
        values_schema = make_schema(b"u")
        values_array = make_array([None, offsets32(0, 8, 12), PAYLOAD + b"AhgF"], 2)
        self.schema, self.keep_schema = make_schema(index_format, dictionary=values_schema)
        self.array, self.keep_array = make_array(
            [None, indices], length, n_buffers=n_buffers, dictionary=values_array if dictionary else None
        )


BEYOND = 2**47 + 1
MALFORMED = [
    (
        "offset 2^61",
        HandMadeColumn(b"u", [None, offsets32(0, 8), PAYLOAD], 1, offset=2**61),
        "a length or offset beyond any buffer",
    ),
    (
        "offset 2^62",
        HandMadeColumn(b"u", [None, offsets32(0, 8), PAYLOAD], 1, offset=2**62),
        "a length or offset beyond any buffer",
    ),
    (
        "offset plus length wraps",
        HandMadeColumn(b"u", [None, offsets32(0, 8), PAYLOAD], 2, offset=2**63 - 1),
        "a length or offset beyond any buffer",
    ),
    (
        "offsets of 4 bytes past any buffer",
        HandMadeColumn(b"u", [None, offsets32(0, 8), PAYLOAD], 1, offset=2**46),
        "offsets beyond any buffer",
    ),
    (
        "large_string offsets 2^62",
        HandMadeColumn(b"U", [None, offsets64(2**62, 2**62 + 8), PAYLOAD], 1),
        "offsets beyond any buffer",
    ),
    (
        "struct offset plus length wraps",
        HandMadeRecordBatch(b"u", [None, offsets32(0, 8), PAYLOAD], 1, length=2**62, offset=2**62),
        "a length or offset beyond any buffer",
    ),
    (
        "struct longer than its child",
        HandMadeRecordBatch(b"u", [None, offsets32(0, 8), PAYLOAD], 1, length=1, offset=1),
        "a child shorter than its struct",
    ),
    ("null count -2", HandMadeColumn(b"u", [None, offsets32(0, 8), PAYLOAD], 1, null_count=-2), "a null count of -2"),
    (
        "nulls without a bitmap",
        HandMadeColumn(b"u", [None, offsets32(0, 8), PAYLOAD], 1, null_count=1),
        "null rows without a validity buffer",
    ),
    (
        "view buffer past any process",
        HandMadeColumn(b"vu", [None, view(20, b"Ahg="), PAYLOAD * 3, BEYOND.to_bytes(8, "little")], 1),
        f"data buffer 0 of size {BEYOND}",
    ),
    (
        "view buffer missing",
        HandMadeColumn(b"vu", [None, view(20, b"Ahg="), None, (24).to_bytes(8, "little")], 1),
        "data buffer 0 missing",
    ),
    (
        "view offset near 2^31",
        HandMadeColumn(b"vu", [None, view(20, b"Ahg=", 0, 2**31 - 1), PAYLOAD * 3, (24).to_bytes(8, "little")], 1),
        "a view outside its data at row 0",
    ),
    (
        "views past any buffer",
        HandMadeColumn(b"vu", [None, view(8, PAYLOAD), b""], 1, offset=2**44),
        "views beyond any buffer",
    ),
    ("index past its dictionary", DictionaryColumn(b"c", bytes([0, 2]), 2), "an index outside its dictionary at row 1"),
    (
        "negative index",
        DictionaryColumn(b"i", (-1).to_bytes(4, "little", signed=True), 1),
        "an index outside its dictionary at row 0",
    ),
    (
        "index of 2^63 unsigned",
        DictionaryColumn(b"L", (2**63).to_bytes(8, "little"), 1),
        "an index outside its dictionary at row 0",
    ),
    ("no dictionary", DictionaryColumn(b"C", bytes([0]), 1, dictionary=False), "no dictionary"),
]


@pytest.mark.parametrize("column,message", [m[1:] for m in MALFORMED], ids=[m[0] for m in MALFORMED])
def test_numbers_no_buffer_could_hold_are_refused_before_any_read(parser, column, message):
    with pytest.raises(ValueError) as raised:
        parser.parse_arrow("calibration", 1, column)
    assert str(raised.value) == "argument 'column': malformed Arrow column: " + message


def test_an_unknown_null_count_is_read_from_the_bitmap(parser):
    unknown = HandMadeColumn(b"u", [bytes([0b101]), offsets32(0, 8, 8, 12), PAYLOAD + b"AhgF"], 3, null_count=-1)
    assert rows_of(parser.parse_arrow("calibration", 1, unknown)) == good(parser, ["AhgFAA==", None, "AhgF"])
    no_bitmap = HandMadeColumn(b"u", [None, offsets32(0, 8), PAYLOAD], 1, null_count=-1)
    assert rows_of(parser.parse_arrow("calibration", 1, no_bitmap)) == good(parser, ["AhgFAA=="])
    batch = HandMadeRecordBatch(b"u", [None, offsets32(0, 8), PAYLOAD], 1, length=1, null_count=-1)
    assert rows_of(parser.parse_arrow("calibration", 1, batch)) == good(parser, ["AhgFAA=="])
    with_null = HandMadeRecordBatch(
        b"u", [None, offsets32(0, 8), PAYLOAD], 1, length=1, null_count=-1, validity=bytes([0])
    )
    with pytest.raises(ValueError, match="a record batch with null rows"):
        parser.parse_arrow("calibration", 1, with_null)


@pytest.mark.parametrize("index_type", [pa.int8(), pa.uint8(), pa.int16(), pa.int32(), pa.uint32(), pa.int64()])
@pytest.mark.parametrize("value_type", [pa.string(), pa.large_string(), pa.string_view()], ids=str)
def test_dictionary_encoded_text_decodes_row_by_row(parser, index_type, value_type):
    dictionary = pa.array(["AhgF", None, "AhgFAA==", "QR=="], value_type)
    indices = pa.array([2, 0, None, 1, 3, 2], index_type)
    column = pa.DictionaryArray.from_arrays(indices, dictionary)
    expected = good(parser, ["AhgFAA==", "AhgF", None, None, "QR==", "AhgFAA=="])
    assert rows_of(parser.parse_arrow("calibration", 1, column)) == expected
    assert rows_of(parser.parse_arrow("calibration", 1, column.slice(1, 4))) == expected[1:5]
    batch = pa.record_batch({"b64": column})
    assert rows_of(parser.parse_arrow("calibration", 1, batch)) == expected


def test_pyarrow_and_polars_categoricals(parser):
    pl = pytest.importorskip("polars")
    expected = good(parser, TEXTS)
    assert rows_of(parser.parse_arrow("calibration", 1, pa.array(TEXTS).dictionary_encode())) == expected
    assert rows_of(parser.parse_arrow("calibration", 1, pl.Series("b64", TEXTS, dtype=pl.Categorical))) == expected


def test_a_dictionary_of_other_values_says_how_to_cast(parser):
    with pytest.raises(TypeError, match="cast it to string first"):
        parser.parse_arrow("calibration", 1, pa.array([1, 2, 1]).dictionary_encode())


def stream_of(*steps, arrow_type=None, **options):
    return HandMadeStream(arrow_type or pa.string(), steps, **options)


EIO_TEXT = os.strerror(errno.EIO)
STREAM_FAILURES = [
    (
        "no get_schema",
        lambda: stream_of(missing={"get_schema"}),
        ValueError,
        "malformed Arrow column: an Arrow stream without its get_schema callback",
    ),
    (
        "no get_next",
        lambda: stream_of(missing={"get_next"}),
        ValueError,
        "malformed Arrow column: an Arrow stream without its get_next callback",
    ),
    (
        "no get_last_error",
        lambda: stream_of(missing={"get_last_error"}),
        ValueError,
        "malformed Arrow column: an Arrow stream without its get_last_error callback",
    ),
    (
        "get_schema fails",
        lambda: stream_of(schema_error=errno.EIO),
        ValueError,
        "the Arrow stream failed: producer failed",
    ),
    (
        "get_next fails, no reason",
        lambda: stream_of(errno.EIO, last_error=None),
        ValueError,
        f"the Arrow stream failed: {EIO_TEXT}",
    ),
    (
        "good chunk, then get_next fails",
        lambda: stream_of(pa.array(["AhgF"]), errno.EIO),
        ValueError,
        "the Arrow stream failed: producer failed",
    ),
    (
        "good chunk, then decreasing offsets",
        lambda: stream_of(
            pa.array(["AhgF"]),
            pa.Array.from_buffers(pa.string(), 2, [None, pa.py_buffer(offsets32(0, 8, 4)), pa.py_buffer(PAYLOAD)]),
        ),
        ValueError,
        "malformed Arrow column: offsets decrease at row 1",
    ),
    (
        "int64 stream",
        lambda: stream_of(pa.array([1]), arrow_type=pa.int64()),
        TypeError,
        "an Arrow column of format 'l' is not text; expected string ('u'), large_string ('U') or string_view ('vu')",
    ),
]


@pytest.mark.parametrize("make,error,message", [f[1:] for f in STREAM_FAILURES], ids=[f[0] for f in STREAM_FAILURES])
def test_a_failing_stream_raises_its_own_error_and_is_released_once(parser, make, error, message):
    stream = make()
    with pytest.raises(error) as raised:
        parser.parse_arrow("calibration", 1, stream)
    assert str(raised.value) == "argument 'column': " + message
    assert stream.released_stream == 1
    assert stream.unfilled_released == 0


def test_a_stream_of_python_callbacks_decodes(parser):
    stream = stream_of(pa.array(TEXTS[:3]), pa.array(TEXTS[3:]))
    assert rows_of(parser.parse_arrow("calibration", 1, stream)) == good(parser, TEXTS)
    assert stream.released_stream == 1


class Exports:
    def __init__(self, raising=None, value=None):
        self.raising, self.value = raising, value

    @property
    def __arrow_c_array__(self):
        if self.raising is not None:
            raise self.raising
        return self.value


@pytest.mark.parametrize("raised", [KeyboardInterrupt(), MemoryError(), RuntimeError("lookup failed")])
def test_exceptions_of_the_attribute_lookup_propagate(parser, raised):
    with pytest.raises(type(raised)) as caught:
        parser.parse_arrow("calibration", 1, Exports(raising=raised))
    assert caught.value is raised


def test_the_export_method_and_what_it_returns(parser):
    with pytest.raises(TypeError) as raised:
        parser.parse_arrow("calibration", 1, Exports(value=5))
    assert str(raised.value) == "argument 'column': its __arrow_c_array__ is a 'int' object, not a method"
    refusal = ValueError("the producer says no")

    def refuse(requested_schema=None):
        raise refusal

    with pytest.raises(ValueError) as caught:
        parser.parse_arrow("calibration", 1, Exports(value=refuse))
    assert caught.value is refusal
    with pytest.raises(TypeError, match=r"^argument 'column': its Arrow export is not a 'arrow_array' capsule$"):
        schema, _ = make_schema(b"u")
        parser.parse_arrow("calibration", 1, Exports(value=lambda: (capsule(schema, b"arrow_schema"), 1)))
