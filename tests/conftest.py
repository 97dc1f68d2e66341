import os

import pytest

from support import active_simd_paths, native_heap_bytes, native_heap_unavailable


def pytest_report_header(config):
    paths = active_simd_paths()
    cap = os.environ.get("TAVRO_KILN_MAX_ISA", "unset")
    return (f"tavro_kiln vector path: {paths[0]} (TAVRO_KILN_MAX_ISA={cap}); "
            f"solver suites rerun on: {', '.join(paths[1:]) or 'no other path'}")


@pytest.fixture(scope="session")
def core():
    from tavro_kiln.core import _tavro_core

    return _tavro_core


@pytest.fixture(scope="session")
def hxm():
    from tavro_kiln.core import _hxm_field_solver

    return _hxm_field_solver


@pytest.fixture
def fail_allocation(monkeypatch):
    """fail_allocation(site) makes that native allocation fail in every call
    for the rest of the test ('' for none)."""
    return lambda site: monkeypatch.setenv("TAVRO_KILN_FAIL_ALLOCATION", site)


@pytest.fixture
def native_heap():
    """native_heap_bytes, for tests that need it; skipped where the C library
    cannot tell."""
    reason = native_heap_unavailable()
    if reason:
        pytest.skip(f"native heap not measurable: {reason}")
    return native_heap_bytes
