"""The wire value readers and JSON value writers, one type at a time, through the codec probe."""

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from velunda_model.encoder import f32, i16, i32, i64, seq, u16, u32, u64, varint, zigzag

END = "DeserializeUnexpectedEnd"
BAD_VARINT = "DeserializeBadVarint"
BAD_BOOL = "DeserializeBadBool"
BAD_OPTION = "DeserializeBadOption"
CUSTOM = "SerdeDeCustom"


def h(text: str) -> bytes:
    return bytes.fromhex(text)


# (schema, wire bytes, expected JSON or wire-error name)
CASES = [
    ("u8", h("00"), "0"),
    ("u8", h("ff"), "255"),
    ("u8", b"", END),
    ("bool", h("00"), "false"),
    ("bool", h("01"), "true"),
    ("bool", h("02"), BAD_BOOL),
    ("bool", h("ff"), BAD_BOOL),
    ("u16", h("ffff03"), "65535"),
    ("u16", h("ffff04"), BAD_VARINT),
    ("u16", h("808080"), BAD_VARINT),
    ("u16", h("80"), END),
    ("u16", h("8000"), "0"),
    ("u16", h("808000"), "0"),
    ("u32", h("ffffffff0f"), "4294967295"),
    ("u32", h("ffffffff10"), BAD_VARINT),
    ("u32", h("8080808080"), BAD_VARINT),
    ("u64", h("ff" * 9 + "01"), "18446744073709551615"),
    ("u64", h("ff" * 9 + "02"), BAD_VARINT),
    ("u64", h("80" * 10), BAD_VARINT),
    ("u64", h("80" * 9), END),
    ("i16", h("00"), "0"),
    ("i16", h("01"), "-1"),
    ("i16", h("02"), "1"),
    ("i16", h("feff03"), "32767"),
    ("i16", h("ffff03"), "-32768"),
    ("i16", h("ffff04"), BAD_VARINT),
    ("i32", h("01"), "-1"),
    ("i32", h("02"), "1"),
    ("i32", h("ffffffff0f"), "-2147483648"),
    ("i32", h("feffffff0f"), "2147483647"),
    ("i32", h("ffffffff1f"), BAD_VARINT),
    ("i64", h("ff" * 9 + "01"), "-9223372036854775808"),
    ("i64", h("fe" + "ff" * 8 + "01"), "9223372036854775807"),
    ("f32", h("0000803f"), "1.0"),
    ("f32", h("00000080"), "-0.0"),
    ("f32", h("0000c07f"), "null"),
    ("f32", h("0000807f"), "null"),
    ("f32", h("000080ff"), "null"),
    ("f32", h("3333cb41"), "25.4"),
    ("f32", h("000080"), END),
    ("f64", h("0000000000803540"), "21.5"),
    ("f64", h("00000000000000"), END),
    ("option_f32", h("00"), "null"),
    ("option_f32", h("01000000c0"), "-2.0"),
    ("option_f32", h("010000c07f"), "null"),
    ("option_f32", h("02"), BAD_OPTION),
    ("option_f32", h("01000000"), END),
    ("option_f32", b"", END),
    ("option_u8", h("01ff"), "255"),
    ("option_u8", h("01"), END),
    ("option_unit", h("00"), "null"),
    ("option_unit", h("01"), "null"),
    ("option_unit", h("02"), BAD_OPTION),
    ("list_i32", h("00"), "[]"),
    ("list_i32", h("03020304"), "[1,-2,2]"),
    ("list_i32", h("03020304"[:6]), END),
    ("list_f32", seq([1.5, float("nan"), 2.0], f32), "[1.5,null,2.0]"),
    ("list_option_u8", h("0300010700"), "[null,7,null]"),
    ("list_option_u8", h("0102"), BAD_OPTION),
    ("array3_u8", h("0a0b0c"), "[10,11,12]"),
    ("array3_u8", h("0a0b"), END),
    ("list_array3_i16", h("02010203ffff03feff0300"), "[[-1,1,-2],[-32768,32767,0]]"),
    ("list_array3_i16", h("010102"), END),
    ("enum11", h("00"), '"V0"'),
    ("enum11", h("0a"), '"V10"'),
    ("enum11", h("0b"), CUSTOM),
    ("enum11", h("ffffffff1f"), BAD_VARINT),
    ("enum11", h("ffffffff0f"), CUSTOM),
    ("enum11", h("8100"), '"V1"'),
    ("pump", h("00"), '"Off"'),
    ("pump", h("01e807"), '{"On":1000}'),
    ("pump", h("01ffff03"), '{"On":65535}'),
    ("pump", h("01"), END),
    ("pump", h("02"), CUSTOM),
    ("sentence", h("00"), '"None"'),
    ("sentence", h("011800"), '{"Point":{"x":12,"y":null}}'),
    ("sentence", h("0118010000c03f"), '{"Point":{"x":12,"y":1.5}}'),
    ("sentence", h("011803"), BAD_OPTION),
    ("record", h("0702010000"), '{"a":7,"b":[true,false],"c":"Off"}'),
    ("record", h("07010200"), BAD_BOOL),
]


@pytest.mark.parametrize("schema,data,expected", CASES, ids=[f"{c[0]}-{c[1].hex() or 'empty'}" for c in CASES])
def test_value_reads_and_writes(probe, schema, data, expected):
    ok, text, _ = probe.transcode(schema, data)
    assert text == expected
    assert ok == (expected not in {END, BAD_VARINT, BAD_BOOL, BAD_OPTION, CUSTOM})


@pytest.mark.parametrize(
    "schema,data",
    [
        ("u16", h("ffff03aa")),
        ("list_i32", h("0102ff")),
        ("option_unit", h("0105")),
        ("pump", h("01e807ee")),
    ],
)
def test_reads_stop_at_the_end_of_their_value(probe, schema, data):
    ok, _, consumed = probe.transcode(schema, data)
    assert ok and consumed == len(data) - 1


class TestBoundedList:
    @pytest.mark.parametrize("count", [0, 1, 11])
    def test_up_to_capacity_behaves_as_a_list(self, probe, count):
        values = list(range(-count, count, 2))[:count]
        assert probe.transcode("bounded11_i32", seq(values, i32))[1] == "[" + ",".join(map(str, values)) + "]"

    def test_twelve_well_formed_elements_are_refused(self, probe):
        assert probe.transcode("bounded11_i32", seq(range(12), i32))[1] == CUSTOM

    def test_the_twelfth_element_is_read_before_the_capacity_check(self, probe):
        eleven = varint(12) + b"".join(i32(v) for v in range(11))
        assert probe.transcode("bounded11_i32", eleven)[1] == END
        assert probe.transcode("bounded11_u16", varint(12) + b"\x00" * 11 + h("ffff04"))[1] == BAD_VARINT

    def test_refusal_is_reported_where_the_twelfth_element_begins(self, probe):
        _, text, offset = probe.transcode("bounded11_u16", varint(20) + b"\x05" * 20)
        assert text == CUSTOM and offset == 1 + 11


@pytest.mark.parametrize("count", [2**64 - 1, 2**32, 1_000_000])
@pytest.mark.parametrize("schema", ["list_i32", "list_f32", "list_array3_i16", "bounded11_i32", "list_option_u8"])
def test_huge_counts_over_short_input_fail_at_the_end(probe, schema, count):
    assert probe.transcode(schema, varint(count) + h("000000"))[1] == END


class TestIntegers:
    @given(st.integers(0, 2**16 - 1))
    def test_u16(self, probe, value):
        assert probe.transcode("u16", u16(value))[1] == str(value)

    @given(st.integers(0, 2**32 - 1))
    def test_u32(self, probe, value):
        assert probe.transcode("u32", u32(value))[1] == str(value)

    @given(st.integers(0, 2**64 - 1))
    def test_u64(self, probe, value):
        assert probe.transcode("u64", u64(value))[1] == str(value)
        assert probe.format_u64(value) == str(value)

    @given(st.integers(-(2**15), 2**15 - 1))
    def test_i16(self, probe, value):
        assert probe.transcode("i16", i16(value))[1] == str(value)

    @given(st.integers(-(2**31), 2**31 - 1))
    def test_i32(self, probe, value):
        assert probe.transcode("i32", i32(value))[1] == str(value)

    @given(st.integers(-(2**63), 2**63 - 1))
    def test_i64(self, probe, value):
        assert probe.transcode("i64", i64(value))[1] == str(value)
        assert probe.format_i64(value) == str(value)

    @given(st.integers(0, 2**16 - 1), st.integers(1, 2))
    def test_over_long_encodings_are_accepted_within_the_byte_limit(self, probe, value, padding):
        minimal = bytearray(varint(value))
        if len(minimal) + padding > 3:
            return
        minimal[-1] |= 0x80
        padded = bytes(minimal) + b"\x80" * (padding - 1) + b"\x00"
        assert probe.transcode("u16", padded)[1] == str(value)

    @given(st.integers(1 << 16, 1 << 21 - 1))
    def test_u16_above_range_is_a_bad_varint(self, probe, value):
        assert probe.transcode("u16", varint(value))[1] == BAD_VARINT

    def test_zigzag_mapping(self, probe):
        assert [zigzag(v, 16) for v in (0, -1, 1, -2, 32767, -32768)] == [
            b"\x00",
            b"\x01",
            b"\x02",
            b"\x03",
            h("feff03"),
            h("ffff03"),
        ]


@pytest.mark.parametrize(
    "text,expected",
    [
        (b"water_ph", b'"water_ph"'),
        (b'a"b', b'"a\\"b"'),
        (b"a\\b", b'"a\\\\b"'),
        (b"\x08\x0c\x0a\x0d\x09", b'"\\b\\f\\n\\r\\t"'),
        (b"\x00\x1f\x01", b'"\\u0000\\u001f\\u0001"'),
        (b"\x7f\xc3\xa9", b'"\x7f\xc3\xa9"'),
        (b"", b'""'),
    ],
)
def test_string_escaping(probe, text, expected):
    assert probe.quote(text) == expected


def test_every_16_bit_integer_is_written_as_its_decimal(probe):
    assert probe.format_16_bit_failures() == 0


# ---- Short arrays of 16-bit varints, read several at a time --------------------------------------


def reference_list_of_arrays(data: bytes, width: int, signed: bool):
    """List<Array<16-bit, width>> read one varint at a time, as the wire rules say: (JSON, bytes
    read), or (error, where the failing value begins)."""
    at = 0

    def varint(limit_bytes, last_max):
        nonlocal at
        start, value = at, 0
        for i in range(limit_bytes):
            if at >= len(data):
                return None, (END, start)
            byte = data[at]
            at += 1
            value |= (byte & 0x7F) << (7 * i)
            if not byte & 0x80:
                if i == limit_bytes - 1 and byte > last_max:
                    return None, (BAD_VARINT, start)
                return value, None
        return None, (BAD_VARINT, start)

    count, failure = varint(10, 1)
    if failure:
        return failure
    arrays = []
    for _ in range(count):
        values = []
        for _ in range(width):
            raw, failure = varint(3, 3)
            if failure:
                return failure
            values.append((raw >> 1) ^ -(raw & 1) if signed else raw)
        arrays.append("[" + ",".join(map(str, values)) + "]")
    return "[" + ",".join(arrays) + "]", at


@st.composite
def varint_runs(draw, width):
    """A count and as many arrays of varints of every length: mostly one and two bytes, then
    three-byte and over-long ones (80 00) and the odd bad one; now and then cut short; bytes may
    follow."""
    count = draw(st.integers(0, 12))
    data = varint(count)
    forms = ["short"] * 5 + ["two"] * 5 + ["three", "long", "bad"]
    for _ in range(count * width):
        form = draw(st.sampled_from(forms))
        if form == "short":
            data += bytes([draw(st.integers(0, 127))])
        elif form == "two":
            data += bytes([draw(st.integers(128, 255)), draw(st.integers(0, 127))])
        elif form == "three":
            data += bytes([draw(st.integers(128, 255)), draw(st.integers(128, 255)), draw(st.integers(0, 3))])
        elif form == "long":
            data += bytes([0x80, 0x00])
        else:
            data += bytes([0xFF, 0xFF, draw(st.integers(4, 255))])
    if draw(st.booleans()) and draw(st.booleans()):
        data = data[: draw(st.integers(0, len(data)))]
    return data + draw(st.binary(max_size=9))


@pytest.mark.parametrize("schema,width,signed", [("list_array3_i16", 3, True), ("list_array4_u16", 4, False)])
@settings(max_examples=300)
@given(data=st.data())
def test_short_arrays_read_as_one_varint_at_a_time(probe, schema, width, signed, data):
    data = data.draw(varint_runs(width))
    expected, consumed = reference_list_of_arrays(data, width, signed)
    ok, text, read = probe.transcode(schema, data)
    assert (text, read) == (expected, consumed)
    assert ok == (expected not in {END, BAD_VARINT})


@pytest.mark.parametrize("schema,width,signed", [("list_array3_i16", 3, True), ("list_array4_u16", 4, False)])
def test_short_arrays_write_every_one_and_two_byte_varint(probe, schema, width, signed):
    raws = list(range(1 << 14))
    raws += [0] * (-len(raws) % width)
    data = varint(len(raws) // width)
    for raw in raws:
        data += bytes([raw]) if raw < 0x80 else bytes([0x80 | (raw & 0x7F), raw >> 7])
    expected, consumed = reference_list_of_arrays(data, width, signed)
    assert probe.transcode(schema, data) == (True, expected, consumed)
