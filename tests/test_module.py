"""The module protocol: contents, docstrings, argument binding and conversion."""

import inspect
import subprocess
import sys
import textwrap

import pytest

import velmora

NAMES = [
    "embed",
    "embed_reference",
    "extract",
    "remove",
    "locate_all",
    "compute_data_hash",
    "verify_data_hash",
    "inline_hash_before_embed",
    "SCRIPT_TYPE",
    "LINK_REL",
    "__version__",
]
FUNCTIONS = NAMES[:8]
DOC = b"<html><head><title>t</title></head><body>b</body></html>"


def test_contents_and_constants():
    assert velmora.__all__ == NAMES
    assert velmora.__doc__ == ""
    assert velmora.SCRIPT_TYPE == "application/c2pa"
    assert velmora.LINK_REL == "c2pa-manifest"
    assert velmora.__version__ == "0.2.0"
    for name in FUNCTIONS:
        function = getattr(velmora, name)
        assert function.__name__ == name
        assert function.__module__ == "velmora"
        assert function.__self__ is velmora


@pytest.mark.parametrize(
    "name, signature",
    [
        ("embed", "(html, store)"),
        ("embed_reference", "(html, href)"),
        ("extract", "(html)"),
        ("remove", "(html)"),
        ("locate_all", "(html)"),
        ("compute_data_hash", "(html, alg='sha256')"),
        ("verify_data_hash", "(html, hash, exclusions, alg='sha256')"),
        ("inline_hash_before_embed", "(html, alg='sha256')"),
    ],
)
def test_signatures_and_docstrings(name, signature):
    function = getattr(velmora, name)
    assert str(inspect.signature(function)) == signature
    assert function.__doc__ and not function.__doc__.startswith(name)
    assert "--" not in function.__doc__.splitlines()[0]
    assert not function.__doc__.endswith("\n")


def test_locate_all_docstring_body():
    assert velmora.locate_all.__doc__ == (
        "The `(start, length)` byte ranges of every C2PA manifest element in the head.\n\n"
        "More than one means the document is rejected; this is exposed so a caller\n"
        "can report how many were found."
    )


def test_reimport_gives_the_same_module_object():
    first = sys.modules.pop("velmora")
    try:
        import velmora as again

        assert again is first
    finally:
        sys.modules["velmora"] = first


SUBINTERPRETER = textwrap.dedent(
    """
    import velmora, _xxsubinterpreters as interpreters
    interp = interpreters.create()
    try:
        interpreters.run_string(interp, "import velmora")
    except interpreters.RunFailedError as failure:
        print("RunFailedError", failure)
    else:
        print("imported")
    """
)


@pytest.mark.skipif(sys.version_info[:2] != (3, 11), reason="uses 3.11's _xxsubinterpreters")
def test_second_interpreter_gets_import_error():
    result = subprocess.run(
        [sys.executable, "-c", SUBINTERPRETER], capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.startswith("RunFailedError"), result.stdout
    assert "ImportError" in result.stdout


# --- binding ------------------------------------------------------------------


def test_keywords_bind_by_name():
    assert velmora.locate_all(html=DOC) == []
    assert velmora.extract(html=DOC) is None
    assert velmora.embed(store=b"", html=DOC) == velmora.embed(DOC, b"")
    assert velmora.compute_data_hash is not None


# Keyword values follow the positional ones in the call's array on 3.10 and later,
# and come in a dict before: each must reach its own parameter either way.
@pytest.mark.parametrize("positional", range(5))
def test_positional_and_keyword_arguments_mix(positional):
    page = velmora.embed(DOC, b"store")
    binding = velmora.compute_data_hash(page, "sha384")

    def verify(digest):
        values = {"html": page, "hash": digest, "exclusions": binding["exclusions"],
                  "alg": "sha384"}
        names = list(values)
        kwargs = {name: values[name] for name in reversed(names[positional:])}
        return velmora.verify_data_hash(*[values[n] for n in names[:positional]], **kwargs)

    assert verify(binding["hash"]) is None
    with pytest.raises(ValueError, match="mismatch"):
        verify(bytes(48))


@pytest.mark.parametrize(
    "call, fragment",
    [
        (lambda: velmora.extract(DOC, html=DOC), "multiple values for argument 'html'"),
        (lambda: velmora.extract(), "missing required argument 'html'"),
        (lambda: velmora.extract(DOC, DOC), "extract() takes at most 1 argument (2 given)"),
        (lambda: velmora.locate_all(document=DOC), "unexpected keyword argument 'document'"),
        (lambda: velmora.embed(DOC), "missing required argument 'store'"),
        (lambda: velmora.inline_hash_before_embed(DOC, "sha256", 1), "at most 2 arguments"),
        (lambda: velmora.verify_data_hash(DOC, b""), "missing required argument 'exclusions'"),
    ],
)
def test_binding_errors(call, fragment):
    with pytest.raises(TypeError) as caught:
        call()
    assert fragment in str(caught.value)


class BytesSub(bytes):
    pass


class StrSub(str):
    pass


@pytest.mark.parametrize("bad", [DOC.decode(), bytearray(DOC), memoryview(DOC), None, 1])
@pytest.mark.parametrize(
    "call",
    [
        lambda x: velmora.locate_all(x),
        lambda x: velmora.extract(x),
        lambda x: velmora.remove(x),
        lambda x: velmora.embed(x, b""),
        lambda x: velmora.embed(DOC, x),
        lambda x: velmora.embed_reference(x, "h"),
        lambda x: velmora.inline_hash_before_embed(x),
    ],
)
def test_byte_parameters_refuse_other_types(call, bad):
    with pytest.raises(TypeError, match="must be bytes"):
        call(bad)


def test_bytes_subclass_is_accepted_and_unchanged():
    html = BytesSub(b"<head></head>")
    out = velmora.embed(html, BytesSub(b"\x00\x01"))
    assert type(out) is bytes
    assert html == b"<head></head>"
    assert velmora.extract(out)["store"] == b"\x00\x01"


@pytest.mark.parametrize("bad", [b"h", None, 3])
def test_text_parameters_refuse_other_types(bad):
    with pytest.raises(TypeError, match="argument 'href' must be str"):
        velmora.embed_reference(DOC, bad)
    with pytest.raises(TypeError, match="argument 'alg' must be str"):
        velmora.inline_hash_before_embed(DOC, bad)


def test_str_subclass_is_accepted():
    assert len(velmora.inline_hash_before_embed(DOC, StrSub("sha384"))) == 48
    out = velmora.embed_reference(DOC, StrSub("x"))
    assert velmora.extract(out)["href"] == "x"


@pytest.mark.parametrize(
    "call",
    [
        lambda: velmora.embed_reference(DOC, "a\ud800b"),
        lambda: velmora.inline_hash_before_embed(DOC, "\udfff"),
    ],
)
def test_lone_surrogate_raises_unicode_encode_error(call):
    with pytest.raises(UnicodeEncodeError):
        call()


def test_internal_error_class_is_not_exported():
    assert not any("Error" in name for name in dir(velmora))


# Result keys and the kind words are shared by every result: each call must take
# exactly one reference per use, or they leak, or are freed while still in use.
def test_shared_result_words_keep_their_reference_counts():
    embedded = velmora.embed(DOC, b"store")
    referenced = velmora.embed_reference(DOC, "m.c2pa")
    first = velmora.extract(embedded)
    kind, key = first["kind"], next(iter(first))
    before = sys.getrefcount(kind), sys.getrefcount(key)
    for _ in range(1000):
        velmora.extract(embedded), velmora.extract(referenced), velmora.compute_data_hash(embedded)
    assert (sys.getrefcount(kind), sys.getrefcount(key)) == before
    assert velmora.extract(referenced)["kind"] == "referenced" and first["kind"] == "embedded"
