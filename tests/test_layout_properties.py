"""Properties of every layout of every family: random records, encoded by the test-side model,
decode to the JSON the model writes (floats checked against numpy's shortest digits); bytes
after a record are ignored; every cut short payload fails as ending early, at the read and the
offset where the bytes ran out."""

import pytest
from hypothesis import given
from hypothesis import strategies as st

from velunda_model.encoder import b64
from velunda_model.model import envelope
from velunda_model.records import FAMILIES

LAYOUTS = [(kind, version) for kind, (_, layouts) in FAMILIES.items() for version in layouts]


def layout_of(kind, version):
    return FAMILIES[kind][1][version]


@pytest.mark.parametrize("kind,version", LAYOUTS)
@given(data=st.data())
def test_random_records_decode_to_the_models_json(parser, kind, version, data):
    layout = layout_of(kind, version)
    value = data.draw(layout.strategy())
    trailing = data.draw(st.binary(max_size=4))
    expected = envelope(FAMILIES[kind][0], version, layout.json(value))
    assert parser.parse(kind, version, b64(layout.encode(value) + trailing)) == expected


@pytest.mark.parametrize("kind,version", LAYOUTS)
@given(data=st.data())
def test_every_cut_ends_early(parser, kind, version, data):
    layout = layout_of(kind, version)
    value = data.draw(layout.strategy())
    whole = layout.encode(value)
    cut = data.draw(st.integers(0, len(whole) - 1))
    with pytest.raises(ValueError) as raised:
        parser.parse(kind, version, b64(whole[:cut]))
    assert str(raised.value) == "Parsing failed: PostcardError(DeserializeUnexpectedEnd)"
    # The read that ran out is named by the model's own walk of the encoding.
    assert (raised.value.path, raised.value.offset) == layout.failure_at(value, cut)
