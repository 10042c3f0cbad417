"""Types of the velmora extension module.

The TypedDicts exist only for type checkers: import them under
`typing.TYPE_CHECKING`.
"""

from collections.abc import Sequence
from typing import Final, Literal, SupportsIndex, TypedDict, type_check_only

__all__ = [
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

SCRIPT_TYPE: Final = "application/c2pa"
LINK_REL: Final = "c2pa-manifest"
__version__: Final[str]

@type_check_only
class EmbeddedAssociation(TypedDict):
    start: int
    length: int
    kind: Literal["embedded"]
    store: bytes

@type_check_only
class ReferencedAssociation(TypedDict):
    start: int
    length: int
    kind: Literal["referenced"]
    href: str

@type_check_only
class DataHash(TypedDict):
    alg: str
    hash: bytes
    exclusions: list[tuple[int, int]]

def embed(html: bytes, store: bytes) -> bytes: ...
def embed_reference(html: bytes, href: str) -> bytes: ...
def extract(html: bytes) -> EmbeddedAssociation | ReferencedAssociation | None: ...
def remove(html: bytes) -> bytes: ...
def locate_all(html: bytes) -> list[tuple[int, int]]: ...
def compute_data_hash(html: bytes, alg: str = "sha256") -> DataHash: ...
def verify_data_hash(
    html: bytes,
    hash: bytes,
    exclusions: Sequence[tuple[SupportsIndex, SupportsIndex]],
    alg: str = "sha256",
) -> None: ...
def inline_hash_before_embed(html: bytes, alg: str = "sha256") -> bytes: ...
