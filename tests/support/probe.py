"""Builds the codec probe library beside the sources and drives it through ctypes."""

from __future__ import annotations

import ctypes
import os
import pathlib
import shutil
import subprocess
import sys

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD_DIR = ROOT / "build" / "test-probe"


def build() -> pathlib.Path:
    """Configures and builds the probe (and, with warnings as errors, the module) once per tree;
    VELUNDA_PROBE_DIR names a tree where it is already built (the sanitizer run)."""
    if os.environ.get("VELUNDA_PROBE_DIR"):
        return pathlib.Path(os.environ["VELUNDA_PROBE_DIR"]) / "libvelunda_probe.so"
    cmake = shutil.which("cmake")
    if cmake is None:
        raise RuntimeError("cmake is needed to build the codec probe: pip install '.[test]'")
    configure = [
        cmake,
        "-S",
        str(ROOT),
        "-B",
        str(BUILD_DIR),
        "-DCMAKE_BUILD_TYPE=Release",
        "-DVELUNDA_BUILD_PROBE=ON",
        "-DVELUNDA_WERROR=ON",
        f"-DPython_EXECUTABLE={sys.executable}",
    ]
    if shutil.which("ninja") and not (BUILD_DIR / "CMakeCache.txt").exists():
        configure += ["-G", "Ninja"]
    subprocess.run(configure, check=True, stdout=subprocess.DEVNULL)
    subprocess.run([cmake, "--build", str(BUILD_DIR), "--parallel"], check=True, stdout=subprocess.DEVNULL)
    return BUILD_DIR / "libvelunda_probe.so"


class Probe:
    def __init__(self, path: pathlib.Path):
        lib = ctypes.CDLL(str(path))
        size_p = ctypes.POINTER(ctypes.c_size_t)
        lib.velunda_probe_transcode.argtypes = [
            ctypes.c_char_p,
            ctypes.c_char_p,
            ctypes.c_size_t,
            ctypes.c_char_p,
            ctypes.c_size_t,
            size_p,
            size_p,
        ]
        lib.velunda_probe_transcode.restype = ctypes.c_int
        for name, arg in [
            ("f32", ctypes.c_uint32),
            ("f64", ctypes.c_uint64),
            ("i64", ctypes.c_int64),
            ("u64", ctypes.c_uint64),
        ]:
            fn = getattr(lib, f"velunda_probe_format_{name}")
            fn.argtypes = [arg, ctypes.c_char_p]
            fn.restype = ctypes.c_size_t
        lib.velunda_probe_quote.argtypes = [ctypes.c_char_p, ctypes.c_size_t, ctypes.c_char_p]
        lib.velunda_probe_quote.restype = ctypes.c_size_t
        lib.velunda_probe_f32_format_failures.argtypes = [ctypes.c_uint32, ctypes.c_uint]
        lib.velunda_probe_f32_format_failures.restype = ctypes.c_uint64
        lib.velunda_probe_f64_format_failures.argtypes = [ctypes.c_uint64, ctypes.c_uint64, ctypes.c_uint]
        lib.velunda_probe_f64_format_failures.restype = ctypes.c_uint64
        lib.velunda_probe_base64_differential.argtypes = [ctypes.c_uint64, ctypes.c_size_t]
        lib.velunda_probe_base64_differential.restype = ctypes.c_uint64
        lib.velunda_probe_16_bit_format_failures.restype = ctypes.c_uint64
        lib.velunda_probe_base64.argtypes = [
            ctypes.c_char_p,
            ctypes.c_size_t,
            ctypes.c_char_p,
            size_p,
            size_p,
            ctypes.POINTER(ctypes.c_uint8),
        ]
        lib.velunda_probe_base64.restype = ctypes.c_int
        lib.velunda_probe_batch.argtypes = (
            [ctypes.c_uint, ctypes.c_uint]
            + [ctypes.c_size_t] * 5
            + [
                ctypes.c_char_p,
                ctypes.c_size_t,
            ]
        )
        lib.velunda_probe_batch.restype = ctypes.c_size_t
        self._lib = lib

    def transcode(self, schema: str, data: bytes) -> tuple[bool, str, int]:
        """(ok, JSON text or wire-error name, bytes consumed) of one value of `schema`."""
        capacity = 64 + 64 * len(data)
        out = ctypes.create_string_buffer(capacity)
        size, consumed = ctypes.c_size_t(), ctypes.c_size_t()
        status = self._lib.velunda_probe_transcode(
            schema.encode(), data, len(data), out, capacity, ctypes.byref(size), ctypes.byref(consumed)
        )
        if status < 0:
            raise KeyError(schema)
        return status == 1, out.raw[: size.value].decode("ascii"), consumed.value

    def base64(self, text: bytes):
        """The decoded bytes, or the error as printed: "InvalidByte(3, 45)", "InvalidPadding"."""
        out = ctypes.create_string_buffer((len(text) + 3) // 4 * 3 + 1)
        size, offset, byte = ctypes.c_size_t(), ctypes.c_size_t(), ctypes.c_uint8()
        kind = self._lib.velunda_probe_base64(
            text, len(text), out, ctypes.byref(size), ctypes.byref(offset), ctypes.byref(byte)
        )
        if kind < 0:
            return out.raw[: size.value]
        return [
            f"InvalidByte({offset.value}, {byte.value})",
            f"InvalidLength({offset.value})",
            f"InvalidLastSymbol({offset.value}, {byte.value})",
            "InvalidPadding",
        ][kind]

    def _format(self, name: str, value: int) -> str:
        out = ctypes.create_string_buffer(32)
        size = getattr(self._lib, f"velunda_probe_format_{name}")(value, out)
        return out.raw[:size].decode("ascii")

    def format_f32_bits(self, bits: int) -> str:
        return self._format("f32", bits)

    def format_f64_bits(self, bits: int) -> str:
        return self._format("f64", bits)

    def format_i64(self, value: int) -> str:
        return self._format("i64", value)

    def format_u64(self, value: int) -> str:
        return self._format("u64", value)

    def quote(self, text: bytes) -> bytes:
        out = ctypes.create_string_buffer(6 * len(text) + 2)
        size = self._lib.velunda_probe_quote(text, len(text), out)
        return out.raw[:size]

    def f32_format_failures(self, stride: int, threads: int) -> int:
        return self._lib.velunda_probe_f32_format_failures(stride, threads)

    def format_16_bit_failures(self) -> int:
        return self._lib.velunda_probe_16_bit_format_failures()

    def base64_differential(self, seed: int, max_length: int) -> int:
        return self._lib.velunda_probe_base64_differential(seed, max_length)

    def f64_format_failures(self, seed: int, count: int, threads: int) -> int:
        return self._lib.velunda_probe_f64_format_failures(seed, count, threads)

    def batch(self, threads, rows, rows_per_chunk, startable=64, stop_after=0, throw_at=0, request_stop_after=0):
        """A batch of mixed rows through the batch core: (outcome, chunks consumed, threads that
        decoded, {row: JSON or message} of the rows consumed)."""
        capacity = 4096 + 128 * rows
        out = ctypes.create_string_buffer(capacity)
        size = self._lib.velunda_probe_batch(
            threads, startable, rows, rows_per_chunk, stop_after, throw_at, request_stop_after, out, capacity
        )
        head, *lines = out.raw[:size].decode().splitlines()
        outcome, chunks, decoding = head.split()
        consumed = dict(line.split(" ", 1) for line in lines)
        return outcome, int(chunks), int(decoding), {int(row): text for row, text in consumed.items()}
