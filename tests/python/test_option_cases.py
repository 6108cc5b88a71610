"""The cross-face option cases (tests/data/option_cases.json), which the engine's suite runs
as JSON and as the command line's text and the web module's suite on the page's module: the
Python interface accepts and refuses them alike, with the same message."""

import json
import os

import numpy as np
import pytest

import veltrane as vt

CASES = os.path.join(os.path.dirname(__file__), "..", "data", "option_cases.json")


def _cases():
    with open(CASES) as f:
        return json.load(f)["cases"]


def _image():
    i = np.arange(48 * 64 * 3, dtype=np.int64).reshape(48, 64, 3)
    return ((i * 37 + i // 192 * 11) % 251).astype(np.uint8)


@pytest.mark.parametrize("case", _cases(), ids=lambda c: json.dumps(c["options"]))
def test_case(case):
    options = dict(case["options"])
    img = _image()
    if any(k not in vt.stretch.__kwdefaults__ for k in options):
        with pytest.raises(TypeError):  # Python's own refusal of an unknown keyword
            vt.stretch(img, **options)
        return
    if "refused" not in case:
        vt.stretch(img, **options)
        return
    with pytest.raises(ValueError) as refused:
        vt.stretch(img, **options)
    expected = case["refused"]
    assert expected in str(refused.value) or expected.split(", not ")[0] in str(refused.value)


def test_every_option_of_the_table_is_a_documented_keyword():
    table = json.loads(vt._core._option_table())
    for row in table:
        if row["key"] == "save_transform":  # the command line's: Python has Transform.save
            continue
        assert row["key"] in vt.stretch.__kwdefaults__, row["key"]
        assert row["key"] in vt.stretch.__doc__, row["key"]
