import pathlib

import pytest

FIXTURES = pathlib.Path(__file__).resolve().parent / "fixtures"
PAGES = sorted(FIXTURES.glob("*.html"))


@pytest.fixture(params=PAGES, ids=[p.name for p in PAGES])
def fixture_page(request):
    return request.param.read_bytes()
