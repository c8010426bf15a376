# The published text of every module, class, function, method and getter: its
# __text_signature__ and __doc__, compared with tests/data/docstrings.json. The file was written
# once from the module as released and is edited by hand only when the published interface
# changes on purpose; a new callable needs its entry here too.
import inspect
import json
import pathlib

import pytest

import vostrel._libvostrel as lib

GOLDEN = pathlib.Path(__file__).parent / "data" / "docstrings.json"


def published():
    """(key, object) for every module and every member the module tree exports, in order."""
    yield "_libvostrel", lib
    for name in lib.__all__:
        submodule = getattr(lib, name)
        yield name, submodule
        for member in getattr(submodule, "__all__", []):
            value = getattr(submodule, member)
            yield f"{name}.{member}", value
            if isinstance(value, type):
                for attribute in vars(value):
                    if not attribute.startswith("__"):
                        yield f"{name}.{member}.{attribute}", getattr(value, attribute)


def texts(value):
    return {"text_signature": getattr(value, "__text_signature__", None), "doc": value.__doc__}


GOLDEN_TEXTS = json.loads(GOLDEN.read_text(encoding="utf-8"))
RUNTIME = dict(published())


def test_every_published_object_has_an_entry_and_no_entry_is_stale():
    assert list(RUNTIME) == list(GOLDEN_TEXTS)


@pytest.mark.parametrize("key", sorted(GOLDEN_TEXTS))
def test_signature_and_docstring_are_as_published(key):
    value = RUNTIME[key]
    assert texts(value) == GOLDEN_TEXTS[key]
    if GOLDEN_TEXTS[key]["text_signature"] is not None:
        # The interpreter parses the text into a signature whose parameters carry its defaults.
        signature = inspect.signature(value)
        assert all(p.kind is not p.VAR_POSITIONAL for p in signature.parameters.values())
