"""The batch core on its own (through the codec probe): rows of their own kind and version come
back in order whatever the threads, a consumer or a stop request ends the batch between chunks,
a consumer's exception reaches the caller after every thread stopped, and threads that cannot be
started leave the work to those that could."""

import pytest

ROWS = 1000
EXPECTED = {  # row % 5: what parse gives that row's kind, version and text
    0: '{"Calibration":{"V1":{"water_ph":{"data":[12,-3]},"water_o2":{"data":[]}}}}',
    1: '{"Diagnostics":{"V2":{"temperature":300,"humidity_ph":null,"humidity_o2":45,"battery_voltage":3700}}}',
    2: "Unknown kind: 'Samples'. Expected 'calibration', 'diagnostics', or 'samples'.",
    3: "Parsing failed: ProtocolVersionNotSupported(7)",
    4: "Parsing failed: PostcardError(DeserializeUnexpectedEnd)",
}


def expected_rows(count):
    return {row: EXPECTED[row % 5] for row in range(count)}


@pytest.mark.parametrize("threads", [1, 2, 7])
@pytest.mark.parametrize("rows_per_chunk", [1, 3, 64, 5000])
def test_rows_of_their_own_kind_and_version_in_order(probe, threads, rows_per_chunk):
    outcome, chunks, decoding, rows = probe.batch(threads, ROWS, rows_per_chunk)
    assert (outcome, chunks) == ("ok", -(-ROWS // rows_per_chunk))
    assert rows == expected_rows(ROWS)
    assert 1 <= decoding <= min(threads, chunks)


@pytest.mark.parametrize("threads", [1, 2, 7])
def test_a_consumer_that_says_stop_gets_no_more_chunks(probe, threads):
    outcome, chunks, _, rows = probe.batch(threads, ROWS, 10, stop_after=4)
    assert (outcome, chunks) == ("stopped", 4)
    assert rows == expected_rows(40)


@pytest.mark.parametrize("threads", [1, 2, 7])
def test_a_stop_request_between_chunks_ends_the_batch(probe, threads):
    outcome, chunks, _, rows = probe.batch(threads, ROWS, 10, request_stop_after=3)
    assert (outcome, chunks) == ("stopped", 3)
    assert rows == expected_rows(30)


@pytest.mark.parametrize("threads", [1, 2, 7])
def test_a_consumer_that_throws_reaches_the_caller(probe, threads):
    outcome, chunks, _, rows = probe.batch(threads, ROWS, 10, throw_at=5)
    assert (outcome, chunks) == ("threw", 5)
    assert rows == expected_rows(40)


@pytest.mark.parametrize("startable", [0, 1])
def test_threads_that_cannot_start_mean_fewer_threads(probe, startable):
    outcome, chunks, decoding, rows = probe.batch(8, ROWS, 10, startable=startable)
    assert (outcome, chunks) == ("ok", 100)
    assert rows == expected_rows(ROWS)
    assert 1 <= decoding <= startable + 1
