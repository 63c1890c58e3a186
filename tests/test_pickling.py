"""The parser travels: the class, an instance and the bound parse pickle by reference with pickle
and cloudpickle, unpickle in a fresh process, and work as spawned workers' functions."""

import multiprocessing
import pickle
import subprocess
import sys

import pytest

import velunda_binary_parser
from velunda_binary_parser import BinaryParser

CALIBRATION_JSON = '{"Calibration":{"V1":{"water_ph":{"data":[12,-3]},"water_o2":{"data":[]}}}}'


def picklers():
    yield from (
        (f"pickle-{protocol}", lambda value, p=protocol: pickle.dumps(value, p))
        for protocol in range(pickle.HIGHEST_PROTOCOL + 1)
    )
    try:
        import cloudpickle
    except ImportError:
        return
    yield "cloudpickle", cloudpickle.dumps


PICKLERS = dict(picklers())
PARSER = BinaryParser()
OBJECTS = {
    "class": lambda: BinaryParser,
    "instance": lambda: PARSER,
    "parse": lambda: PARSER.parse,
    "parse_many": lambda: PARSER.parse_many,
    "closure": lambda: lambda text: BinaryParser().parse("calibration", 1, text),
}


def call(restored):
    if restored is BinaryParser:
        restored = restored()
    if isinstance(restored, BinaryParser):
        restored = restored.parse
    if getattr(restored, "__name__", "") == "parse_many":
        return restored("calibration", 1, ["AhgFAA=="])[0]
    if getattr(restored, "__name__", "") == "parse":
        return restored("calibration", 1, "AhgFAA==")
    return restored("AhgFAA==")


# Only cloudpickle pickles closures.
CASES = [(pickler, what) for pickler in PICKLERS for what in OBJECTS if what != "closure" or pickler == "cloudpickle"]


@pytest.mark.parametrize("pickler,what", CASES)
def test_pickles_by_reference(pickler, what):
    data = PICKLERS[pickler](OBJECTS[what]())
    assert b"velunda_binary_parser" in data and b"BinaryParser" in data
    restored = pickle.loads(data)
    if what == "class":
        assert restored is BinaryParser
    assert call(restored) == CALIBRATION_JSON


def test_unpickles_in_a_fresh_process():
    data = pickle.dumps([BinaryParser, PARSER, PARSER.parse])
    script = (
        "import pickle, sys\n"
        "cls, parser, parse = pickle.loads(sys.stdin.buffer.read())\n"
        "assert type(parser) is cls and parse.__self__.__class__ is cls\n"
        "print(parse('calibration', 1, 'AhgFAA=='))\n"
    )
    result = subprocess.run([sys.executable, "-c", script], input=data, capture_output=True, check=True)
    assert result.stdout.decode().strip() == CALIBRATION_JSON


def test_the_class_is_found_by_name():
    assert BinaryParser.__module__ == "velunda_binary_parser"
    assert getattr(velunda_binary_parser, BinaryParser.__qualname__) is BinaryParser


def test_a_spawned_pool_runs_the_bound_parse():
    rows = [("calibration", 1, "AhgFAA=="), ("calibration", 1, "AAA=")] * 4
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        assert pool.starmap(PARSER.parse, rows) == [PARSER.parse(*row) for row in rows]
