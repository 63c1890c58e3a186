"""Batches of payload texts for the many-row entry points: valid records of one layout drawn by
the layout model, some cut short or with bad base64, and the outcome parse gives each."""

from __future__ import annotations

from hypothesis import strategies as st

from velunda_model.encoder import b64
from velunda_model.records import FAMILIES

LAYOUTS = [(kind, version) for kind, (_, layouts) in FAMILIES.items() for version in layouts]


@st.composite
def payload_texts(draw, kind: str, version: int, max_rows: int = 40) -> list[str]:
    layout = FAMILIES[kind][1][version]
    # A few records, each in several forms, mixed into a longer batch.
    forms = []
    for _ in range(draw(st.integers(1, 4))):
        whole = layout.encode(draw(layout.strategy()))
        cut = draw(st.integers(0, len(whole) - 1))
        forms += [b64(whole), b64(whole[:cut]), b64(whole)[:-1] + "!"]
    forms.append("")
    return draw(st.lists(st.sampled_from(forms), max_size=max_rows))


def outcome(parser, kind, version, text):
    """What parse gives for one text: its JSON, or the ValueError's message and location."""
    try:
        return parser.parse(kind, version, text)
    except ValueError as error:
        return (str(error), error.kind, error.version, error.offset, error.path)


def error_fields(error: ValueError):
    return (str(error), error.kind, error.version, error.offset, error.path)
