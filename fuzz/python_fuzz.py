#!/usr/bin/env python3
"""Coverage-guided fuzzing of the Python boundary with atheris: the eight
functions called with arbitrary documents, texts, ints, odd sequences and odd
argument lists, positionally or by keyword. On every call:

- nothing crashes and the sanitizers report nothing (run it against the
  sanitized build, see README.md);
- the only exceptions are the documented ones, or the very exception that an
  argument's own code raised;
- the arguments are unchanged afterwards;
- a call that succeeds, or fails with ValueError, ends exactly as the same
  call with its arguments converted to plain bytes, str, int, tuple and list.
"""

import sys

import atheris

import velmora  # its native code is instrumented by its build

PARAMETERS = {
    "embed": ("html", "store"),
    "embed_reference": ("html", "href"),
    "extract": ("html",),
    "remove": ("html",),
    "locate_all": ("html",),
    "compute_data_hash": ("html", "alg"),
    "verify_data_hash": ("html", "hash", "exclusions", "alg"),
    "inline_hash_before_embed": ("html", "alg"),
}
NAMES = sorted(PARAMETERS)
REQUIRED = {"embed": 2, "embed_reference": 2, "verify_data_hash": 3}  # the others: 1
DOCUMENTED = (TypeError, ValueError, OverflowError)  # UnicodeEncodeError is a ValueError

FRAGMENTS = [
    b"<html>", b"<head>", b"</head>", b"<body>", b"</html>", b"<HEAD >", b"<title>", b"</title>",
    b"<script type=application/c2pa>", b"<script type=' APPLICATION/C2PA\t'>", b"</script>",
    b"<link rel=c2pa-manifest href=m.c2pa>", b"<link REL='a c2pa-manifest' href=\"&<\">",
    b"<!--", b"-->", b"<!x>", b"QUJD", b"AAAA", b"=", b" ", b"\xff\xfe", b"\xe2\x82",
]
ALGORITHMS = ["sha256", "sha384", "sha512", "SHA256", "md5", "", "sha256\0", "\ud800"]


class Raised(Exception):
    """Raised by the fuzzer's own odd objects; passes through unchanged."""


class Bytes(bytes):
    def __len__(self):
        raise Raised("bytes are read as stored")


class Str(str):
    def encode(self, *args, **kwargs):
        raise Raised("str is read as stored")


class Int(int):
    def __index__(self):
        raise Raised("an int is read as stored")


class Pair(tuple):
    def __getitem__(self, index):
        raise Raised("a tuple is read as stored")


class Index:
    """Not an int, but convertible to one."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Sequence:
    """A sequence whose length lies or raises, and whose iteration may raise."""

    def __init__(self, items, claimed, fail_after):
        self.items, self.claimed, self.fail_after = items, claimed, fail_after

    def __len__(self):
        if self.claimed is None:
            raise Raised("len")
        return self.claimed

    def __getitem__(self, index):
        return self.items[index]

    def __iter__(self):
        for position, item in enumerate(self.items):
            if position == self.fail_after:
                raise Raised("iteration")
            yield item


def document(fdp):
    if fdp.ConsumeBool():
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 512))
    count = fdp.ConsumeIntInRange(0, 24)
    return b"".join(fdp.PickValueInList(FRAGMENTS) for _ in range(count))


def integer(fdp, limit):
    kind = fdp.ConsumeIntInRange(0, 5)
    if kind == 0:
        return fdp.PickValueInList([-1, 2**64 - 1, 2**64, -(2**70), 2**63, True])
    if kind == 1:
        return fdp.ConsumeInt(9)
    return fdp.ConsumeIntInRange(0, limit)


def exclusions(fdp, limit):
    return [(integer(fdp, limit), integer(fdp, limit)) for _ in range(fdp.ConsumeIntInRange(0, 4))]


def plain_value(fdp, parameter, html_length):
    if parameter in ("html", "store"):
        return document(fdp)
    if parameter == "hash":
        return fdp.ConsumeBytes(fdp.PickValueInList([0, 32, 48, 64]))
    if parameter == "href":
        return fdp.ConsumeUnicode(16)
    if parameter == "alg":
        return fdp.PickValueInList(ALGORITHMS)
    return exclusions(fdp, html_length + 8)


def odd_pair(fdp, pair):
    start, length = pair
    if fdp.ConsumeBool():
        start, length = Index(start), Int(length)
    return Pair((start, length)) if fdp.ConsumeBool() else (start, length)


def odd_form(fdp, value):
    """The same value in an odd form, and True; or another value, and False."""
    kind = fdp.ConsumeIntInRange(0, 7)
    if kind == 0:
        other = [None, 1, 1.5, bytearray(b"x"), memoryview(b"x"), {}, "x", b"x", [(0, 0)]]
        return fdp.PickValueInList(other), False
    if kind <= 3:
        return value, True
    if isinstance(value, bytes):
        return Bytes(value), True
    if isinstance(value, str):
        return Str(value), True
    pairs = [odd_pair(fdp, pair) for pair in value]
    if kind == 4:
        return tuple(pairs), True
    claimed = fdp.PickValueInList([len(pairs), 0, 2**62, -1, None])
    return Sequence(pairs, claimed, fdp.ConsumeIntInRange(0, 8)), True


def snapshot(value):
    """What the argument holds; only lists and bytearrays can change."""
    return type(value), value.copy() if isinstance(value, (list, bytearray)) else value


def arrange(fdp, name, values):
    """Positional and keyword arguments, now and then with one too many."""
    params = PARAMETERS[name]
    split = fdp.ConsumeIntInRange(0, len(values))
    args = list(values[:split])
    kwargs = dict(zip(params[split:], values[split:]))
    mistake = fdp.ConsumeIntInRange(0, 9)
    if mistake == 0:
        args.append(b"")
    elif mistake == 1:
        kwargs["document"] = b""
    elif mistake == 2 and args:
        kwargs[params[0]] = b""
    else:
        return args, kwargs, False
    return args, kwargs, True


def outcome(function, args, kwargs):
    try:
        return "returned", function(*args, **kwargs)
    except Raised as error:
        return "raised by an argument", str(error)
    except DOCUMENTED as error:
        return type(error), str(error)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    name = fdp.PickValueInList(NAMES)
    params = PARAMETERS[name]
    # From one argument short of the required ones to all of them.
    given = fdp.ConsumeIntInRange(REQUIRED.get(name, 1) - 1, len(params))
    plain = []
    for parameter in params[:given]:
        plain.append(plain_value(fdp, parameter, len(plain[0]) if plain else 0))
    forms = [odd_form(fdp, value) for value in plain]
    values = [form for form, _ in forms]
    faithful = all(same for _, same in forms)
    before = [snapshot(value) for value in values]
    function = getattr(velmora, name)
    args, kwargs, mistaken = arrange(fdp, name, values)

    got = outcome(function, args, kwargs)
    assert [snapshot(value) for value in values] == before, "an argument changed"
    if faithful and not mistaken and (got[0] == "returned" or got[0] is ValueError):
        split = len(args)
        expected = outcome(function, plain[:split], dict(zip(params[split:], plain[split:])))
        assert got == expected, (got, expected)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
