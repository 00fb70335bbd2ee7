"""The SIMD targets: the default is the fastest available one, timed once;
GAMMATONE_BANK_SIMD forces one; names outside the table are refused with
the table's names."""

import numpy as np
import pytest

from gammatone_bank import _engine, filterbank

TARGETS = _engine.targets()
CFS = np.geomspace(100.0, 4000.0, 9)


@pytest.fixture
def unforced(monkeypatch):
    monkeypatch.delenv("GAMMATONE_BANK_SIMD", raising=False)


@pytest.mark.usefixtures("unforced")
class TestDefault:
    def test_is_the_best_scored_available_target(self):
        scores = _engine.timings()
        assert list(scores) == list(TARGETS)
        assert _engine.simd() in TARGETS
        assert min(scores, key=scores.__getitem__) == _engine.simd()
        assert scores[_engine.simd()] == 1.0 and min(scores.values()) == 1.0
        assert _engine.Engine(16000, CFS).simd == _engine.simd()

    def test_is_timed_once_per_process(self):
        first = (_engine.simd(), _engine.timings())
        assert all((_engine.simd(), _engine.timings()) == first for _ in range(20))

    def test_an_empty_variable_is_unset(self, monkeypatch):
        default = _engine.simd()
        monkeypatch.setenv("GAMMATONE_BANK_SIMD", "")
        assert _engine.simd() == default

    def test_levels_is_the_former_name_of_targets(self):
        assert _engine.levels() == TARGETS and TARGETS[0] == "scalar"


@pytest.mark.parametrize("target", TARGETS)
def test_the_variable_forces_a_target(monkeypatch, target):
    monkeypatch.setenv("GAMMATONE_BANK_SIMD", target)
    assert _engine.simd() == target
    assert _engine.Engine(16000, CFS).simd == target
    assert _engine.Engine(16000, CFS, simd=TARGETS[0]).simd == TARGETS[0]


@pytest.mark.parametrize("name", ["avx1024", "AVX2", "neon", "scalar "])
def test_an_unknown_name_is_refused_with_the_tables_names(monkeypatch, name):
    monkeypatch.setenv("GAMMATONE_BANK_SIMD", name)
    for call in (_engine.simd, lambda: filterbank(np.zeros(4), 16000, [1000.0])):
        with pytest.raises(ValueError, match="^GAMMATONE_BANK_SIMD must be ") as refusal:
            call()
        assert all(t in str(refusal.value) for t in TARGETS) and repr(name) in str(refusal.value)
    monkeypatch.delenv("GAMMATONE_BANK_SIMD")
    with pytest.raises(ValueError, match="^simd must be ") as refusal:
        _engine.Engine(16000, CFS, simd=name)
    assert all(t in str(refusal.value) for t in TARGETS)
