"""The recipes of README's "Scaling out" on real engines: a Dask cluster of worker processes and
PySpark in local mode, every row checked against parse. The parser is imported at the top, as
users write it, and travels to the workers by pickling."""

import base64
import os
import random
import shutil

import pytest

from velunda_binary_parser import BinaryParser

pytestmark = pytest.mark.engines

parser = BinaryParser()


def payload_rows(count=2_000, seed=7):
    """Calibration payloads, one in eleven cut short so that some rows fail."""
    rng = random.Random(seed)
    rows = []
    for i in range(count):
        values = [rng.randint(-1000, 1000) for _ in range(rng.randint(0, 6))]
        data = (
            bytes([len(values)]) + b"".join(bytes([(v << 1) & 0x7F if -64 <= v < 64 else 0]) for v in values) + b"\x00"
        )
        if i % 11 == 5:
            data = data[:-1]
        rows.append(base64.b64encode(data).decode())
    return rows


def expected(texts):
    rows = []
    for text in texts:
        try:
            rows.append((parser.parse("calibration", 1, text), None))
        except ValueError as error:
            rows.append((None, str(error)))
    return rows


# ---- Dask --------------------------------------------------------------------------------------


def decode_partition(frame, parser):
    """A pandas partition with a b64 column in, the same rows with json and error out."""
    import pandas as pd
    import pyarrow as pa

    decoded = pa.array(parser.parse_arrow("calibration", 1, pa.array(frame["b64"], pa.string())))
    return pd.DataFrame(
        {
            "json": decoded.field("json").to_pandas(types_mapper=pd.ArrowDtype),
            "error": decoded.field("error").to_pandas(types_mapper=pd.ArrowDtype),
        }
    ).set_axis(frame.index)


@pytest.fixture(scope="module")
def dask_client():
    distributed = pytest.importorskip("distributed")
    # The cluster leaves its workers' settings (MALLOC_TRIM_THRESHOLD_, OMP_NUM_THREADS...) in this
    # process's environment, where later tests' child processes would inherit them.
    environment = dict(os.environ)
    try:
        with distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster:
            with distributed.Client(cluster) as client:
                yield client
    finally:
        os.environ.clear()
        os.environ.update(environment)


def test_dask_dataframe_through_parse_arrow(dask_client):
    import dask.dataframe as dd
    import pandas as pd
    import pyarrow as pa

    texts = payload_rows()
    frame = pd.DataFrame({"b64": pd.array(texts, dtype=pd.ArrowDtype(pa.string()))})
    meta = pd.DataFrame(
        {
            "json": pd.Series(dtype=pd.ArrowDtype(pa.large_string())),
            "error": pd.Series(dtype=pd.ArrowDtype(pa.string())),
        }
    )
    decoded = dd.from_pandas(frame, npartitions=8).map_partitions(decode_partition, parser, meta=meta).compute()
    assert len(dask_client.scheduler_info()["workers"]) == 2
    rows = [
        (None if pd.isna(j) else j, None if pd.isna(e) else e)
        for j, e in zip(decoded["json"], decoded["error"], strict=True)
    ]
    assert rows == expected(texts)


def test_dask_bag_through_parse_many(dask_client):
    import dask.bag as db

    texts = payload_rows(seed=8)
    bag = db.from_sequence(texts, npartitions=6)
    # A closure over the parser created here: cloudpickle ships it by value, the class by name.
    decoded = bag.map_partitions(lambda part: parser.parse_many("calibration", 1, list(part), errors="null")).compute()
    assert decoded == [json for json, _ in expected(texts)]


# ---- Spark -------------------------------------------------------------------------------------


@pytest.fixture(scope="module")
def spark():
    pyspark = pytest.importorskip("pyspark")
    if shutil.which("java") is None and not os.environ.get("JAVA_HOME"):
        pytest.skip("no Java runtime for Spark")
    from pyspark.sql import SparkSession

    # Everything stays on the loopback interface.
    os.environ["SPARK_LOCAL_IP"] = "127.0.0.1"
    session = (
        SparkSession.builder.master("local[2]")
        .appName("velunda-tests")
        .config("spark.driver.host", "127.0.0.1")
        .config("spark.driver.bindAddress", "127.0.0.1")
        .config("spark.ui.enabled", "false")
        .config("spark.sql.shuffle.partitions", "2")
        .config("spark.sql.execution.arrow.useLargeVarTypes", "true")
        .getOrCreate()
    )
    yield session
    session.stop()
    del pyspark


# PySpark warns that it has not caught up with pandas 3; the Arrow path used here needs no pandas.
@pytest.mark.filterwarnings("ignore:PySpark does not yet fully support pandas:FutureWarning")
def test_spark_map_in_arrow_through_parse_arrow(spark):
    texts = payload_rows(seed=9)
    frame = spark.createDataFrame([(i, text) for i, text in enumerate(texts)], "id long, b64 string").repartition(4)

    def decode_batches(batches):
        import pyarrow as pa

        for batch in batches:
            decoded = pa.array(parser.parse_arrow("calibration", 1, batch.column("b64")))
            yield pa.RecordBatch.from_arrays(
                [batch.column("id"), decoded.field("json"), decoded.field("error")], names=["id", "json", "error"]
            )

    decoded = frame.mapInArrow(decode_batches, "id long, json string, error string").collect()
    rows = [(row["json"], row["error"]) for row in sorted(decoded, key=lambda row: row["id"])]
    assert rows == expected(texts)
