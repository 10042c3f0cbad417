"""SHA-2 digests and the c2pa.hash.data binding."""

import hashlib
import random

import pytest

import velmora

ALGS = ["sha256", "sha384", "sha512"]
DOC = b"<html><head><title>t</title></head><body><p>hello</p></body></html>"
MISMATCH = "data hash does not match the document content [assertion.dataHash.mismatch]"
MALFORMED = "data hash exclusion range is malformed [assertion.dataHash.malformed]"
NO_MANIFEST = "no C2PA manifest element found in the document head"


def message(excinfo):
    assert type(excinfo.value) is ValueError
    (text,) = excinfo.value.args
    return text


def unsupported(alg):
    return f"unsupported hash algorithm: {alg} [algorithm.unsupported]"


# --- digests ------------------------------------------------------------------


@pytest.mark.parametrize("alg", ALGS)
def test_digest_of_every_length_matches_hashlib(alg):
    data = random.Random(alg).randbytes(400)
    for n in range(0, 401):
        assert velmora.inline_hash_before_embed(data[:n], alg) == hashlib.new(alg, data[:n]).digest(), n


@pytest.mark.parametrize("alg", ALGS)
@pytest.mark.parametrize("n", [(1 << 20) - 1, 3 << 20, (5 << 20) + 77])
def test_digest_of_large_random_inputs_matches_hashlib(alg, n):
    data = random.Random(n).randbytes(n)
    assert velmora.inline_hash_before_embed(data, alg) == hashlib.new(alg, data).digest()


FIPS = {
    b"abc": {
        "sha256": "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad",
        "sha384": "cb00753f45a35e8bb5a03d699ac65007272c32ab0eded1631a8b605a43ff5bed"
        "8086072ba1e7cc2358baeca134c825a7",
        "sha512": "ddaf35a193617abacc417349ae20413112e6fa4e89a97ea20a9eeee64b55d39a"
        "2192992a274fc1a836ba3c23a3feebbd454d4423643ce80e2a9ac94fa54ca49f",
    },
    b"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq": {
        "sha256": "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
    },
    b"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopq"
    b"klmnopqrlmnopqrsmnopqrstnopqrstu": {
        "sha384": "09330c33f71147e83d192fc782cd1b4753111b173b3b05d22fa08086e3b0f712"
        "fcc7c71a557e2db966c3e9fa91746039",
        "sha512": "8e959b75dae313da8cf4f72814fc143f8f7779c6eb9f7fa17299aeadb6889018"
        "501d289e4900f7e4331b99dec4b5433ac7d329eeb6dd26545e96e55b874be909",
    },
    b"": {
        "sha256": "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855",
    },
}


@pytest.mark.parametrize(
    "message_, alg, digest",
    [(m, a, d) for m, table in FIPS.items() for a, d in table.items()],
)
def test_standard_example_messages(message_, alg, digest):
    assert velmora.inline_hash_before_embed(message_, alg).hex() == digest


def test_sha384_is_not_a_prefix_of_sha512():
    assert not velmora.inline_hash_before_embed(b"x", "sha512").startswith(
        velmora.inline_hash_before_embed(b"x", "sha384")
    )


def test_hash_before_embed_ignores_the_document():
    with_manifest = b'<head><script type="application/c2pa">!!</script><link rel=c2pa-manifest>'
    for html in [b"", b"no head at all", with_manifest]:
        assert velmora.inline_hash_before_embed(html) == hashlib.sha256(html).digest()


# --- the whole sequence ---------------------------------------------------------


@pytest.mark.parametrize("alg", ALGS)
def test_hash_sign_embed_verify(alg, fixture_page):
    page = fixture_page
    expected = velmora.inline_hash_before_embed(page, alg)
    signed_store = b"manifest store carrying " + expected
    embedded = velmora.embed(page, signed_store)
    found = velmora.extract(embedded)
    binding = velmora.compute_data_hash(embedded, alg)
    assert list(binding) == ["alg", "hash", "exclusions"]
    assert binding == {
        "alg": alg,
        "hash": expected,
        "exclusions": [(found["start"], found["length"])],
    }
    assert velmora.verify_data_hash(embedded, binding["hash"], binding["exclusions"], alg) is None
    tampered = embedded[:-1] + bytes([embedded[-1] ^ 1])
    with pytest.raises(ValueError) as caught:
        velmora.verify_data_hash(tampered, expected, velmora.compute_data_hash(tampered, alg)["exclusions"], alg)
    assert message(caught) == MISMATCH


def test_default_algorithm_is_sha256():
    html = velmora.embed(DOC, b"s")
    binding = velmora.compute_data_hash(html)
    assert binding["alg"] == "sha256" and len(binding["hash"]) == 32
    assert binding == velmora.compute_data_hash(html, "sha256")
    assert velmora.verify_data_hash(html, binding["hash"], binding["exclusions"]) is None
    assert velmora.inline_hash_before_embed(DOC) == hashlib.sha256(DOC).digest()


def test_referenced_manifest_hashes_the_whole_document():
    html = velmora.embed_reference(DOC, "https://a.example/m")
    assert velmora.compute_data_hash(html) == {
        "alg": "sha256",
        "hash": hashlib.sha256(html).digest(),
        "exclusions": [],
    }
    assert velmora.verify_data_hash(html, hashlib.sha256(html).digest(), []) is None
    with pytest.raises(ValueError) as caught:
        velmora.verify_data_hash(html, hashlib.sha256(html).digest(), [(0, 0)])
    assert message(caught) == MALFORMED


@pytest.mark.parametrize("body", [(32 << 20) - 100, (40 << 20) + 3])
def test_binding_of_pages_gathered_into_a_block_of_tens_of_mib(body):
    # Blocks this large take a different allocation path; the bytes must not change.
    page = b"<html><head></head><body>" + random.Random(body).randbytes(body) + b"</body></html>"
    store = b"s" * 100
    embedded = velmora.embed(page, store)
    binding = velmora.compute_data_hash(embedded)
    assert binding["hash"] == hashlib.sha256(page).digest()
    assert velmora.verify_data_hash(embedded, binding["hash"], binding["exclusions"]) is None


# --- failures in their order ---------------------------------------------------


@pytest.mark.parametrize("alg", ["SHA256", "sha-256", " sha256", "sha256 ", "md5", "", "sha1", "sha2566"])
def test_unsupported_algorithm_comes_before_any_document_problem(alg):
    for call in (
        lambda: velmora.compute_data_hash(b"no manifest", alg),
        lambda: velmora.verify_data_hash(b"no manifest", b"", [(5, 5), (0, 1)], alg),
        lambda: velmora.inline_hash_before_embed(b"", alg),
    ):
        with pytest.raises(ValueError) as caught:
            call()
        assert message(caught) == unsupported(alg)


def test_empty_algorithm_gives_two_spaces():
    with pytest.raises(ValueError) as caught:
        velmora.inline_hash_before_embed(b"", "")
    assert message(caught) == "unsupported hash algorithm:  [algorithm.unsupported]"


@pytest.mark.parametrize(
    "html, text",
    [
        (DOC, NO_MANIFEST),
        (
            velmora.embed(DOC, b"a").replace(b"</head>", b"<link rel=c2pa-manifest href=x></head>"),
            "more than one C2PA manifest element found [manifest.html.multipleManifests]",
        ),
        (
            b'<head><script type="application/c2pa">not base64</script></head>',
            "the C2PA manifest element is malformed: script content is not valid Base64",
        ),
    ],
)
def test_document_errors_pass_through(html, text):
    with pytest.raises(ValueError) as caught:
        velmora.compute_data_hash(html)
    assert message(caught) == text
    with pytest.raises(ValueError) as caught:
        velmora.verify_data_hash(html, b"", [(0, 1), (0, 1)])
    assert message(caught) == text


@pytest.fixture
def bound():
    html = velmora.embed(DOC, b"store bytes")
    d = velmora.compute_data_hash(html)
    (own,) = d["exclusions"]
    return html, d["hash"], own


def test_exclusions_must_include_the_element_before_ranges_are_checked(bound):
    html, digest, (s, n) = bound
    for exclusions in ([], [(s, n - 1)], [(s + 1, n)], [(2**64 - 1, 1)], [(len(html) + 5, 1)]):
        with pytest.raises(ValueError) as caught:
            velmora.verify_data_hash(html, digest, exclusions)
        assert message(caught) == MALFORMED


@pytest.mark.parametrize(
    "make",
    [
        lambda s, n, size: [(s, n), (s, n)],
        lambda s, n, size: [(s, n), (0, 1)],
        lambda s, n, size: [(s - 1, 2), (s, n)],
        lambda s, n, size: [(s, n), (size - 1, 2)],
        lambda s, n, size: [(s, n), (2**64 - 1, 1)],
        lambda s, n, size: [(s, n), (2**63, 2**63)],
    ],
    ids=["duplicate", "descending", "overlapping", "past-the-end", "overflow", "wraps-to-zero"],
)
def test_malformed_ranges(bound, make):
    html, digest, (s, n) = bound
    with pytest.raises(ValueError) as caught:
        velmora.verify_data_hash(html, digest, make(s, n, len(html)))
    assert message(caught) == MALFORMED


def test_extra_ranges_change_the_hashed_bytes(bound):
    html, digest, (s, n) = bound
    assert velmora.verify_data_hash(html, digest, [(0, 0), (s, n)]) is None
    assert velmora.verify_data_hash(html, digest, ((s, n), (s + n, 0))) is None
    kept = html[1:s] + html[s + n : -1]
    assert velmora.verify_data_hash(html, hashlib.sha256(kept).digest(), [(0, 1), (s, n), (len(html) - 1, 1)]) is None
    with pytest.raises(ValueError) as caught:
        velmora.verify_data_hash(html, digest, [(0, 1), (s, n)])
    assert message(caught) == MISMATCH


def test_range_may_end_exactly_at_the_end(bound):
    html, _, (s, n) = bound
    kept = html[:s] + html[s + n : -3]
    assert velmora.verify_data_hash(html, hashlib.sha256(kept).digest(), [(s, n), (len(html) - 3, 3)]) is None


@pytest.mark.parametrize("bad_hash", [b"", b"\x00" * 32, b"\x00" * 48])
def test_wrong_hash_is_a_mismatch_never_malformed(bound, bad_hash):
    html, _, own = bound
    with pytest.raises(ValueError) as caught:
        velmora.verify_data_hash(html, bad_hash, [own])
    assert message(caught) == MISMATCH


def test_right_sha256_hash_under_sha384_is_a_mismatch(bound):
    html, digest, own = bound
    with pytest.raises(ValueError) as caught:
        velmora.verify_data_hash(html, digest, [own], "sha384")
    assert message(caught) == MISMATCH


# --- converting exclusions ------------------------------------------------------


class IntSub(int):
    def __index__(self):
        raise AssertionError("an int subclass is read directly")


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Pair(tuple):
    pass


def test_exclusion_forms_that_are_accepted(bound):
    html, digest, (s, n) = bound
    for exclusions in (
        [(s, n)],
        ((s, n),),
        [(IntSub(s), IntSub(n))],
        [(Index(s), Index(n))],
        [Pair((s, n))],
        iter_free_sequence([(s, n)]),
    ):
        assert velmora.verify_data_hash(html, digest, exclusions) is None


def iter_free_sequence(items):
    class Seq:
        def __len__(self):
            return len(items)

        def __getitem__(self, i):
            return items[i]

    return Seq()


def test_true_counts_as_one():
    html = velmora.embed(b"x<head></head>", b"")
    d = velmora.compute_data_hash(html)
    ((s, n),) = d["exclusions"]
    kept = html[:1] + html[6:s] + html[s + n :]
    assert velmora.verify_data_hash(html, hashlib.sha256(kept).digest(), [(True, 5)] + d["exclusions"]) is None


@pytest.mark.parametrize(
    "exclusions",
    [
        "(0, 1)",
        [[0, 10]],
        [(0, 1, 2)],
        [(0,)],
        {(0, 1): 1},
        {(0, 1)},
        iter([(0, 1)]),
        (x for x in [(0, 1)]),
        [(0.0, 1)],
        [(0, "1")],
        [(0, None)],
        [(Index(1.5), 1)],
        None,
        5,
    ],
)
def test_exclusions_type_errors_name_the_parameter(bound, exclusions):
    html, digest, _ = bound
    with pytest.raises(TypeError, match="exclusions"):
        velmora.verify_data_hash(html, digest, exclusions)


@pytest.mark.parametrize("exclusions", [[(-1, 1)], [(0, -5)], [(2**64, 0)], [(Index(-1), 0)]])
def test_out_of_range_ints_raise_overflow_error(bound, exclusions):
    html, digest, _ = bound
    with pytest.raises(OverflowError):
        velmora.verify_data_hash(html, digest, exclusions)


def test_largest_u64_is_accepted_by_the_conversion(bound):
    html, digest, own = bound
    with pytest.raises(ValueError) as caught:
        velmora.verify_data_hash(html, digest, [own, (2**64 - 1, 0)])
    assert message(caught) == MALFORMED


class Boom(Exception):
    pass


def test_errors_from_iteration_pass_unchanged(bound):
    html, digest, own = bound

    class Exploding:
        def __len__(self):
            return 3

        def __getitem__(self, i):
            if i == 1:
                raise Boom("halfway")
            return own

    with pytest.raises(Boom):
        velmora.verify_data_hash(html, digest, Exploding())


def test_lying_length_reserves_no_memory(bound):
    html, digest, own = bound

    class Liar:
        def __len__(self):
            return 2**62

        def __getitem__(self, i):
            if i == 0:
                return own
            raise IndexError

    class Raiser(Liar):
        def __len__(self):
            raise Boom("no length")

    assert velmora.verify_data_hash(html, digest, Liar()) is None
    assert velmora.verify_data_hash(html, digest, Raiser()) is None


def test_alg_none_is_a_type_error():
    with pytest.raises(TypeError):
        velmora.compute_data_hash(DOC, None)
    with pytest.raises(TypeError):
        velmora.verify_data_hash(DOC, b"", [], None)
