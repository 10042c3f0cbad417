"""The tag scanner and manifest recognition, observed through locate_all."""

import pytest

import velmora

SCRIPT = b'<script type="application/c2pa">Zg==</script>'
LINK = b'<link rel="c2pa-manifest" href="https://example.com/m.c2pa">'


def spans(html):
    return [html[s : s + n] for s, n in velmora.locate_all(html)]


def page(head, body=b"<p>text</p>"):
    return b"<!DOCTYPE html><html><head>" + head + b"</head><body>" + body + b"</body></html>"


@pytest.mark.parametrize(
    "html",
    [
        b"",
        b"plain text, no tags at all",
        page(b"<title>t</title>"),
        page(b"<script>var x = 1;</script><link rel=stylesheet href=a.css>"),
        page(b"", body=SCRIPT + LINK),  # in the body
        SCRIPT.join([b"<html>", b"<head></head>"]),  # before the head start tag
    ],
)
def test_documents_without_manifest_elements(html):
    assert velmora.locate_all(html) == []


def test_both_forms_are_listed_in_document_order():
    html = page(LINK + b"<meta charset=utf-8>" + SCRIPT + LINK)
    assert spans(html) == [LINK, SCRIPT, LINK]
    starts = [s for s, _ in velmora.locate_all(html)]
    assert starts == sorted(starts)


def test_result_is_a_new_list_of_int_tuples():
    html = page(SCRIPT)
    first, second = velmora.locate_all(html), velmora.locate_all(html)
    assert first == second and first is not second
    (item,) = first
    assert type(item) is tuple and all(type(x) is int for x in item)
    assert item == (html.index(SCRIPT), len(SCRIPT))


@pytest.mark.parametrize(
    "hider",
    [
        b"<!-- %s -->",
        b"<!--%s-->",
        b"<!--><!-- %s -->",  # "<!-->" does not close a comment
        b"<script>var s = '%s';</script>",
        b"<style>%s</style>",
        b"<title>%s</title>",
        b"<textarea>%s</textarea>",
        b"<script>%s</scriptx></script>",
    ],
)
def test_comments_and_raw_text_hide_tags(hider):
    html = page(hider.replace(b"%s", LINK))
    assert velmora.locate_all(html) == []


@pytest.mark.parametrize("closer", [b"</SCRIPT >", b"</script/>", b"</Script\t>"])
def test_raw_text_ends_at_its_end_tag_in_any_case(closer):
    html = page(b"<script>x</script" + b"x>" + closer + LINK)
    assert spans(html) == [LINK]


def test_self_closing_script_still_starts_raw_text():
    html = page(b"<script src=a.js />" + LINK + b"</script>" + SCRIPT)
    assert spans(html) == [SCRIPT]


@pytest.mark.parametrize(
    "prefix",
    [b"<!DOCTYPE html>", b"<![CDATA[ a > b ]]>", b"<?xml version='1.0'?>", b"<!a>"],
)
def test_declarations_end_at_the_first_gt(prefix):
    html = prefix + page(SCRIPT)
    assert spans(html) == [SCRIPT]


def test_cdata_ends_at_first_gt_so_the_rest_is_text():
    html = b"<head><![CDATA[ x > " + LINK + b" ]]></head>"
    assert spans(html) == [LINK]


@pytest.mark.parametrize(
    "tail",
    [b"<!--", b"<!--a", b"<!--ab", b"<!-- unterminated " + LINK, b"<!DOCTYPE", b"<?pi", b"<", b"</"],
)
def test_unterminated_constructs_at_the_end(tail):
    html = b"<head>" + LINK + tail
    assert spans(html) == [LINK]


@pytest.mark.parametrize("not_a_tag", [b"< link>", b"<1>", b"</>", b"</ a>"])
def test_lt_without_a_letter_starts_no_tag(not_a_tag):
    html = b"<head>" + not_a_tag + LINK
    assert spans(html) == [LINK]


# --- the head region ---------------------------------------------------------


def test_head_region_without_head_tag_starts_after_html_tag():
    html = b"<html lang=en>" + LINK + b"<meta charset=utf-8><body>" + SCRIPT
    assert spans(html) == [LINK]


def test_bare_fragment_is_all_head():
    assert spans(SCRIPT) == [SCRIPT]
    assert spans(LINK + b"\n" + SCRIPT) == [LINK, SCRIPT]


@pytest.mark.parametrize("ender", [b"</head>", b"</html>", b"<body>", b"<BODY class=x>"])
def test_head_region_ends_at_the_first_ender(ender):
    html = b"<head>" + LINK + ender + SCRIPT
    assert spans(html) == [LINK]


def test_only_the_first_head_start_tag_counts():
    html = b"<head>" + LINK + b"</head><head>" + SCRIPT + b"</head>"
    assert spans(html) == [LINK]


def test_head_start_tag_after_body_still_defines_the_region():
    html = b"<body>" + LINK + b"<head>" + SCRIPT
    assert spans(html) == [SCRIPT]


def test_tag_must_end_inside_the_region():
    html = b"<head><link rel=c2pa-manifest href='a</head>'></head>"
    assert velmora.locate_all(html) == [(6, len(html) - 6 - len(b"</head>"))]


def test_uppercase_head_and_html_tags_count():
    html = b"<HTML><Head>" + LINK + b"</HEAD><BODY>" + SCRIPT
    assert spans(html) == [LINK]


# --- recognition of the two forms ---------------------------------------------


@pytest.mark.parametrize(
    "element",
    [
        b'<SCRIPT TYPE=" Application/C2PA\t">Zg==</SCRIPT>',
        b"<script type='application/c2pa'></script>",
        b"<script type=application/c2pa>x</script>",
        b'<script type="application/c2pa" type="text/javascript"></script>',
        b'<link rel="alternate  C2PA-Manifest" href=x>',
        b'<link rel="c2pa-manifest\t">',
        b'<link rel=c2pa-manifest type="text/plain">',
        b"<LINK REL=c2pa-manifest rel=stylesheet Href='x'>",
    ],
)
def test_recognised_elements(element):
    assert spans(page(element)) == [element]


@pytest.mark.parametrize(
    "element",
    [
        b'<script type="application/c2pa; charset=utf-8">Zg==</script>',
        b'<script type="application/c2pa+json">Zg==</script>',
        b'<script type="application /c2pa">Zg==</script>',
        b"<script>Zg==</script>",
        b'<script type="text/javascript" type="application/c2pa">Zg==</script>',
        b'<link rel="c2pa-manifest-x" href=x>',
        b'<link rel="c2pa_manifest" href=x>',
        b'<link rel="c2pa manifest" href=x>',
        b'<link href=x>',
        b'<link rel=stylesheet rel=c2pa-manifest href=x>',
        b'<meta rel=c2pa-manifest>',
        b'</link rel=c2pa-manifest>',
        b'<script type="application/c2pa\x0b">Zg==</script>',
    ],
)
def test_elements_that_are_not_manifests(element):
    assert velmora.locate_all(page(element)) == []


def test_script_element_covers_its_whole_end_tag():
    element = b'<script type="application/c2pa">' + b"QUJD" + b"</script >"
    (found,) = velmora.locate_all(page(element))
    assert found[1] == len(element)


def test_script_element_without_end_tag_runs_to_the_end():
    html = b"<head>" + SCRIPT[: -len(b"</script>")] + b"</head><body>" + LINK
    assert velmora.locate_all(html) == [(6, len(html) - 6)]


def test_offsets_count_bytes_not_characters():
    title = "<title>caf\u00e9 \u2603 \U0001F600</title>".encode()
    html = b"<head>" + title + LINK
    assert velmora.locate_all(html) == [(6 + len(title), len(LINK))]


# --- attribute syntax ---------------------------------------------------------


@pytest.mark.parametrize(
    "element",
    [
        b"<link rel = 'c2pa-manifest' href=x>",
        b"<link rel='c2pa-manifest'href=x>",
        b"<link title='<b>' rel=c2pa-manifest c='x>y'>",
        b"<link/rel=c2pa-manifest />",
        b"<link = rel=c2pa-manifest>",
        b"<link a+b rel=c2pa-manifest>",
        b"<link rel=c2pa-manifest href=x/>",
        b"<link\nrel=\"c2pa-manifest\"\n>",
    ],
)
def test_attribute_syntax(element):
    assert spans(page(element)) == [element]


def test_quoted_value_hides_gt_and_lt():
    element = b"<link title='</head><body>' rel=c2pa-manifest>"
    assert spans(page(element)) == [element]


@pytest.mark.parametrize(
    "tail",
    [
        b"<link rel=c2pa-manifest",
        b"<link rel='c2pa-manifest",  # value runs to the end: "c2pa-manifest" + nothing
        b"<link rel=",
        b"<link",
    ],
)
def test_tag_left_open_at_the_end(tail):
    html = b"<head>" + tail
    expected = [(6, len(tail))] if b"c2pa" in tail else []
    assert velmora.locate_all(html) == expected


def test_many_attributes_on_one_tag_first_wins():
    # 200,000 attributes named rel: only the first decides.
    many = b" rel=x" * 200_000
    assert velmora.locate_all(b"<head><link rel=c2pa-manifest" + many + b">") == [
        (6, 24 + len(many))
    ]
    assert velmora.locate_all(b"<head><link" + many + b" rel=c2pa-manifest>") == []
