"""A test-side model of wire types. Each type can draw random values (a Hypothesis strategy),
encode a value to wire bytes with the encoder, and write the JSON the module must produce for
it, independently of the module: floats through numpy's shortest digits, everything else by
Python's own str().

Values: integers are ints, floats are their bit patterns (so every NaN payload and -0.0 is
reachable), options are None or the inner value, lists are Python lists, records are tuples in
field order, enums are (discriminant, content) with content None for a unit variant."""

from __future__ import annotations

import struct
from collections.abc import Iterator
from dataclasses import dataclass
from typing import Any

from hypothesis import strategies as st

from velunda_model import encoder as enc
from velunda_model.float_text import f32_text, f64_text

# Lists in property tests stay short so that one example stays small; the code paths are the
# same for 3 elements as for 3000.
DEFAULT_MAX_LIST = 3


def step(path: str, name: str) -> str:
    """The path of a field or variant `name` inside the value at `path`: "adcp.series[3].Ahrs"."""
    return f"{path}.{name}" if path else name


class WireType:
    def strategy(self) -> st.SearchStrategy:
        raise NotImplementedError

    def encode(self, value: Any) -> bytes:
        raise NotImplementedError

    def json(self, value: Any) -> str:
        raise NotImplementedError

    def smallest(self) -> Any:
        """The value with the shortest encoding: zero, absent, empty, the first variant."""
        raise NotImplementedError

    def reads(self, value: Any, path: str = "") -> Iterator[tuple[str, bytes]]:
        """Each primitive read of the value's encoding in wire order, as (the path of the value
        it belongs to, its bytes): a tag, count or discriminant belongs to its option, list or
        enum, as a failed read of it is reported there."""
        yield path, self.encode(value)

    def failure_at(self, value: Any, cut: int) -> tuple[str, int]:
        """(path, offset) of the read that runs out of bytes when the encoding ends after `cut`
        bytes: the first read not wholly inside them, reported where it begins."""
        offset = 0
        for path, data in self.reads(value):
            if offset + len(data) > cut:
                return path, offset
            offset += len(data)
        raise ValueError(f"the encoding is not longer than {cut} bytes")

    def count_sites(self) -> Iterator[tuple[str, bytes]]:
        """Every list count reachable in this type, as (path, the bytes that lead up to it):
        the fields before it at their smallest, one element in each enclosing list, the tag of
        each enclosing option and the discriminant of each enclosing variant."""
        return iter(())


@dataclass(frozen=True)
class Integer(WireType):
    bits: int
    signed: bool

    def bounds(self) -> tuple[int, int]:
        if self.signed:
            return -(1 << (self.bits - 1)), (1 << (self.bits - 1)) - 1
        return 0, (1 << self.bits) - 1

    def strategy(self):
        lo, hi = self.bounds()
        return st.one_of(st.sampled_from([lo, hi, 0, -1 if self.signed else 1]), st.integers(lo, hi))

    def encode(self, value):
        return enc.zigzag(value, self.bits) if self.signed else enc.varint(value)

    def json(self, value):
        return str(value)

    def smallest(self):
        return 0


@dataclass(frozen=True)
class Float(WireType):
    bits: int  # 32 or 64

    def strategy(self):
        pattern = st.integers(0, (1 << self.bits) - 1)
        ordinary = st.floats(width=self.bits).map(self.bits_of)
        return st.one_of(pattern, ordinary)

    def bits_of(self, value: float) -> int:
        fmt = ("<f", "<I") if self.bits == 32 else ("<d", "<Q")
        return struct.unpack(fmt[1], struct.pack(fmt[0], value))[0]

    def encode(self, value):
        return value.to_bytes(self.bits // 8, "little")

    def json(self, value):
        return f32_text(value) if self.bits == 32 else f64_text(value)

    def smallest(self):
        return 0


class RawByte(WireType):
    """A u8: one byte as it stands, no varint."""

    def strategy(self):
        return st.integers(0, 255)

    def encode(self, value):
        return bytes([value])

    def json(self, value):
        return str(value)

    def smallest(self):
        return 0


class Boolean(WireType):
    def strategy(self):
        return st.booleans()

    def encode(self, value):
        return enc.boolean(value)

    def json(self, value):
        return "true" if value else "false"

    def smallest(self):
        return False


@dataclass(frozen=True)
class Optional_(WireType):
    inner: WireType

    def strategy(self):
        return st.one_of(st.none(), self.inner.strategy())

    def encode(self, value):
        return enc.option(value, self.inner.encode)

    def json(self, value):
        return "null" if value is None else self.inner.json(value)

    def smallest(self):
        return None

    def reads(self, value, path=""):
        yield path, enc.boolean(value is not None)
        if value is not None:
            yield from self.inner.reads(value, path)

    def count_sites(self):
        for path, lead in self.inner.count_sites():
            yield path, b"\x01" + lead


class OptionalUnit(WireType):
    """A tag byte of 0 or 1 and nothing after it; always written as null."""

    def strategy(self):
        return st.sampled_from([0, 1])

    def encode(self, value):
        return bytes([value])

    def json(self, value):
        return "null"

    def smallest(self):
        return 0


@dataclass(frozen=True)
class ListOf(WireType):
    inner: WireType
    capacity: int | None = None

    def strategy(self):
        limit = DEFAULT_MAX_LIST if self.capacity is None else self.capacity
        return st.lists(self.inner.strategy(), max_size=limit)

    def encode(self, value):
        return enc.seq(value, self.inner.encode)

    def json(self, value):
        return "[" + ",".join(self.inner.json(item) for item in value) + "]"

    def smallest(self):
        return []

    def reads(self, value, path=""):
        yield path, enc.varint(len(value))
        for index, item in enumerate(value):
            yield from self.inner.reads(item, f"{path}[{index}]")

    def count_sites(self):
        yield "", b""
        for path, lead in self.inner.count_sites():
            yield f"[0]{path}", enc.varint(1) + lead


@dataclass(frozen=True)
class ArrayOf(WireType):
    """Exactly `length` elements, no count on the wire."""

    inner: WireType
    length: int

    def strategy(self):
        return st.lists(self.inner.strategy(), min_size=self.length, max_size=self.length)

    def encode(self, value):
        assert len(value) == self.length
        return b"".join(self.inner.encode(item) for item in value)

    def json(self, value):
        return "[" + ",".join(self.inner.json(item) for item in value) + "]"

    def smallest(self):
        return [self.inner.smallest()] * self.length

    def reads(self, value, path=""):
        for index, item in enumerate(value):
            yield from self.inner.reads(item, f"{path}[{index}]")


class Struct(WireType):
    def __init__(self, *fields: tuple[str, WireType]):
        self.fields = fields
        self.keys = [key for key, _ in fields]

    def strategy(self):
        return st.tuples(*(kind.strategy() for _, kind in self.fields))

    def encode(self, value):
        return b"".join(kind.encode(item) for (_, kind), item in zip(self.fields, value, strict=True))

    def json(self, value):
        return (
            "{"
            + ",".join(f'"{key}":{kind.json(item)}' for (key, kind), item in zip(self.fields, value, strict=True))
            + "}"
        )

    def smallest(self):
        return tuple(kind.smallest() for _, kind in self.fields)

    def reads(self, value, path=""):
        for (key, kind), item in zip(self.fields, value, strict=True):
            yield from kind.reads(item, step(path, key))

    def count_sites(self):
        for key, kind in self.fields:
            for path, lead in kind.count_sites():
                yield f".{key}{path}", self.lead_to(key) + lead

    def lead_to(self, key: str) -> bytes:
        """The bytes of every field before `key`, each at its smallest."""
        index = self.keys.index(key)
        return b"".join(earlier.encode(earlier.smallest()) for _, earlier in self.fields[:index])

    def field(self, key: str) -> WireType:
        return dict(self.fields)[key]

    def spliced(self, **parts: tuple[bytes, str]) -> tuple[bytes, str]:
        """The smallest record with the named fields replaced by given (wire bytes, JSON text):
        lets a test show one field's bytes and JSON inside a whole payload."""
        unknown = set(parts) - set(self.keys)
        assert not unknown, f"no such fields: {unknown}"
        wire, text = [], []
        for key, kind in self.fields:
            if key in parts:
                field_wire, field_json = parts[key]
            else:
                field_wire, field_json = kind.encode(kind.smallest()), kind.json(kind.smallest())
            wire.append(field_wire)
            text.append(f'"{key}":{field_json}')
        return b"".join(wire), "{" + ",".join(text) + "}"


class Variants(WireType):
    """An enum: a u32 discriminant, then the variant's content (None for a unit variant)."""

    def __init__(self, *variants: tuple[str, WireType | None]):
        self.variants = variants

    def strategy(self):
        def content(index: int):
            kind = self.variants[index][1]
            return st.just((index, None)) if kind is None else kind.strategy().map(lambda c: (index, c))

        return st.integers(0, len(self.variants) - 1).flatmap(content)

    def encode(self, value):
        index, content = value
        kind = self.variants[index][1]
        return enc.u32(index) + (b"" if kind is None else kind.encode(content))

    def json(self, value):
        index, content = value
        name, kind = self.variants[index]
        return f'"{name}"' if kind is None else f'{{"{name}":{kind.json(content)}}}'

    def smallest(self):
        name, kind = self.variants[0]
        return (0, None if kind is None else kind.smallest())

    def reads(self, value, path=""):
        index, content = value
        name, kind = self.variants[index]
        yield path, enc.u32(index)
        if kind is not None:
            yield from kind.reads(content, step(path, name))

    def count_sites(self):
        for index, (name, kind) in enumerate(self.variants):
            for path, lead in kind.count_sites() if kind is not None else ():
                yield f".{name}{path}", enc.u32(index) + lead


def units(*names: str) -> Variants:
    return Variants(*((name, None) for name in names))


I16, I32, I64 = Integer(16, True), Integer(32, True), Integer(64, True)
U16, U32, U64 = Integer(16, False), Integer(32, False), Integer(64, False)
U8 = RawByte()
F32, F64 = Float(32), Float(64)
BOOL = Boolean()
OPTIONAL_UNIT = OptionalUnit()


def envelope(family: str, version: int, body: str) -> str:
    return f'{{"{family}":{{"V{version}":{body}}}}}'
