"""The Python face of the module: its contents, the class, argument binding and conversion,
kind dispatch and the order in which failures win."""

import inspect
import subprocess
import sys
import textwrap

import pytest

import velunda_binary_parser
from velunda_binary_parser import BinaryParser
from velunda_model.records import FAMILIES, unsupported_versions

CALIBRATION_JSON = '{"Calibration":{"V1":{"water_ph":{"data":[12,-3]},"water_o2":{"data":[]}}}}'
UNKNOWN_KIND = "Unknown kind: '{}'. Expected 'calibration', 'diagnostics', or 'samples'."


class TestModule:
    def test_all_and_contents(self):
        assert velunda_binary_parser.__all__ == ["BinaryParser"]
        public = {name for name in dir(velunda_binary_parser) if not name.startswith("__")}
        assert public == {"BinaryParser"}
        assert velunda_binary_parser.__doc__ == ""

    def test_class(self):
        assert BinaryParser.__module__ == "velunda_binary_parser"
        assert BinaryParser.__qualname__ == "BinaryParser"
        assert BinaryParser.__doc__ is None
        assert BinaryParser.__bases__ == (object,)

    def test_parse_signature(self):
        assert BinaryParser.parse.__text_signature__ == "($self, kind, version, b64_data)"
        assert BinaryParser.parse.__doc__ is None
        assert list(inspect.signature(BinaryParser().parse).parameters) == ["kind", "version", "b64_data"]

    def test_cannot_be_subclassed(self):
        with pytest.raises(TypeError):
            type("Sub", (BinaryParser,), {})

    def test_instances_are_independent(self):
        assert BinaryParser() is not BinaryParser()

    def test_second_initialisation_in_a_process_fails(self):
        script = textwrap.dedent("""
            import sys
            import velunda_binary_parser as first
            del sys.modules["velunda_binary_parser"]
            try:
                import velunda_binary_parser
            except ImportError as error:
                print(type(error).__name__, error)
            print(first.BinaryParser().parse("calibration", 1, "AAA="))
        """)
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
        assert result.stdout.splitlines() == [
            "ImportError PyO3 modules may only be initialized once per interpreter process",
            '{"Calibration":{"V1":{"water_ph":{"data":[]},"water_o2":{"data":[]}}}}',
        ]

    def test_a_sub_interpreter_is_refused_without_locking_the_main_one_out(self):
        pytest.importorskip("_xxsubinterpreters", reason="the interpreter's sub-interpreter module")
        script = textwrap.dedent("""
            import _xxsubinterpreters as interpreters
            sub = interpreters.create()
            try:
                interpreters.run_string(sub, "import velunda_binary_parser")
            except interpreters.RunFailedError as error:
                print(error)
            import velunda_binary_parser
            print(velunda_binary_parser.BinaryParser().parse("calibration", 1, "AAA="))
        """)
        result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
        assert result.stdout.splitlines() == [
            "<class 'ImportError'>: PyO3 modules may only be initialized once per interpreter process",
            '{"Calibration":{"V1":{"water_ph":{"data":[]},"water_o2":{"data":[]}}}}',
        ]


@pytest.mark.parametrize(
    "args,kwargs,message",
    [
        ((1,), {}, "BinaryParser.__new__() takes 0 positional arguments but 1 was given"),
        ((1, 2), {}, "BinaryParser.__new__() takes 0 positional arguments but 2 were given"),
        ((), {"kind": "samples"}, "BinaryParser.__new__() got an unexpected keyword argument 'kind'"),
    ],
)
def test_constructor_takes_no_arguments(args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        BinaryParser(*args, **kwargs)
    assert str(raised.value) == message


PARSE = "BinaryParser.parse() "

BINDING_FAILURES = [
    ((), {}, "missing 3 required positional arguments: 'kind', 'version', and 'b64_data'"),
    (("samples",), {}, "missing 2 required positional arguments: 'version' and 'b64_data'"),
    (("samples", 1), {}, "missing 1 required positional argument: 'b64_data'"),
    ((), {"b64_data": ""}, "missing 2 required positional arguments: 'kind' and 'version'"),
    (("samples",), {"b64_data": ""}, "missing 1 required positional argument: 'version'"),
    (("samples", 1, "", 4), {}, "takes 3 positional arguments but 4 were given"),
    (("samples", 1, "", 4, 5), {}, "takes 3 positional arguments but 5 were given"),
    # too many positionals is found before a bad keyword
    (("samples", 1, "", 4), {"nope": 1}, "takes 3 positional arguments but 4 were given"),
    (("samples", 1, ""), {"nope": 1}, "got an unexpected keyword argument 'nope'"),
    (("samples",), {"kind": "x", "version": 1, "b64_data": ""}, "got multiple values for argument 'kind'"),
    # keywords are checked in the order passed, before anything is missing
    (("samples",), {"nope": 1, "kind": "x"}, "got an unexpected keyword argument 'nope'"),
    (("samples",), {"kind": "x", "nope": 1}, "got multiple values for argument 'kind'"),
    ((), {"Kind": "samples"}, "got an unexpected keyword argument 'Kind'"),
]


@pytest.mark.parametrize("args,kwargs,message", BINDING_FAILURES)
def test_argument_binding_failures(parser, args, kwargs, message):
    with pytest.raises(TypeError) as raised:
        parser.parse(*args, **kwargs)
    assert type(raised.value) is TypeError
    assert str(raised.value) == PARSE + message


@pytest.mark.parametrize(
    "args,kwargs",
    [
        (("calibration", 1, "AhgFAA=="), {}),
        (("calibration",), {"version": 1, "b64_data": "AhgFAA=="}),
        ((), {"b64_data": "AhgFAA==", "kind": "calibration", "version": 1}),
        (("calibration", 1), {"b64_data": "AhgFAA=="}),
    ],
)
def test_arguments_by_position_or_keyword(parser, args, kwargs):
    assert parser.parse(*args, **kwargs) == CALIBRATION_JSON


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        if isinstance(self.value, BaseException):
            raise self.value
        return self.value


class Text(str):
    pass


class TestConversions:
    @pytest.mark.parametrize("version", [1, True, Index(1)])
    def test_version_by_index_protocol(self, parser, version):
        assert parser.parse("calibration", version, "AhgFAA==") == CALIBRATION_JSON

    @pytest.mark.parametrize(
        "version,message",
        [
            (1.0, "argument 'version': 'float' object cannot be interpreted as an integer"),
            ("1", "argument 'version': 'str' object cannot be interpreted as an integer"),
            (None, "argument 'version': 'NoneType' object cannot be interpreted as an integer"),
            (Index(TypeError("no index today")), "argument 'version': no index today"),
        ],
    )
    def test_version_type_errors_name_the_argument(self, parser, version, message):
        with pytest.raises(TypeError) as raised:
            parser.parse("samples", version, "")
        assert str(raised.value) == message

    def test_other_errors_from_index_pass_unchanged(self, parser):
        with pytest.raises(ZeroDivisionError, match="^boom$"):
            parser.parse("samples", Index(ZeroDivisionError("boom")), "")

    @pytest.mark.parametrize("version", [-1, 2**64, Index(-5), -(2**70)])
    def test_version_out_of_range_is_the_interpreters_overflow_error(self, parser, version):
        with pytest.raises(OverflowError) as raised:
            parser.parse("samples", version, "")
        assert not str(raised.value).startswith("argument")

    def test_largest_version(self, parser):
        with pytest.raises(ValueError) as raised:
            parser.parse("calibration", 2**64 - 1, "")
        assert str(raised.value) == "Parsing failed: ProtocolVersionNotSupported(18446744073709551615)"

    @pytest.mark.parametrize(
        "argument,args",
        [
            ("kind", (b"samples", 1, "")),
            ("kind", (None, 1, "")),
            ("kind", (bytearray(b"x"), 1, "")),
            ("b64_data", ("samples", 1, b"")),
            ("b64_data", ("samples", 1, bytearray())),
            ("b64_data", ("samples", 1, 5)),
        ],
    )
    def test_text_arguments_must_be_str(self, parser, argument, args):
        value = args[0] if argument == "kind" else args[2]
        with pytest.raises(TypeError) as raised:
            parser.parse(*args)
        assert str(raised.value) == (
            f"argument '{argument}': '{type(value).__qualname__}' object cannot be converted to 'PyString'"
        )

    def test_str_subclasses_are_accepted(self, parser):
        assert parser.parse(Text("calibration"), 1, Text("AhgFAA==")) == CALIBRATION_JSON

    @pytest.mark.parametrize("args", [("sam\ud800ples", 1, ""), ("samples", 1, "AA\udfff")])
    def test_unencodable_text_is_the_interpreters_error(self, parser, args):
        with pytest.raises(UnicodeEncodeError):
            parser.parse(*args)

    @pytest.mark.parametrize(
        "args,error",
        [
            ((b"x", 1.0, b""), "argument 'kind'"),  # kind is converted first
            (("samples", 1.0, b""), "argument 'version'"),  # then version
            (("samples", -1, b""), "can't convert negative int to unsigned"),
        ],
    )
    def test_conversion_order(self, parser, args, error):
        with pytest.raises((TypeError, OverflowError)) as raised:
            parser.parse(*args)
        assert str(raised.value).startswith(error)

    def test_foreign_receiver_is_refused(self):
        with pytest.raises(TypeError):
            BinaryParser.parse(1, "calibration", 1, "")


class TestKindAndPrecedence:
    @pytest.mark.parametrize(
        "kind",
        ["Samples", " samples", "samples ", "", "CALIBRATION", "diag", "samples\x00", 'kind \' with "quotes"', "müll"],
    )
    def test_unknown_kinds(self, parser, kind):
        with pytest.raises(ValueError) as raised:
            parser.parse(kind, 1, "")
        assert type(raised.value) is ValueError
        assert str(raised.value) == UNKNOWN_KIND.format(kind)

    def test_bad_kind_wins_over_bad_base64_and_version(self, parser):
        with pytest.raises(ValueError, match="^Unknown kind: 'Samples'"):
            parser.parse("Samples", 7, "A")

    @pytest.mark.parametrize(
        "kind,version", [("samples", 7), ("samples", 0), ("calibration", 2), ("diagnostics", 1), ("diagnostics", 5)]
    )
    def test_bad_base64_wins_over_an_unsupported_version(self, parser, kind, version):
        with pytest.raises(ValueError) as raised:
            parser.parse(kind, version, "A")
        assert str(raised.value) == "Parsing failed: B64Error(InvalidLength(1))"

    @pytest.mark.parametrize(
        "kind,version", [(kind, version) for kind in FAMILIES for version in unsupported_versions(kind)]
    )
    def test_unsupported_version_wins_over_the_payload(self, parser, kind, version):
        for text in ["", "AAA=", "AhgFAA=="]:
            with pytest.raises(ValueError) as raised:
                parser.parse(kind, version, text)
            assert str(raised.value) == f"Parsing failed: ProtocolVersionNotSupported({version})"

    def test_result_is_an_exact_ascii_str(self, parser):
        result = parser.parse("calibration", 1, "AhgFAA==")
        assert type(result) is str and result.isascii()


def test_memory_exhaustion_is_a_memory_error_and_the_module_recovers():
    # Address space capped a little above what the process holds, so the JSON buffer cannot grow.
    script = textwrap.dedent("""
        import base64, resource
        from velunda_binary_parser import BinaryParser
        count = 20_000_000
        count_varint = bytes([0x80 | (count & 0x7F), 0x80 | (count >> 7 & 0x7F),
                              0x80 | (count >> 14 & 0x7F), count >> 21])
        text = base64.b64encode(count_varint
                                + b"\\x02" * count + b"\\x00").decode()
        with open("/proc/self/status") as status:
            used = next(int(line.split()[1]) for line in status if line.startswith("VmSize:")) * 1024
        resource.setrlimit(resource.RLIMIT_AS, (used + 48 * 2**20, resource.RLIM_INFINITY))
        parser = BinaryParser()
        try:
            parser.parse("calibration", 1, text)
        except MemoryError:
            print("MemoryError")
        print(parser.parse("calibration", 1, "AhgFAA=="))
    """)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    assert result.stdout.splitlines() == ["MemoryError", CALIBRATION_JSON]
