"""The committed ziggurat tables are exactly what their generator script produces, so the layer
tables stay tied to the rule that defines them (and to the two entries stored apart from it)."""

import io

from conftest import SOURCES, load_source_script

SIMULATION_SOURCES = SOURCES / "simulation"


def load_generator():
    return load_source_script("simulation", "gen_ziggurat_tables")


def test_committed_tables_match_the_generator():
    generator = load_generator()
    out = io.StringIO()
    generator.emit(out)
    committed = (SIMULATION_SOURCES / "ziggurat_tables.cpp").read_text(encoding="utf-8")
    assert out.getvalue() == committed


def test_telling_rows():
    tables = load_generator().tables()
    assert tables["EXP_X"][:4] == [8.697117470131053, 7.69711747013105, 6.941033629377213,
                                   6.47837849383257]
    assert tables["EXP_X"][255] == 0.06385216381500157
    assert tables["EXP_F"][:3] == [0.000167066692307963, 0.000454134353841497,
                                   0.000967269282327174]
    assert tables["EXP_F"][255] == 0.9381436808621765
    assert tables["NORM_X"][:4] == [3.91075795953709, 3.654152885361009, 3.4492782985609645,
                                    3.320244733839166]
    assert tables["NORM_X"][255] == 0.2152418959132738
    assert tables["NORM_F"][:3] == [0.000477467764586655, 0.001260285930498598,
                                    0.002609072746106363]
    assert tables["NORM_F"][255] == 0.9771017012827313
    assert tables["EXP_F"][87] == 0.10478613930657014
    assert tables["NORM_F"][94] == 0.2064054063986793
    for name in tables:
        assert len(tables[name]) == 257
    assert tables["EXP_F"][256] == tables["NORM_F"][256] == 1.0
