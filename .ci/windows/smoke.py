"""Runs the extension built with MinGW-w64 inside CPython for Windows: it
must load through python3.dll and agree with the standard library."""

import base64
import hashlib
import sys

import velmora

page = b"<!doctype html><html><head><title>t</title></head><body>" + bytes(range(256)) * 40
store = bytes(range(256)) * 300 + b"odd tail"
signed = velmora.embed(page, store)
assert base64.b64encode(store) in signed
assert velmora.extract(signed)["store"] == store
assert velmora.remove(signed) == page
for alg in ("sha256", "sha384", "sha512"):
    binding = velmora.compute_data_hash(signed, alg)
    [(start, length)] = binding["exclusions"]
    assert binding["hash"] == hashlib.new(alg, signed[:start] + signed[start + length :]).digest()
    velmora.verify_data_hash(signed, binding["hash"], binding["exclusions"], alg)
print(f"velmora {velmora.__version__} passes on CPython {sys.version.split()[0]} for Windows")
