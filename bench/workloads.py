"""Deterministic benchmark payloads, built with the tests' payload model so that their bytes
follow the same layouts the tests check."""

from __future__ import annotations

import base64
import random
import struct
from dataclasses import dataclass

from velunda_model.model import (  # noqa: E402
    ArrayOf,
    Boolean,
    Float,
    Integer,
    ListOf,
    Optional_,
    OptionalUnit,
    RawByte,
    Struct,
    Variants,
)
from velunda_model.records import DIAGNOSTICS, SAMPLES  # noqa: E402


@dataclass(frozen=True)
class Workload:
    name: str
    kind: str
    version: int
    texts: tuple[str, ...]  # base64, distinct payloads taken in turn

    @property
    def text(self) -> str:
        return self.texts[0]

    @property
    def payload_size(self) -> int:
        """The mean decoded size."""
        return sum(len(base64.b64decode(text)) for text in self.texts) // len(self.texts)


def finite_f32_bits(rng: random.Random) -> int:
    while True:
        bits = rng.getrandbits(32)
        if (bits >> 23) & 0xFF != 0xFF:
            return bits


def f32_bits(value: float) -> int:
    return struct.unpack("<I", struct.pack("<f", value))[0]


def filled(kind, rng: random.Random, readings: int):
    """A value of `kind` with `readings` elements in every list, random contents, every option
    present and a random variant in every enum."""
    if isinstance(kind, Integer):
        lo, hi = kind.bounds()
        return rng.randint(lo, hi)
    if isinstance(kind, Float):
        return (
            finite_f32_bits(rng)
            if kind.bits == 32
            else struct.unpack("<Q", struct.pack("<d", rng.uniform(-1e6, 1e6)))[0]
        )
    if isinstance(kind, RawByte):
        return rng.randrange(256)
    if isinstance(kind, Boolean):
        return rng.random() < 0.5
    if isinstance(kind, OptionalUnit):
        return None
    if isinstance(kind, Optional_):
        return filled(kind.inner, rng, readings)
    if isinstance(kind, ListOf):
        count = readings if kind.capacity is None else min(readings, kind.capacity)
        return [filled(kind.inner, rng, readings) for _ in range(count)]
    if isinstance(kind, ArrayOf):
        return [filled(kind.inner, rng, readings) for _ in range(kind.length)]
    if isinstance(kind, Struct):
        return tuple(filled(field, rng, readings) for _, field in kind.fields)
    if isinstance(kind, Variants):
        index = rng.randrange(len(kind.variants))
        content = kind.variants[index][1]
        return index, None if content is None else filled(content, rng, readings)
    raise TypeError(f"no filler for {kind!r}")


def b64(data: bytes) -> str:
    return base64.b64encode(data).decode("ascii")


def tiny_payload(seed: int) -> str:
    layout = DIAGNOSTICS[4]
    if seed == 0:
        data = layout.encode((0x4036800000000000, 41, -17, 0x400D99999999999A, True))
        assert len(data) == 21
        return b64(data)
    return b64(layout.encode(filled(layout, random.Random(seed), 1)))


def sample_v13(cells: int, seed: int) -> bytes:
    rng = random.Random(seed)
    layout = SAMPLES[13]
    value = list(filled(layout, rng, readings=10))
    adcp = layout.field("adcp").field("series").inner
    profile_kind = adcp.variants[0][1]
    profile = list(filled(profile_kind, rng, readings=cells))
    profile[profile_kind.keys.index("number_of_cells")] = cells
    # Velocities in mm/s within +-8.2 m/s: two wire bytes each, as a real profile has.
    profile[profile_kind.keys.index("velocity")] = [[rng.randint(-8192, 8191) for _ in range(3)] for _ in range(cells)]
    series = [(0, tuple(profile))]
    series += [(1, filled(adcp.variants[1][1], rng, 1)) for _ in range(10)]
    series.append((2, filled(adcp.variants[2][1], rng, 1)))
    value[layout.keys.index("adcp")] = (series,)
    sentence = layout.field("airmar").field("sentences").inner
    value[layout.keys.index("airmar")] = (
        [(index, filled(sentence.variants[index][1], rng, 1)) for index in (1, 2, 3, 4)],
    )
    return layout.encode(value)


def typical_payload(seed: int) -> str:
    return b64(sample_v13(cells=50, seed=seed))


def large_payload(seed: int) -> str:
    return b64(sample_v13(cells=100_000, seed=seed))


def floats_payload(seed: int) -> str:
    rng = random.Random(seed)
    layout = SAMPLES[13]
    value = list(layout.smallest())
    value[layout.keys.index("gas_co2_k30")] = ([finite_f32_bits(rng) for _ in range(10_000)],)
    return b64(layout.encode(value))


# Each workload rotates through this many distinct payloads, so that no branch pattern or cache
# line is learnt from repeating one.
ROTATION = {"tiny": 200, "typical": 200, "large": 3, "floats": 20}
FIRST_SEED = {"tiny": 0, "typical": 13, "large": 14, "floats": 15}
PAYLOADS = {"tiny": tiny_payload, "typical": typical_payload, "large": large_payload, "floats": floats_payload}
FAMILY = {"tiny": ("diagnostics", 4), "typical": ("samples", 13), "large": ("samples", 13), "floats": ("samples", 13)}


def workload(name: str, distinct: int | None = None) -> Workload:
    count = ROTATION[name] if distinct is None else distinct
    first = FIRST_SEED[name]
    texts = tuple(PAYLOADS[name](first + n * 1000 if n else first) for n in range(count))
    return Workload(name, *FAMILY[name], texts)


def tiny() -> Workload:
    return workload("tiny", 1)


def typical(seed: int = 13) -> Workload:
    return Workload("typical", "samples", 13, (typical_payload(seed),))


def large() -> Workload:
    return workload("large", 1)


def floats() -> Workload:
    return workload("floats", 1)


def all_workloads() -> list[Workload]:
    return [workload(name) for name in ROTATION]
