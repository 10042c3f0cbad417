"""Pages written by velmora, opened in a real Chromium with scripting off and on.

Run by .ci/browser, which installs Chromium and its driver; not part of the
ordinary suite. For every bundled page it checks that embed and
embed_reference leave the rendering pixel-identical, that the element they
insert is inside document.head exactly where `velmora check` says it will be,
and that the script's text is the Base64 of the store.
"""

from __future__ import annotations

import base64
import os
import pathlib

import pytest

import velmora
from velmora_cli import browsers

webdriver = pytest.importorskip("selenium.webdriver")

PAGES = sorted((pathlib.Path(__file__).parent / "pages").glob("*.html"))
STORE = bytes(range(256)) * 4  # Base64 that no page holds by chance
HREF = "manifests/only-this-one.c2pa"
PLACES = (browsers.IN_HEAD, browsers.IN_BODY)
CHROMIUM = os.environ.get("CHROMIUM", "/usr/bin/chromium")
CHROMEDRIVER = os.environ.get("CHROMEDRIVER", "/usr/bin/chromedriver")

# The element as the page's scripts see it, or null where the parser made it text.
FIND_INSERTED = """
const [store, href] = arguments;
const script = [...document.querySelectorAll('script[type="application/c2pa"]')]
  .find((s) => s.text === store);
const link = [...document.querySelectorAll('link[rel~="c2pa-manifest"]')]
  .find((l) => l.getAttribute("href") === href);
const element = script || link || null;
if (!element) return null;
const place = document.head.contains(element) ? "head"
  : document.body.contains(element) ? "body" : "elsewhere";
return {place, text: script ? script.text : null};
"""


@pytest.fixture(scope="module", params=["off", "on"])
def browser(request):
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for argument in ("--headless=new", "--no-sandbox", "--window-size=800,600"):
        options.add_argument(argument)
    options.add_argument("--hide-scrollbars")
    if request.param == "off":
        options.add_experimental_option(
            "prefs", {"profile.managed_default_content_settings.javascript": 2}
        )
    service = webdriver.ChromeService(executable_path=CHROMEDRIVER)
    driver = webdriver.Chrome(options=options, service=service)
    driver.scripting = request.param
    yield driver
    driver.quit()


def scripting_in(driver) -> str:
    """Whether the page's own scripts run: the check's mode must be the browser's."""
    driver.get("data:text/html,<noscript>off</noscript>")
    return "off" if driver.find_element("tag name", "body").text == "off" else "on"


def rendering(driver, folder: pathlib.Path, name: str, page: bytes) -> bytes:
    path = folder / name
    path.write_bytes(page)
    driver.get(path.as_uri())
    return driver.get_screenshot_as_png()


@pytest.mark.parametrize("path", PAGES, ids=[p.stem for p in PAGES])
def test_written_pages_in_chromium(browser, path, tmp_path):
    assert scripting_in(browser) == browser.scripting
    page = path.read_bytes()
    view = next(v for v in browsers.check(page).views if v.scripting == browser.scripting)
    original = rendering(browser, tmp_path, "original.html", page)
    for name, written, expected_text in [
        ("embedded.html", velmora.embed(page, STORE), base64.b64encode(STORE).decode()),
        ("referenced.html", velmora.embed_reference(page, HREF), None),
    ]:
        assert rendering(browser, tmp_path, name, written) == original, f"{name} renders apart"
        found = browser.execute_script(FIND_INSERTED, base64.b64encode(STORE).decode(), HREF)
        place = {"head": browsers.IN_HEAD, "body": browsers.IN_BODY}.get(found and found["place"])
        # Where the check names neither, the element is inert or text for browsers.
        assert place == view.insertion or (place is None and view.insertion not in PLACES), name
        if found is not None:
            assert found["text"] == expected_text
