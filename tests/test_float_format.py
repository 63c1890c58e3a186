"""Float text: shortest round-trip digits in the value's own precision, and the layout rules."""

import math
import os
import pathlib
import struct
import subprocess
import sys

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

from velunda_model.encoder import varint
from velunda_model.float_text import f32_text, f64_text, oracle

# f32 values as bit patterns (so that the binary32 value is exact) and the text each must give.
F32_CASES = [
    (0x3F800000, "1.0"),
    (0x80000000, "-0.0"),
    (0x00000000, "0.0"),
    (0x7FC00000, "null"),
    (0x7F800000, "null"),
    (0xFF800000, "null"),
    (0x41CB3333, "25.4"),
    (0x358637BD, "0.000001"),
    (0x00000001, "1e-45"),
    (0x7F7FFFFF, "3.4028235e38"),
    (0x3DCCCCCD, "0.1"),
    (0xBFC00000, "-1.5"),
    (0x5368D4A5, "1000000000000.0"),  # 1e12
    (0x551184E7, "1e13"),
    (0x3727C5AC, "0.00001"),
    (0x33D6BF95, "1e-7"),
    (0x34210FB0, "1.5e-7"),
    (0x66FEF4F9, "6.02e23"),
    (0x42F6E979, "123.456"),
    (0x42C80000, "100.0"),
]

F64_CASES = [
    (1.0, "1.0"),
    (-0.0, "-0.0"),
    (21.5, "21.5"),
    (3.75, "3.75"),
    (3.0, "3.0"),
    (1e-5, "0.00001"),
    (1e-6, "1e-6"),
    (1e15, "1000000000000000.0"),
    (1e16, "1e16"),
    (0.1, "0.1"),
    (5e-324, "5e-324"),
    (1.7976931348623157e308, "1.7976931348623157e308"),
    (-2.2250738585072014e-308, "-2.2250738585072014e-308"),
    (123456789012345.67, "123456789012345.67"),
    (1234567890123456.7, "1234567890123456.8"),
    (12345678901234567.0, "1.2345678901234568e16"),
    (0.000123456789, "0.000123456789"),
    (math.nan, "null"),
    (math.inf, "null"),
    (-math.inf, "null"),
]


def f64_bits(value: float) -> int:
    return struct.unpack("<Q", struct.pack("<d", value))[0]


@pytest.mark.parametrize("bits,expected", F32_CASES, ids=[c[1] + f"-{c[0]:08x}" for c in F32_CASES])
def test_f32_examples(probe, bits, expected):
    assert probe.format_f32_bits(bits) == expected


@pytest.mark.parametrize("value,expected", F64_CASES, ids=[c[1] for c in F64_CASES])
def test_f64_examples(probe, value, expected):
    assert probe.format_f64_bits(f64_bits(value)) == expected


@given(st.integers(0, 2**32 - 1))
def test_f32_matches_independent_shortest_digits(probe, bits):
    assert probe.format_f32_bits(bits) == f32_text(bits)


@given(st.floats(width=32, allow_nan=False, allow_infinity=False))
def test_f32_ordinary_values_match_independent_digits(probe, value):
    bits = struct.unpack("<I", struct.pack("<f", value))[0]
    assert probe.format_f32_bits(bits) == oracle(np.float32(value), 13, -5)


@given(st.integers(0, 2**64 - 1))
def test_f64_matches_independent_shortest_digits(probe, bits):
    assert probe.format_f64_bits(bits) == f64_text(bits)


@given(st.floats(allow_nan=False, allow_infinity=False))
def test_f64_ordinary_values_round_trip(probe, value):
    text = probe.format_f64_bits(f64_bits(value))
    assert text == oracle(np.float64(value), 16, -4)
    assert float(text) == value and math.copysign(1, float(text)) == math.copysign(1, value)


# Lists take their digits eight values at a time, in runs of 80: lengths around both, with the
# special values and the small integers (their own digits) among random bit patterns.
@pytest.mark.parametrize("count", [1, 7, 8, 9, 15, 79, 80, 81, 88, 161, 1000])
def test_float_lists_write_every_value_as_it_is_written_alone(probe, count):
    rng = np.random.default_rng(count)
    bits = rng.integers(0, 2**32, size=count, dtype=np.uint32)
    bits[rng.integers(0, count, size=count // 4)] = rng.choice([case[0] for case in F32_CASES] + [0x4B800000])
    data = varint(count) + bits.astype("<u4").tobytes()
    expected = "[" + ",".join(f32_text(int(each)) for each in bits) + "]"
    assert probe.transcode("list_f32", data) == (True, expected, len(data))


@pytest.mark.parametrize("count,whole", [(8, 7), (9, 8), (81, 79), (1000, 999), (1000, 0)])
def test_float_lists_cut_short_fail_at_the_first_missing_value(probe, count, whole):
    head = varint(count)
    data = head + np.arange(whole, dtype="<f4").tobytes() + b"\x00\x00"
    assert probe.transcode("list_f32", data) == (False, "DeserializeUnexpectedEnd", len(head) + 4 * whole)


def test_f32_is_not_widened_before_formatting(probe):
    # The binary32 nearest 0.1 is 0.100000001490116...; its own shortest digits are "1".
    assert probe.format_f32_bits(0x3DCCCCCD) == "0.1"
    assert probe.format_f64_bits(f64_bits(float(np.float32(0.1)))) == "0.10000000149011612"


def test_sampled_binary32_values_read_back_exactly_with_the_reference_digits(probe):
    # A prime stride touches every exponent and a spread of mantissas in about a second.
    assert probe.f32_format_failures(stride=4099, threads=2) == 0


@pytest.mark.exhaustive
@pytest.mark.skipif(os.environ.get("VELUNDA_EXHAUSTIVE") != "1", reason="set VELUNDA_EXHAUSTIVE=1 to run")
def test_every_binary32_value_reads_back_exactly_with_the_reference_digits(probe):
    assert probe.f32_format_failures(stride=1, threads=os.cpu_count() or 1) == 0


def test_random_binary64_values_read_back_exactly_with_the_reference_digits(probe):
    # Every power of two and the other hard cases too, besides the random bit patterns.
    assert probe.f64_format_failures(seed=64, count=4_000_000, threads=2) == 0


@pytest.mark.exhaustive
@pytest.mark.skipif(not os.environ.get("VELUNDA_EXHAUSTIVE"), reason="set VELUNDA_EXHAUSTIVE=1 to run")
def test_a_hundred_million_binary64_values_read_back_exactly_with_the_reference_digits(probe):
    assert probe.f64_format_failures(seed=1, count=100_000_000, threads=os.cpu_count() or 1) == 0


def test_the_binary64_power_table_is_what_its_generator_writes():
    root = pathlib.Path(__file__).resolve().parent.parent
    generated = subprocess.run(
        [sys.executable, str(root / "scripts" / "make_powers_of_ten.py")], capture_output=True, text=True, check=True
    )
    assert generated.stdout == (root / "src" / "codec" / "powers_of_ten_128.hpp").read_text()
