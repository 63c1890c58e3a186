"""parse_table: typed Arrow record batches straight from the wire, tied to the JSON form. For
every layout, random records and broken payloads decode to rows that, turned back into the JSON
form, are what parse gives; failing and null rows are null in every column but error; the schema
of every layout follows its JSON Schema; both flavors; the argument checks."""

import base64
import json

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from support.rows import LAYOUTS, outcome, payload_texts
from support.table_rows import comparable, json_form
from velunda_model.records import FAMILIES

pa = pytest.importorskip("pyarrow")
np = pytest.importorskip("numpy")


def tag_of(kind):
    return FAMILIES[kind][0]


def check_rows(parser, kind, version, texts, table):
    schema = table.schema
    assert schema.names[-1] == "error"
    rows = table.to_pylist()
    assert len(rows) == len(texts)
    for text, row in zip(texts, rows, strict=True):
        result = None if text is None else outcome(parser, kind, version, text)
        fields = {name: row[name] for name in schema.names[:-1]}
        if isinstance(result, str):
            assert row["error"] is None
            record = json.loads(result)[tag_of(kind)][f"V{version}"]
            assert list(record) == schema.names[:-1]
            for name, value in fields.items():
                arrow_type = schema.field(name).type
                assert comparable(json_form(value, arrow_type), arrow_type) == comparable(record[name], arrow_type), (
                    name
                )
        else:
            assert row["error"] == (None if result is None else result[0])
            assert all(value is None for value in fields.values())


@pytest.mark.parametrize("kind,version", LAYOUTS)
@settings(max_examples=10, deadline=None)
@given(data=st.data(), threads=st.sampled_from([1, 2]), flavor=st.sampled_from(["arrow", "spark"]))
def test_rows_are_the_json_of_parse(parser, kind, version, data, threads, flavor):
    texts = data.draw(payload_texts(kind, version, max_rows=30))
    texts = [None if i % 9 == 4 else text for i, text in enumerate(texts)]
    result = parser.parse_table(kind, version, pa.array(texts, pa.string()), threads=threads, flavor=flavor)
    assert len(result) == len(texts)
    table = pa.table(result)
    assert table.schema == pa.schema(parser.arrow_schema(kind, version, flavor=flavor))
    check_rows(parser, kind, version, texts, table)


def test_one_batch_per_chunk_and_chunked_input(parser):
    texts = ["AhgFAA==", "AhgF", None, "QR=="] * 5000
    reader = pa.RecordBatchReader.from_stream(parser.parse_table("calibration", 1, pa.array(texts), threads=2))
    batches = list(reader)
    assert len(batches) > 1 and sum(b.num_rows for b in batches) == len(texts)
    # A column of a few MB, far below one full chunk, is still cut into work for every thread.
    long_list = base64.b64encode(b"\xf4\x03" + b"\x02" * 500 + b"\x00").decode()
    column = pa.array([long_list] * 3000)
    batches = list(pa.RecordBatchReader.from_stream(parser.parse_table("calibration", 1, column, threads=2)))
    assert len(batches) >= 4 and sum(b.num_rows for b in batches) == len(column)
    chunked = pa.chunked_array([pa.array(texts[:7]), pa.array(texts[7:20])])
    table = pa.table(parser.parse_table("calibration", 1, chunked))
    check_rows(parser, "calibration", 1, texts[:20], table)


# What the JSON Schema says, and the Arrow type each flavor must give it.
def expected_type(schema, flavor):
    if "anyOf" in schema:  # an option: the value's own type, nullable
        (inner,) = [s for s in schema["anyOf"] if s != {"type": "null"}]
        return expected_type(inner, flavor)
    if "oneOf" in schema or (schema.get("type") == "string" and "enum" in schema):
        return variant_type(schema.get("oneOf", [schema]), flavor)
    kind = schema.get("type")
    if kind == "null":
        return pa.null()
    if kind == "boolean":
        return pa.bool_()
    if kind == ["number", "null"]:
        return "float"
    if kind == "integer":
        return integer_type(schema["minimum"], schema["maximum"], flavor)
    if kind == "array":
        item = expected_type(schema["items"], flavor)
        fixed = schema.get("minItems") is not None and schema.get("minItems") == schema.get("maxItems")
        return ("fixed", item, schema["minItems"]) if fixed else ("list", item)
    if kind == "object":
        return [(key, expected_type(value, flavor)) for key, value in schema["properties"].items()]
    raise AssertionError(schema)


def integer_type(low, high, flavor):
    widths = {
        (0, 2**8 - 1): pa.uint8(),
        (0, 2**16 - 1): pa.uint16(),
        (0, 2**32 - 1): pa.uint32(),
        (0, 2**64 - 1): pa.uint64(),
        (-(2**15), 2**15 - 1): pa.int16(),
        (-(2**31), 2**31 - 1): pa.int32(),
        (-(2**63), 2**63 - 1): pa.int64(),
    }
    arrow_type = widths[(low, high)]
    if flavor == "spark" and pa.types.is_unsigned_integer(arrow_type):
        return {8: pa.int16(), 16: pa.int32(), 32: pa.int64(), 64: pa.decimal128(20, 0)}[arrow_type.bit_width]
    return arrow_type


def variant_type(alternatives, flavor):
    names, contents = [], []
    for alternative in alternatives:
        if alternative.get("type") == "string":
            names += alternative["enum"]
        else:
            ((name, content),) = alternative["properties"].items()
            names.append(name)
            contents.append((name, expected_type(content, flavor)))
    return ("variant", names, contents)


def matches(arrow_type, expected, flavor):
    if expected == "float":
        return pa.types.is_floating(arrow_type) and arrow_type.bit_width in (32, 64)
    if isinstance(expected, list):
        return (
            pa.types.is_struct(arrow_type)
            and [f.name for f in arrow_type] == [k for k, _ in expected]
            and all(matches(f.type, e, flavor) for f, (_, e) in zip(arrow_type, expected, strict=True))
        )
    if isinstance(expected, tuple) and expected[0] == "list":
        return pa.types.is_list(arrow_type) and matches(arrow_type.value_type, expected[1], flavor)
    if isinstance(expected, tuple) and expected[0] == "fixed":
        if flavor == "spark":  # Spark reads no fixed-size lists
            return pa.types.is_list(arrow_type) and matches(arrow_type.value_type, expected[1], flavor)
        return (
            pa.types.is_fixed_size_list(arrow_type)
            and arrow_type.list_size == expected[2]
            and matches(arrow_type.value_type, expected[1], flavor)
        )
    if isinstance(expected, tuple) and expected[0] == "variant":
        _, names, contents = expected
        tag = pa.string() if flavor == "spark" else pa.dictionary(pa.int8(), pa.string())
        if not contents:
            return arrow_type == tag
        return (
            pa.types.is_struct(arrow_type)
            and arrow_type.field(0).name == "variant"
            and arrow_type.field(0).type == tag
            and [f.name for f in arrow_type][1:] == [n for n, _ in contents]
            and all(matches(arrow_type.field(n).type, e, flavor) for n, e in contents)
        )
    return arrow_type == expected


@pytest.fixture(scope="module")
def json_schemas():
    from test_schemas import run

    result = run("--schema", "all")
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


@pytest.mark.parametrize("flavor", ["arrow", "spark"])
@pytest.mark.parametrize("kind,version", LAYOUTS)
def test_every_schema_follows_its_json_schema(parser, json_schemas, kind, version, flavor):
    document = json_schemas[f"{kind}/{version}"]
    record = document["properties"][tag_of(kind)]["properties"][f"V{version}"]
    schema = pa.schema(parser.arrow_schema(kind, version, flavor=flavor))
    assert schema.names == [*record["properties"], "error"]
    assert schema.field("error").type == pa.string()
    for name, property_schema in record["properties"].items():
        assert matches(schema.field(name).type, expected_type(property_schema, flavor), flavor), name
    assert all(field.nullable for field in schema)


def test_variant_dictionaries_hold_every_name_in_declaration_order(parser, json_schemas):
    from bench.workloads import typical_payload

    record = json_schemas["samples/13"]["properties"]["Samples"]["properties"]["V13"]["properties"]
    _, names, _ = expected_type(record["water_pump1"], "arrow")
    table = pa.table(parser.parse_table("samples", 13, pa.array([typical_payload(1)]))).combine_chunks()
    variant = table.column("water_pump1").chunk(0).field("variant")
    assert variant.dictionary.to_pylist() == names
    empty = pa.table(parser.parse_table("samples", 13, pa.array([], pa.string())))
    assert empty.num_rows == 0 and empty.schema == pa.schema(parser.arrow_schema("samples", 13))


@pytest.mark.parametrize(
    "call,error,message",
    [
        (lambda p: p.parse_table("Samples", 13, pa.array(["AA=="])), ValueError, "Unknown kind: 'Samples'"),
        (lambda p: p.arrow_schema("samples", 7), ValueError, "Parsing failed: ProtocolVersionNotSupported(7)"),
        (
            lambda p: p.parse_table("samples", 7, pa.array(["!"])),
            ValueError,
            "Parsing failed: ProtocolVersionNotSupported(7)",
        ),
        (
            lambda p: p.parse_table("samples", 13, pa.array(["AA=="]), flavor="duckdb"),
            ValueError,
            "flavor must be 'arrow' or 'spark', not 'duckdb'",
        ),
        (lambda p: p.arrow_schema("samples", 13, flavor=1), TypeError, "argument 'flavor'"),
        (
            lambda p: p.parse_table("samples", 13, ["AA=="]),
            TypeError,
            "argument 'column': 'list' object is not an Arrow column",
        ),
        (lambda p: p.parse_table("samples", 13, pa.array(["AA=="]), threads=0), ValueError, "threads"),
    ],
)
def test_argument_errors(parser, call, error, message):
    with pytest.raises(error) as raised:
        call(parser)
    assert str(raised.value).startswith(message)


def test_unsupported_version_carries_parse_attributes(parser):
    with pytest.raises(ValueError) as raised:
        parser.parse_table("samples", 7, pa.array(["AA=="]))
    assert (raised.value.kind, raised.value.version, raised.value.offset) == ("samples", 7, None)


def test_hostile_counts_at_every_list_site_end_with_the_input(parser):
    from test_hardening import HOSTILE_COUNTS, SITES, hostile_payload

    from velunda_model.encoder import b64

    for kind, version, _, lead in SITES:
        texts = [b64(hostile_payload(lead, count)) for count in HOSTILE_COUNTS]
        rows = pa.table(parser.parse_table(kind, version, pa.array(texts))).to_pylist()
        assert [row["error"] for row in rows] == ["Parsing failed: PostcardError(DeserializeUnexpectedEnd)"] * 2


def test_a_row_that_fails_late_leaves_nothing_in_any_child(parser):
    from bench.workloads import typical_payload

    whole = typical_payload(3)
    cut = base64.b64encode(base64.b64decode(whole)[:-3]).decode()
    table = pa.table(parser.parse_table("samples", 13, pa.array([whole, cut, whole]))).combine_chunks()
    assert table.column("error").to_pylist()[1] is not None
    first, _, third = table.to_pylist()
    assert first == third
    # Below the failed row's nulls, every child holds an empty list or a zero, never its data.
    for column in table.columns[:-1]:
        array = column.chunk(0)
        assert not array.is_valid()[1].as_py()
        for child in array.flatten() if pa.types.is_struct(array.type) else []:
            value = child[1].as_py()
            assert value in (None, 0, 0.0, [], False) or (isinstance(value, dict) and not any(value.values())), value
