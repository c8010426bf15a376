"""The committed figures of the C library's exp and log (the vector forms' tables) are exactly what
their generator reads from this machine's library, so the vector forms take the library's own
steps. The test is skipped where the library has no such data blocks (not glibc 2.28 or later);
there the vector forms' self-check fails at first use and the library's calls are used instead."""

import io
import sys

import pytest

from conftest import SOURCES, load_source_script

CORE_SOURCES = SOURCES / "core"


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads the loaded libm.so.6")
def test_committed_tables_are_the_libraries_own():
    generator = load_source_script("core", "gen_libm_tables")
    out = io.StringIO()
    try:
        generator.emit(out)
    except (OSError, RuntimeError) as error:
        pytest.skip("this machine's C library has no such tables: %s" % error)
    committed = (CORE_SOURCES / "libm_tables.cpp").read_text(encoding="utf-8")
    assert out.getvalue() == committed
