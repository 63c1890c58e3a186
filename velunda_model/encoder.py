"""A small payload encoder for tests: each function returns the wire bytes of one value, so a
test can show its input next to the JSON it expects (``varint(300) + f32(21.5)``)."""

from __future__ import annotations

import base64
import struct
from collections.abc import Callable, Iterable
from typing import TypeVar

T = TypeVar("T")


def varint(value: int) -> bytes:
    """Unsigned LEB128, minimal length."""
    if value < 0:
        raise ValueError("varint takes a non-negative value")
    out = bytearray()
    while True:
        low, value = value & 0x7F, value >> 7
        out.append(low | (0x80 if value else 0))
        if not value:
            return bytes(out)


def zigzag(value: int, bits: int) -> bytes:
    lo, hi = -(1 << (bits - 1)), (1 << (bits - 1)) - 1
    if not lo <= value <= hi:
        raise ValueError(f"{value} does not fit i{bits}")
    return varint(((value << 1) ^ (value >> (bits - 1))) & ((1 << bits) - 1))


def u8(value: int) -> bytes:
    return bytes([value])


def u16(value: int) -> bytes:
    assert 0 <= value < 1 << 16
    return varint(value)


def u32(value: int) -> bytes:
    assert 0 <= value < 1 << 32
    return varint(value)


def u64(value: int) -> bytes:
    assert 0 <= value < 1 << 64
    return varint(value)


def i16(value: int) -> bytes:
    return zigzag(value, 16)


def i32(value: int) -> bytes:
    return zigzag(value, 32)


def i64(value: int) -> bytes:
    return zigzag(value, 64)


def f32(value: float) -> bytes:
    return struct.pack("<f", value)


def f64(value: float) -> bytes:
    return struct.pack("<d", value)


def boolean(value: bool) -> bytes:
    return b"\x01" if value else b"\x00"


def option(value: T | None, encode: Callable[[T], bytes]) -> bytes:
    return b"\x00" if value is None else b"\x01" + encode(value)


def seq(items: Iterable[T], encode: Callable[[T], bytes]) -> bytes:
    """A list: the count as a varint, then each element."""
    items = list(items)
    return varint(len(items)) + b"".join(encode(item) for item in items)


def b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")
