"""Every layout describes itself: the command's JSON Schemas match the test model's layouts one
for one, every decoded record validates against its schema, and near misses do not."""

import copy
import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st
from test_cli import EXAMPLES, run

from support.json_schema import envelope_schema
from velunda_model.encoder import b64
from velunda_model.model import envelope
from velunda_model.records import FAMILIES

jsonschema = pytest.importorskip("jsonschema")

LAYOUTS = [(kind, version) for kind, (_, layouts) in FAMILIES.items() for version in layouts]


@pytest.fixture(scope="module")
def schemas():
    result = run("--schema", "all")
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.fixture(scope="module")
def validators(schemas):
    return {name: jsonschema.Draft202012Validator(schema) for name, schema in schemas.items()}


def test_the_command_and_the_model_know_the_same_layouts(schemas):
    assert set(schemas) == {f"{kind}/{version}" for kind, version in LAYOUTS}
    for schema in schemas.values():
        jsonschema.Draft202012Validator.check_schema(schema)


@pytest.mark.parametrize("kind,version", LAYOUTS)
def test_each_layout_is_described_as_the_model_declares_it(schemas, kind, version):
    family, layouts = FAMILIES[kind]
    assert schemas[f"{kind}/{version}"] == envelope_schema(kind, family, version, layouts[version])


@pytest.mark.parametrize("kind,version", LAYOUTS)
def test_one_layout_by_itself(schemas, kind, version):
    result = run("--schema", kind, version)
    assert result.returncode == 0 and json.loads(result.stdout) == schemas[f"{kind}/{version}"]


@pytest.mark.parametrize(
    "arguments,message",
    [
        (["--schema", "samples", "7"], "no layout for kind 'samples' version 7"),
        (["--schema", "Samples", "1"], "no layout for kind 'Samples' version 1"),
        (["--schema", "samples"], "--schema samples needs a version"),
        (["--schema", "samples", "x"], "--schema needs a version from 0 to 18446744073709551615, not 'x'"),
    ],
)
def test_schema_usage_errors(arguments, message):
    result = run(*arguments)
    assert result.returncode == 2 and result.stderr.decode().startswith(f"velunda-parse: {message}\n")


@pytest.mark.parametrize("kind,version", LAYOUTS)
@settings(max_examples=20)
@given(data=st.data())
def test_decoded_records_validate(parser, validators, kind, version, data):
    family, layouts = FAMILIES[kind]
    value = data.draw(layouts[version].strategy())
    decoded = json.loads(parser.parse(kind, version, b64(layouts[version].encode(value))))
    validators[f"{kind}/{version}"].validate(decoded)


def test_the_examples_validate(validators):
    result = run(EXAMPLES.with_name("payloads.csv"))
    assert result.returncode == 0
    for line in result.stdout.decode().splitlines():
        record = json.loads(line)
        family = next(iter(record))
        version = next(iter(record[family]))
        validators[f"{family.lower()}/{version[1:]}"].validate(record)


def smallest_record(kind, version):
    family, layouts = FAMILIES[kind]
    return json.loads(envelope(family, version, layouts[version].json(layouts[version].smallest())))


def nudge(record, path, change):
    """A copy of the record with the value at `path` (keys and indices) changed."""
    changed = copy.deepcopy(record)
    target = changed
    for step in path[:-1]:
        target = target[step]
    change(target, path[-1])
    return changed


NEAR_MISSES = [
    ("an extra key", ("calibration", 1), ["Calibration", "V1", "water_ph"], lambda t, k: t[k].update(extra=1)),
    ("a missing key", ("calibration", 1), ["Calibration", "V1", "water_o2"], lambda t, k: t.pop(k)),
    (
        "an i32 out of range",
        ("calibration", 1),
        ["Calibration", "V1", "water_ph", "data"],
        lambda t, k: t.__setitem__(k, [2**31]),
    ),
    (
        "a u16 out of range",
        ("samples", 9),
        ["Samples", "V9", "light", "measurement"],
        lambda t, k: t.__setitem__(k, [{"saturated": True, "gain": "Gain1", "clear_data": 70000, "par_data": 0}]),
    ),
    (
        "a bounded list one too long",
        ("samples", 6),
        ["Samples", "V6", "water_turbidity", "value"],
        lambda t, k: t.__setitem__(k, [0] * 12),
    ),
    ("an unknown unit variant", ("samples", 13), ["Samples", "V13", "gas_valve"], lambda t, k: t.__setitem__(k, "Air")),
    (
        "a string for a number",
        ("diagnostics", 4),
        ["Diagnostics", "V4", "temperature"],
        lambda t, k: t.__setitem__(k, "1"),
    ),
]


@pytest.mark.parametrize("what,layout,path,change", NEAR_MISSES, ids=[miss[0] for miss in NEAR_MISSES])
def test_near_misses_fail_validation(validators, what, layout, path, change):
    record = smallest_record(*layout)
    validators["{}/{}".format(*layout)].validate(record)
    with pytest.raises(jsonschema.ValidationError):
        validators["{}/{}".format(*layout)].validate(nudge(record, path, change))
