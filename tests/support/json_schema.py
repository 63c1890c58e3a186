"""The JSON Schema the test model expects for each layout, by the same rules the command
exports them with, so that the two sides of every layout are held against each other."""

from __future__ import annotations

from typing import Any

from velunda_model import model


def object_of(properties: dict[str, Any]) -> dict[str, Any]:
    return {"type": "object", "properties": properties, "required": list(properties), "additionalProperties": False}


def schema_of(kind: model.WireType) -> dict[str, Any]:
    if isinstance(kind, model.Integer):
        low, high = kind.bounds()
        return {"type": "integer", "minimum": low, "maximum": high}
    if isinstance(kind, model.RawByte):
        return {"type": "integer", "minimum": 0, "maximum": 255}
    if isinstance(kind, model.Boolean):
        return {"type": "boolean"}
    if isinstance(kind, model.Float):
        return {"type": ["number", "null"]}
    if isinstance(kind, model.OptionalUnit):
        return {"type": "null"}
    if isinstance(kind, model.Optional_):
        return {"anyOf": [schema_of(kind.inner), {"type": "null"}]}
    if isinstance(kind, model.ListOf):
        schema = {"type": "array", "items": schema_of(kind.inner)}
        if kind.capacity is not None:
            schema["maxItems"] = kind.capacity
        return schema
    if isinstance(kind, model.ArrayOf):
        return {"type": "array", "items": schema_of(kind.inner), "minItems": kind.length, "maxItems": kind.length}
    if isinstance(kind, model.Struct):
        return object_of({key: schema_of(field) for key, field in kind.fields})
    if isinstance(kind, model.Variants):
        units = [name for name, content in kind.variants if content is None]
        alternatives = ([{"type": "string", "enum": units}] if units else []) + [
            object_of({name: schema_of(content)}) for name, content in kind.variants if content is not None
        ]
        return alternatives[0] if len(alternatives) == 1 else {"oneOf": alternatives}
    raise TypeError(f"no schema for {kind!r}")


def envelope_schema(kind: str, family: str, version: int, record: model.WireType) -> dict[str, Any]:
    """The whole document, as the command prints it for `--schema kind version`."""
    return {
        "$schema": "https://json-schema.org/draft/2020-12/schema",
        "title": f"{kind}/{version}",
        "description": f"The JSON that velunda_binary_parser writes for a {kind} payload of version {version}. Object "
        "keys always appear in the order in which 'properties' lists them (the wire order); non-finite "
        "floats are written as null.",
        **object_of({family: object_of({f"V{version}": schema_of(record)})}),
    }
