"""Hand-made Arrow producers over ctypes: the C Data and C Stream structures, filled as a careless
or hostile producer would. Their callbacks are Python code, as a producer's may be."""

import ctypes


class ArrowSchema(ctypes.Structure):
    pass


class ArrowArray(ctypes.Structure):
    pass


class ArrowArrayStream(ctypes.Structure):
    pass


ArrowSchema._fields_ = [
    ("format", ctypes.c_char_p),
    ("name", ctypes.c_char_p),
    ("metadata", ctypes.c_char_p),
    ("flags", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("children", ctypes.c_void_p),
    ("dictionary", ctypes.c_void_p),
    ("release", ctypes.c_void_p),
    ("private_data", ctypes.c_void_p),
]
ArrowArray._fields_ = [
    ("length", ctypes.c_int64),
    ("null_count", ctypes.c_int64),
    ("offset", ctypes.c_int64),
    ("n_buffers", ctypes.c_int64),
    ("n_children", ctypes.c_int64),
    ("buffers", ctypes.POINTER(ctypes.c_void_p)),
    ("children", ctypes.c_void_p),
    ("dictionary", ctypes.c_void_p),
    ("release", ctypes.c_void_p),
    ("private_data", ctypes.c_void_p),
]
ArrowArrayStream._fields_ = [
    ("get_schema", ctypes.c_void_p),
    ("get_next", ctypes.c_void_p),
    ("get_last_error", ctypes.c_void_p),
    ("release", ctypes.c_void_p),
    ("private_data", ctypes.c_void_p),
]
RELEASE = ctypes.CFUNCTYPE(None, ctypes.c_void_p)
GET = ctypes.CFUNCTYPE(ctypes.c_int, ctypes.c_void_p, ctypes.c_void_p)
LAST_ERROR = ctypes.CFUNCTYPE(ctypes.c_void_p, ctypes.c_void_p)
NOOP = RELEASE(lambda struct: None)


def address(callback):
    return ctypes.cast(callback, ctypes.c_void_p)


def capsule(struct, name):
    new = ctypes.pythonapi.PyCapsule_New
    new.restype, new.argtypes = ctypes.py_object, [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_void_p]
    return new(ctypes.addressof(struct), name, None)


def offsets32(*values):
    return b"".join(v.to_bytes(4, "little", signed=True) for v in values)


def offsets64(*values):
    return b"".join(v.to_bytes(8, "little", signed=True) for v in values)


class Buffers:
    """Real buffers (or None) and the pointer list an array hands over."""

    def __init__(self, buffers):
        self.keep = [ctypes.create_string_buffer(b) if b is not None else None for b in buffers]
        self.pointers = (ctypes.c_void_p * max(len(buffers), 1))(
            *[ctypes.addressof(b) if b is not None else None for b in self.keep]
        )

    def pointer(self):
        return ctypes.cast(self.pointers, ctypes.POINTER(ctypes.c_void_p))


def make_array(buffers, length, *, null_count=0, offset=0, n_buffers=None, children=(), dictionary=None):
    """An ArrowArray over `buffers`; returns it with everything it points to kept alive."""
    held = Buffers(buffers)
    child_pointers = (ctypes.c_void_p * max(len(children), 1))(*[ctypes.addressof(c) for c, _ in children])
    array = ArrowArray(
        length=length,
        null_count=null_count,
        offset=offset,
        n_buffers=len(buffers) if n_buffers is None else n_buffers,
        n_children=len(children),
        buffers=held.pointer(),
        children=ctypes.addressof(child_pointers) if children else None,
        dictionary=ctypes.addressof(dictionary[0]) if dictionary else None,
        release=address(NOOP),
    )
    return array, (held, child_pointers, children, dictionary)


def make_schema(format_, *, children=(), dictionary=None):
    child_pointers = (ctypes.c_void_p * max(len(children), 1))(*[ctypes.addressof(c) for c, _ in children])
    schema = ArrowSchema(
        format=format_,
        name=b"",
        flags=2,
        n_children=len(children),
        children=ctypes.addressof(child_pointers) if children else None,
        dictionary=ctypes.addressof(dictionary[0]) if dictionary else None,
        release=address(NOOP),
    )
    return schema, (child_pointers, children, dictionary)


class HandMadeColumn:
    """A column exported through __arrow_c_array__ from hand-made structures."""

    def __init__(self, format_, buffers, length, n_buffers=None, null_count=0, offset=0):
        self.schema, self.keep_schema = make_schema(format_)
        self.array, self.keep_array = make_array(
            buffers, length, null_count=null_count, offset=offset, n_buffers=n_buffers
        )

    def __arrow_c_array__(self, requested_schema=None):
        return capsule(self.schema, b"arrow_schema"), capsule(self.array, b"arrow_array")


class HandMadeRecordBatch(HandMadeColumn):
    """A one-column struct over a text child."""

    def __init__(self, child_format, child_buffers, child_length, *, length, offset=0, null_count=0, validity=None):
        child_schema = make_schema(child_format)
        child_array = make_array(child_buffers, child_length)
        self.schema, self.keep_schema = make_schema(b"+s", children=[child_schema])
        self.array, self.keep_array = make_array(
            [validity], length, null_count=null_count, offset=offset, children=[child_array]
        )


class HandMadeStream:
    """A stream whose steps are pyarrow arrays to hand over or error codes to fail with; every
    callback is Python code. It records what the consumer released."""

    def __init__(self, arrow_type, steps, *, schema_error=0, last_error=b"producer failed", missing=()):
        self.arrow_type, self.steps, self.schema_error = arrow_type, list(steps), schema_error
        self.last_error = ctypes.create_string_buffer(last_error) if last_error is not None else None
        self.released_stream = 0
        self.unfilled_released = 0
        self.callbacks = {
            "get_schema": GET(self._get_schema),
            "get_next": GET(self._get_next),
            "get_last_error": LAST_ERROR(lambda stream: ctypes.addressof(self.last_error) if self.last_error else None),
            "release": RELEASE(self._release),
        }
        self.poison = RELEASE(self._released_unfilled)
        self.stream = ArrowArrayStream(
            **{name: None if name in missing else address(cb) for name, cb in self.callbacks.items()}
        )

    def _get_schema(self, stream, out):
        if self.schema_error:
            return self.schema_error
        self.arrow_type._export_to_c(out)
        return 0

    def _get_next(self, stream, out):
        if not self.steps:
            ctypes.memset(out, 0, ctypes.sizeof(ArrowArray))
            return 0
        step = self.steps.pop(0)
        if isinstance(step, int):
            # A failing producer may leave anything in the output; releasing it would be wrong.
            ctypes.memset(out, 0xAB, ctypes.sizeof(ArrowArray))
            ArrowArray.from_address(out).release = address(self.poison)
            return step
        step._export_to_c(out)
        return 0

    def _release(self, stream):
        self.released_stream += 1
        ArrowArrayStream.from_address(stream).release = None

    def _released_unfilled(self, array):
        self.unfilled_released += 1

    def __arrow_c_stream__(self, requested_schema=None):
        return capsule(self.stream, b"arrow_array_stream")
