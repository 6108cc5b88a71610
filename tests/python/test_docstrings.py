"""The package's documentation as help() and editors show it: numpydoc sections on every public
function, parameters that name the signature's, and veltrane.dask's keywords spelled out."""

import inspect
import re

import numpy as np
import pytest

vt = pytest.importorskip("veltrane")

FUNCTIONS = [getattr(vt, name) for name in vt.__all__ if not isinstance(getattr(vt, name), type)]
CLASSES = [getattr(vt, name) for name in vt.__all__ if isinstance(getattr(vt, name), type)]
METHODS = [vt.Transform.apply, vt.ClipHistogram.measure]


def sections(doc):
    return set(re.findall(r"^(\w[\w ]*)\n-+$", inspect.cleandoc(doc), re.M))


def documented_parameters(doc):
    """The names of the Parameters section's entries ("a, b : type" gives a and b)."""
    text = inspect.cleandoc(doc).split("Parameters\n----------\n", 1)[1]
    text = re.split(r"^\w[\w ]*\n-+$", text, maxsplit=1, flags=re.M)[0]
    names = []
    for line in text.splitlines():
        if line and not line.startswith(" "):
            names += [n.strip().lstrip("*") for n in line.split(" : ")[0].split(",")]
    return names


def dask_functions():
    vd = pytest.importorskip("veltrane.dask")
    return [getattr(vd, name) for name in vd.__all__]


@pytest.mark.parametrize("function", FUNCTIONS + METHODS, ids=lambda f: f.__qualname__)
def test_functions_have_numpydoc_sections(function):
    assert {"Parameters", "Raises"} <= sections(function.__doc__)
    assert "Returns" in sections(function.__doc__) or function is vt.ClipHistogram.measure
    assert "$" not in function.__doc__  # every shared block filled in


def test_dask_functions_have_numpydoc_sections():
    for function in dask_functions():
        assert {"Parameters", "Returns", "Raises"} <= sections(function.__doc__), function


def test_documented_parameters_are_the_signatures():
    for function in FUNCTIONS + METHODS + dask_functions():
        signature = [p for p in inspect.signature(function).parameters if p != "self"]
        assert documented_parameters(function.__doc__) == signature, function.__qualname__


@pytest.mark.parametrize("cls", CLASSES, ids=lambda c: c.__name__)
def test_classes_document_their_attributes(cls):
    assert "Attributes" in sections(cls.__doc__)
    for name, member in vars(cls).items():
        if isinstance(member, property):
            entry = r"^(\w+, )*%s(, \w+)* : " % name
            assert re.search(entry, cls.__doc__, re.M), (cls.__name__, name)


def test_dask_signatures_name_the_stretch_keywords():
    vd = pytest.importorskip("veltrane.dask")
    memory = inspect.signature(vt.stretch).parameters
    for function in (vd.fit, vd.stretch):
        parameters = inspect.signature(function).parameters
        assert not any(p.kind is p.VAR_KEYWORD for p in parameters.values())
        for name, p in memory.items():
            if name in ("img", "threads", "out"):
                continue
            assert parameters[name].kind is p.KEYWORD_ONLY, (function.__name__, name)
            assert parameters[name].default == p.default, (function.__name__, name)


def test_dask_unknown_keywords_are_refused_by_python():
    da = pytest.importorskip("dask.array")
    vd = pytest.importorskip("veltrane.dask")
    image = da.from_array(np.zeros((4, 4, 3), np.uint8), chunks=(2, 2, 3))
    for function in (vd.fit, vd.stretch):
        with pytest.raises(TypeError, match="unexpected keyword argument 'offst'"):
            function(image, offst=True)
