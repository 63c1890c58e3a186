"""Independent float text for tests: numpy's shortest round-trip digits (``unique=True``), laid
out by the module's rules: plain decimals for decimal exponents up to T, plain "0.000ddd" down to
M, scientific "de5"/"d.ddde-7" beyond; NaN and infinities are null."""

import struct

import numpy as np

F32_PLAIN_LIMIT, F32_SMALL_LIMIT = 13, -5
F64_PLAIN_LIMIT, F64_SMALL_LIMIT = 16, -4


def layout(scientific: str, plain_limit: int, small_limit: int) -> str:
    """Lays out numpy's shortest scientific digits ("-2.54e+01") by the documented rules."""
    sign = "-" if scientific.startswith("-") else ""
    mantissa, exponent = scientific.lstrip("-").split("e")
    digits = mantissa.replace(".", "").rstrip("0") or "0"
    n = len(digits)
    point = int(exponent) + 1
    scale = point - n
    if scale >= 0 and point <= plain_limit:
        body = digits + "0" * scale + ".0"
    elif 0 < point <= plain_limit:
        body = digits[:point] + "." + digits[point:]
    elif small_limit <= point <= 0:
        body = "0." + "0" * -point + digits
    elif n == 1:
        body = f"{digits}e{point - 1}"
    else:
        body = f"{digits[0]}.{digits[1:]}e{point - 1}"
    return sign + body


def oracle(value, plain_limit, small_limit) -> str:
    if not np.isfinite(value):
        return "null"
    if value == 0:
        return "-0.0" if np.signbit(value) else "0.0"
    return layout(np.format_float_scientific(value, unique=True, trim="-"), plain_limit, small_limit)


def f32_text(bits: int) -> str:
    value = np.frombuffer(struct.pack("<I", bits), dtype=np.float32)[0]
    return oracle(value, F32_PLAIN_LIMIT, F32_SMALL_LIMIT)


def f64_text(bits: int) -> str:
    value = np.frombuffer(struct.pack("<Q", bits), dtype=np.float64)[0]
    return oracle(value, F64_PLAIN_LIMIT, F64_SMALL_LIMIT)
