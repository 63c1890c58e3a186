"""Typed table rows turned back into the JSON form, and values normalised for comparison.

`json_form(value, type)` is the one documented inverse of the typed mapping: a struct whose
first child is `variant` (an enum with content) becomes the variant's name, or a one-key object
{name: content} when the variant carries content; a dictionary or string is its text; a
decimal128(20, 0) (the Spark flavor's u64) is its integer; lists and structs map element by
element. `comparable(value, type)` then reads every float32 as float32, on either side, since
the JSON prints a float32 with its own shortest digits."""

import numpy as np
import pyarrow as pa


def is_variant_struct(arrow_type) -> bool:
    return pa.types.is_struct(arrow_type) and arrow_type.num_fields > 0 and arrow_type.field(0).name == "variant"


def json_form(value, arrow_type):
    if value is None:
        return None
    if is_variant_struct(arrow_type):
        name = value["variant"]
        if arrow_type.get_field_index(name) < 0:
            return name
        return {name: json_form(value[name], arrow_type.field(name).type)}
    if pa.types.is_struct(arrow_type):
        return {field.name: json_form(value[field.name], field.type) for field in arrow_type}
    if pa.types.is_list(arrow_type) or pa.types.is_fixed_size_list(arrow_type):
        return [json_form(item, arrow_type.value_type) for item in value]
    if pa.types.is_decimal(arrow_type):
        return int(value)
    return value


def comparable(value, arrow_type):
    """A JSON-form value with its float32s as numpy float32."""
    if value is None:
        return None
    if is_variant_struct(arrow_type):
        if isinstance(value, str):
            return value
        ((name, content),) = value.items()
        return {name: comparable(content, arrow_type.field(name).type)}
    if pa.types.is_struct(arrow_type):
        return {field.name: comparable(value[field.name], field.type) for field in arrow_type}
    if pa.types.is_list(arrow_type) or pa.types.is_fixed_size_list(arrow_type):
        return [comparable(item, arrow_type.value_type) for item in value]
    if pa.types.is_float32(arrow_type):
        return np.float32(value)
    return value
