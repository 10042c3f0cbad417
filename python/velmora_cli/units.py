"""Units of batch work: plain functions of their arguments that never raise for bad input.

`run_chunk` runs one operation over a chunk of pages named by path; `survey_warc` reads one
WARC file and describes the manifest association of every HTML response in it. Each returns
a list of records, one JSON-ready dict per page, so that any engine can map them: the
`velmora batch` and `velmora survey` commands use a process pool or a Dask cluster, and a
caller can use its own pool, Ray or Spark the same way::

    from concurrent.futures import ProcessPoolExecutor
    from velmora_cli import units

    chunks = [["a.html", "b.html"], ["c.html"]]
    with ProcessPoolExecutor() as pool:
        for records in pool.map(units.run_chunk, ["binding"] * len(chunks), chunks):
            ...

A bad page gives a record with "status" "error" (or "mismatch" for a binding that does not
hold) and the module's message under "error", never an exception. Workers read (and write)
the pages themselves, so only paths and records cross between processes.
"""

from __future__ import annotations

import errno
import os
import stat
from collections.abc import Callable, Iterable, Iterator, Mapping
from typing import Any, BinaryIO, NamedTuple, Optional, Union

import velmora

from . import files, payloads, reports
from .batch import OPERATIONS, READING_OPERATIONS, WRITING_OPERATIONS

Record = dict[str, Any]
"""One page's result: "path" (or "warc" and "offset"), "status", and the operation's fields."""

Item = Union[str, Mapping[str, Any]]
"""A page to work on: its path, or a mapping with "path" and the operation's inputs."""

OK, ERROR, MISMATCH = "ok", "error", "mismatch"

# Codes that mean a binding was checked and did not hold, as opposed to a page that could
# not be checked at all.
VERIFICATION_CODES = ("assertion.dataHash.mismatch", "assertion.dataHash.malformed")
HTML_TYPES = ("text/html", "application/xhtml+xml")


class InputError(ValueError):
    """An item whose inputs are missing or of the wrong shape."""


def run_chunk(
    operation: str,
    items: Iterable[Item],
    alg: str = "sha256",
    sync_each: bool = True,
    root: Optional[str] = None,
    force: bool = False,
) -> list[Record]:
    """Runs `operation` on each page of `items` and returns one record per page, in order.

    `operation` is one of `OPERATIONS`. Items are paths, or mappings holding "path" and
    the operation's inputs: "store" (a file holding the manifest store) for "embed", "href"
    for "reference", and for "verify" a record of a "binding" run ("alg", "hash" in hex,
    "exclusions" as [[start, length]]). `alg` is the hash algorithm of "hash" and
    "binding". The writing operations ("embed", "reference", "remove") replace the page
    whole or not at all; `sync_each=False` skips the flush to disk after each file, for a
    caller that syncs once for the whole batch, and `force=True` replaces write-protected
    pages too, as the per-file commands' --force does. Relative paths (of pages and stores) are
    taken from the folder `root` when it is given, as on a cluster whose workers run in other
    folders than the caller; records keep the paths as given.
    """
    try:
        action = ACTIONS[operation]
    except KeyError:
        known = ", ".join(OPERATIONS)
        raise ValueError(f"unknown operation {operation!r}: one of {known}") from None
    return [run_one(action, item, Settings(alg, sync_each, root, force)) for item in items]


class Settings(NamedTuple):
    """What a chunk's pages share."""

    alg: str
    sync_each: bool
    root: Optional[str]
    force: bool


def run_one(action: Action, item: Item, settings: Settings) -> Record:
    inputs: Mapping[str, Any] = {"path": item} if isinstance(item, str) else item
    path = inputs.get("path")
    if not isinstance(path, str):
        return {"path": path, "status": ERROR, "error": "no path given", "code": None}
    record: Record = {"path": path, "status": OK}
    page_file = located(path, settings.root)
    try:
        with open_page(page_file) as file:
            page = file.read()
        record["bytes"] = len(page)
        record.update(action(Job(page, inputs, settings)))
    except OSError as error:
        message = error.strerror or str(error)
        if error.filename not in (None, page_file):  # a store, or the page's temporary file
            message = f"{error.filename}: {message}"
        record.update(status=ERROR, error=message, code=None)
    except ValueError as error:  # velmora's own messages, and bad inputs
        message = str(error)
        code = status_code(message)
        failed = code in VERIFICATION_CODES
        record.update(status=MISMATCH if failed else ERROR, error=message, code=code)
    return record


def open_page(path: str) -> BinaryIO:
    """The page at `path`, opened without waiting on a pipe; anything but a regular file is
    refused, as `--in-place` refuses it: a device reads without end, and writing the page
    would write into it."""
    descriptor = os.open(path, os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | files.PORTABLE_FLAGS)
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise OSError(errno.EINVAL, "not a regular file", path)
        return os.fdopen(descriptor, "rb")
    except BaseException:
        os.close(descriptor)
        raise


def located(path: str, root: Optional[str]) -> str:
    return path if root is None else os.path.join(root, path)


def status_code(message: str) -> Optional[str]:
    """The status code in brackets that ends velmora's message, if any."""
    if message.endswith("]") and " [" in message:
        return message[message.rindex(" [") + 2 : -1]
    return None


class Job(NamedTuple):
    """One page and what an operation needs to work on it."""

    page: bytes
    inputs: Mapping[str, Any]
    settings: Settings

    @property
    def alg(self) -> str:
        return self.settings.alg

    def located(self, key: str) -> str:
        """The file named under `key`, from `root` when it is relative."""
        return located(self.text_input(key), self.settings.root)

    def text_input(self, key: str) -> str:
        value = self.inputs.get(key)
        if not isinstance(value, str):
            raise InputError(f'the entry for this path has no "{key}" string')
        return value

    def write(self, document: bytes) -> Record:
        """Replaces the page with `document`; the record tells where its manifest element is."""
        settings = self.settings
        files.write_file(
            self.located("path"),
            document,
            force=settings.force,
            sync=settings.sync_each,
            # -o names the records' file here, not where a page could go instead.
            links_advice="remove the other links",
        )
        elements = velmora.locate_all(document)
        place = {"start": elements[0][0], "length": elements[0][1]} if elements else {}
        return {**place, "written": len(document)}


Action = Callable[[Job], Record]


def hash_before_embed(job: Job) -> Record:
    return {"alg": job.alg, "hash": velmora.inline_hash_before_embed(job.page, job.alg).hex()}


def binding(job: Job) -> Record:
    computed = velmora.compute_data_hash(job.page, job.alg)
    exclusions = [list(pair) for pair in computed["exclusions"]]
    return {"alg": computed["alg"], "hash": computed["hash"].hex(), "exclusions": exclusions}


def locate(job: Job) -> Record:
    return {"elements": [list(pair) for pair in velmora.locate_all(job.page)]}


def extract(job: Job) -> Record:
    found = velmora.extract(job.page)
    if found is None:
        return {"kind": None}
    place = {"kind": found["kind"], "start": found["start"], "length": found["length"]}
    if found["kind"] == "embedded":
        return {**place, **store_fields(found["store"])}
    return {**place, "href": found["href"]}


def verify(job: Job) -> Record:
    alg, digest, exclusions = expected_binding(job)
    velmora.verify_data_hash(job.page, digest, exclusions, alg)
    return {"alg": alg}


def expected_binding(job: Job) -> tuple[str, bytes, list[tuple[int, int]]]:
    if job.inputs.get("status", OK) != OK:
        raise InputError(f"no binding was recorded for this page: {job.inputs.get('error')}")
    alg = job.text_input("alg")
    written = job.text_input("hash")
    try:
        digest = bytes.fromhex(written)
    except ValueError:
        digest = b""
    if not digest:  # as `velmora verify --hash` refuses it
        raise InputError('the entry for this path has no usable "hash": not a hexadecimal hash')
    try:
        pairs = job.inputs["exclusions"]
        exclusions = [(exclusion_value(start), exclusion_value(length)) for start, length in pairs]
    except (KeyError, TypeError, ValueError) as error:
        raise InputError(f'the entry for this path has no usable "exclusions": {error}') from None
    return alg, digest, exclusions


def exclusion_value(value: Any) -> int:
    """A start or a length as a binding record holds it: a whole number a page can have."""
    if type(value) is not int:  # not 1.5 read as 1, nor true as 1
        import json  # only here: the per-file commands load this module too

        raise TypeError(f"{json.dumps(value)} is not a whole number")
    if not 0 <= value < 1 << 64:
        raise ValueError(f"{value} is out of range")
    return value


def embed(job: Job) -> Record:
    with open(job.located("store"), "rb") as file:
        store = file.read()
    return {**store_fields(store), **job.write(velmora.embed(job.page, store))}


def reference(job: Job) -> Record:
    href = job.text_input("href")
    if not href:
        raise InputError(f'"href" is empty: {reports.EMPTY_HREF}')
    return {"href": href, **job.write(velmora.embed_reference(job.page, href))}


def remove(job: Job) -> Record:
    removed = len(velmora.locate_all(job.page))
    return {"removed": removed, **job.write(velmora.remove(job.page))}


def store_fields(store: bytes) -> Record:
    import hashlib  # here: the per-file commands, which load this module, never need it

    return {"store_size": len(store), "store_sha256": hashlib.sha256(store).hexdigest()}


ACTIONS: dict[str, Action] = {
    "hash": hash_before_embed,
    "binding": binding,
    "locate": locate,
    "extract": extract,
    "verify": verify,
    "embed": embed,
    "reference": reference,
    "remove": remove,
}


# The most of a page a survey reads: a crawl's pages are far smaller, and a record that
# inflates past it would otherwise take the worker's memory with it.
MAX_PAGE_BYTES = 64 << 20
# Browsers take response headers of this size (Chromium's limit); the reader's own default
# would end the file at a long Content-Security-Policy.
MAX_HEADER_BYTES = 256 << 10


def survey_warc(path: str, root: Optional[str] = None) -> list[Record]:
    """Describes the manifest association of every HTML response in the WARC file `path`.

    One record per HTTP response whose content type is HTML (in any case): "warc" (`path`),
    "offset" (where the record starts in the file, as a crawl's index gives it; None in a
    compressed file where the record does not start a compressed member of its own, as in a
    file compressed whole), "uri", "http_status", "content_type" (the media type, in lower
    case), "bytes" (of the page, its transfer and content codings undone), then what
    `association` finds. A response whose HTTP head cannot be read, whose payload does not
    decode, or whose page is over `MAX_PAGE_BYTES`, gives those first fields it has with
    "status" "error" and a short message under "error", and the survey goes on. A file that
    cannot be read to its end gives the records read so far and one last record, without
    "uri", with "status" "error", the offset of the last response read (0 before the first)
    and the reader's message. A relative `path` is taken from the folder `root` when it is
    given. Needs the `fastwarc` reader, 2.0 or later (`pip install "velmora[warc]"`).
    """
    return list(iter_survey_warc(path, root))


def iter_survey_warc(path: str, root: Optional[str] = None) -> Iterator[Record]:
    """The records of `survey_warc`, each as soon as its response is read."""
    from fastwarc.warc import ArchiveIterator, WarcRecordType

    offset: Optional[int] = 0
    try:
        with open(located(path, root), "rb") as stream:
            if not stat.S_ISREG(os.fstat(stream.fileno()).st_mode):
                # The reader seeks, and on a pipe it panics past every handler.
                raise ValueError("not a regular file: a WARC file is read with seeks")
            starts = RecordStarts(stream)
            # The codings are undone here, page by page: FastWARC's own decoding loses its
            # place in the file on some payloads, and ends the file on one it cannot decode.
            # HTTP heads are parsed here too, response by response, so that one that cannot
            # be read ends that response alone.
            responses = ArchiveIterator(
                stream,
                record_types=WarcRecordType.response,
                parse_http=False,
                auto_decode="none",
                max_header_len=MAX_HEADER_BYTES,
            )
            for response in responses:
                if response.is_http:
                    offset = starts.offset(response.stream_pos, response.record_id)
                    yield from surveyed(response, {"warc": path, "offset": offset})
    except (OSError, ValueError) as error:
        message = getattr(error, "strerror", None) or str(error)
        yield {"warc": path, "offset": offset, "status": ERROR, "error": message}


class RecordStarts:
    """Tells the reader's positions that a record can be found at. In a compressed file only
    the start of a compressed member is one, and only for the member's first record: the
    reader gives a record inside a member the position of the member, or of the next one,
    and records in a file compressed whole share one member."""

    GZIP_MAGIC = b"\x1f\x8b"
    # zstd and LZ4 frames, which the reader opens too; without a decoder at hand, a record
    # at the start of one is taken to be its first.
    MAGICS = (GZIP_MAGIC, b"\x28\xb5\x2f\xfd", b"\x04\x22\x4d\x18")
    HEAD_MAX = 1 << 16  # the most of a member decompressed to find its first record's id

    def __init__(self, stream: Any) -> None:
        self.stream = stream
        found = [magic for magic in self.MAGICS if self.bytes_at(0, len(magic)) == magic]
        self.magic = found[0] if found else None

    def offset(self, position: int, record_id: Optional[str]) -> Optional[int]:
        """`position`, or None where the record `record_id` cannot be found there."""
        if self.magic is None:
            return position
        if self.bytes_at(position, len(self.magic)) != self.magic:
            return None
        if self.magic == self.GZIP_MAGIC and self.first_record_id(position) != record_id:
            return None
        return position

    def bytes_at(self, position: int, size: int) -> bytes:
        """The `size` bytes at `position`, read between two reads of the reader, which finds
        the file where it left it."""
        resume = self.stream.tell()
        self.stream.seek(position)
        found = bytes(self.stream.read(size))
        self.stream.seek(resume)
        return found

    def first_record_id(self, position: int) -> Optional[str]:
        """The WARC-Record-ID of the first record of the gzip member at `position`."""
        import re
        import zlib

        inflater = zlib.decompressobj(16 + zlib.MAX_WBITS)
        head = b""
        try:
            for step in range(0, self.HEAD_MAX, 4096):
                head += inflater.decompress(self.bytes_at(position + step, 4096), self.HEAD_MAX)
                if b"\r\n\r\n" in head or inflater.eof:
                    break
        except zlib.error:
            return None
        found = re.search(rb"(?im)^warc-record-id:[ \t]*(\S+)", head.partition(b"\r\n\r\n")[0])
        return found.group(1).decode("latin-1") if found else None


def surveyed(response: Any, place: Record) -> list[Record]:
    """The record of an HTML response, none for another; raises ValueError for a file cut off
    inside it."""
    try:
        # Header lines ended by LF alone are read as browsers read them.
        response.parse_http(auto_decode="none", quirks_mode=True, max_header_len=MAX_HEADER_BYTES)
    except OSError as error:
        uri = response.headers.get("WARC-Target-URI")
        return [{**place, "uri": uri, "status": ERROR, "error": f"unreadable HTTP head: {error}"}]
    headers = response.http_headers.astuples()
    content_type = media_type(last_header(headers, "content-type"))
    if content_type not in HTML_TYPES:
        check_whole(response, response.reader.consume())
        return []
    described = {
        **place,
        "uri": response.headers.get("WARC-Target-URI"),
        "http_status": response.http_headers.status_code,
        "content_type": content_type,
    }
    if response.content_length > MAX_PAGE_BYTES:
        check_whole(response, response.reader.consume())
        return [{**described, "status": ERROR, "error": too_large(response.content_length)}]
    payload = response.reader.read()
    check_whole(response, len(payload))
    try:
        page = payloads.decoded(payload, headers, limit=MAX_PAGE_BYTES)
    except payloads.UndecodableError as error:
        return [{**described, "status": ERROR, "error": str(error)}]
    return [{**described, "bytes": len(page), **association(page)}]


def too_large(size: int) -> str:
    return f"a payload of {size} bytes, over the {MAX_PAGE_BYTES} a survey reads of a page"


def last_header(headers: list[tuple[str, str]], name: str) -> Optional[str]:
    """The last value of header `name` (in any case), the one browsers go by."""
    values = [value for key, value in headers if key.lower() == name]
    return values[-1] if values else None


def media_type(content_type: Optional[str]) -> Optional[str]:
    """The media type of a Content-Type header, without its parameters, in lower case."""
    return None if content_type is None else content_type.split(";")[0].strip().lower()


def check_whole(response: Any, size: int) -> None:
    """Raises for a payload shorter than its record says: the reader ends a file cut off
    inside a record without an error."""
    if size < response.content_length:
        size_of = f"{size} of its payload's {response.content_length} bytes"
        raise ValueError(f"the WARC file ends {size_of} into this record")


def association(page: bytes) -> Record:
    """What a page carries in its head: "status" "none", "embedded", "referenced",
    "multiple" or "malformed", the element's "start" and "length", and for an inline
    store its "store_size", "store_sha256" and the SHA-256 "hash" of its binding."""
    elements = velmora.locate_all(page)
    fields: Record = {
        "status": "none",
        "start": None,
        "length": None,
        "store_size": None,
        "store_sha256": None,
        "hash": None,
        "href": None,
        "error": None,
    }
    try:
        found = velmora.extract(page)
    except ValueError as error:  # only a head with an element can be refused
        start, length = elements[0]
        status = "multiple" if len(elements) > 1 else "malformed"
        fields.update(status=status, start=start, length=length, error=str(error))
        return fields
    if found is None:
        return fields
    fields.update(status=found["kind"], start=found["start"], length=found["length"])
    if found["kind"] == "referenced":
        fields["href"] = found["href"]
    else:
        fields.update(store_fields(found["store"]))
        fields["hash"] = velmora.compute_data_hash(page)["hash"].hex()
    return fields
