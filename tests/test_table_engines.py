"""The typed-table recipes of README's "Scaling out", for real: a Parquet file written and read
back, polars, DuckDB SQL on nested fields, a Dask cluster of worker processes and PySpark in
local mode, each checked against parse."""

import json

import pytest
from test_engines import dask_client, spark  # noqa: F401  (fixtures)

from bench.workloads import typical_payload
from support.table_rows import comparable, json_form
from velunda_binary_parser import BinaryParser

pa = pytest.importorskip("pyarrow")
parser = BinaryParser()


def typical_texts(count=60):
    texts = [typical_payload(seed) for seed in range(count)]
    texts[7] = texts[7][:-8]  # cut short: a failing row
    texts[11] = None
    return texts


def expected_records(texts):
    """Per row: the record of parse's JSON, or None."""
    records = []
    for text in texts:
        try:
            records.append(json.loads(parser.parse("samples", 13, text))["Samples"]["V13"])
        except (ValueError, TypeError):
            records.append(None)
    return records


def assert_rows_match(rows, schema, texts):
    for row, record in zip(rows, expected_records(texts), strict=True):
        if record is None:
            assert all(row[name] is None for name in schema.names[:-1])
            continue
        assert row["error"] is None
        for name in schema.names[:-1]:
            arrow_type = schema.field(name).type
            assert comparable(json_form(row[name], arrow_type), arrow_type) == comparable(record[name], arrow_type)


def test_parquet_file_round_trip(tmp_path):
    import pyarrow.parquet as pq

    texts = typical_texts()
    table = pa.table(parser.parse_table("samples", 13, pa.array(texts), threads=2))
    pq.write_table(table, tmp_path / "samples.parquet")
    back = pq.read_table(tmp_path / "samples.parquet")
    assert back.equals(table)
    assert_rows_match(back.to_pylist(), back.schema, texts)


def test_polars_frame_and_unnest():
    pl = pytest.importorskip("polars")
    texts = typical_texts(20)
    frame = pl.DataFrame(parser.parse_table("samples", 13, pa.array(texts)))
    assert frame.height == len(texts) and frame.columns[-1] == "error"
    imu = frame.select("imu").unnest("imu")
    assert imu.columns == ["acc", "gyro", "mag"]
    first = expected_records(texts)[0]
    assert imu["acc"][0].to_list() == first["imu"]["acc"]


def test_duckdb_sql_on_nested_fields():
    duckdb = pytest.importorskip("duckdb")
    texts = typical_texts(20)
    result = parser.parse_table("samples", 13, pa.array(texts))  # noqa: F841  (DuckDB finds it by name)
    rows = duckdb.sql("select imu.acc[1].x as x, water_ph.r as r, error from result").fetchall()
    for (x, r, error), record, text in zip(rows, expected_records(texts), texts, strict=True):
        if record is None:
            assert (x, r) == (None, None)
            assert (error is None) == (text is None)
        else:
            assert x == (record["imu"]["acc"][0]["x"] if record["imu"]["acc"] else None)
            assert r == record["water_ph"]["r"] and error is None


def decode_table_partition(frame, parser):
    import pandas as pd

    table = pa.table(parser.parse_table("samples", 13, pa.array(frame["b64"], pa.string())))
    return table.to_pandas(types_mapper=pd.ArrowDtype).set_axis(frame.index)


@pytest.mark.engines
def test_dask_typed_frame(dask_client):  # noqa: F811
    import dask.dataframe as dd
    import pandas as pd

    texts = [t for t in typical_texts(40) if t is not None]
    frame = pd.DataFrame({"b64": pd.array(texts, dtype=pd.ArrowDtype(pa.string()))})
    schema = pa.schema(parser.arrow_schema("samples", 13))
    meta = schema.empty_table().to_pandas(types_mapper=pd.ArrowDtype)
    decoded = dd.from_pandas(frame, npartitions=4).map_partitions(decode_table_partition, parser, meta=meta).compute()
    assert list(decoded.columns) == schema.names
    assert_rows_match(pa.Table.from_pandas(decoded, schema=schema, preserve_index=False).to_pylist(), schema, texts)


@pytest.mark.engines
@pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas:FutureWarning")
def test_spark_typed_frame_to_parquet(spark, tmp_path):  # noqa: F811
    from pyspark.sql.pandas.types import from_arrow_schema

    texts = [t for t in typical_texts(30) if t is not None]
    frame = spark.createDataFrame([(i, t) for i, t in enumerate(texts)], "id long, b64 string").repartition(3)
    decoded_schema = pa.schema(parser.arrow_schema("samples", 13, flavor="spark"))
    spark_schema = from_arrow_schema(pa.schema([pa.field("id", pa.int64()), *decoded_schema]))

    def decode_batches(batches):
        for batch in batches:
            table = pa.table(parser.parse_table("samples", 13, batch.column("b64"), flavor="spark"))
            columns = [column.combine_chunks() for column in table.columns]
            yield pa.RecordBatch.from_arrays([batch.column("id"), *columns], names=["id", *table.schema.names])

    typed = frame.mapInArrow(decode_batches, spark_schema)
    path = str(tmp_path / "typed")
    typed.write.parquet(path)
    back = spark.read.parquet(path).orderBy("id").toArrow()
    back = back.drop_columns(["id"]).cast(decoded_schema)
    assert_rows_match(back.to_pylist(), decoded_schema, texts)
