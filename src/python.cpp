#include "python.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <exception>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "document.h"
#include "error.h"
#include "hardbinding.h"

namespace velmora::python {

namespace {

constexpr const char* kVersion = "0.2.0";

// ---------------------------------------------------------------------------
// Owned references.

class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* object) : object_(object) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    std::swap(object_, other.object_);
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const { return object_; }
  PyObject* release() { return std::exchange(object_, nullptr); }
  explicit operator bool() const { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// ---------------------------------------------------------------------------
// Internal faults: anything thrown below the boundary that is not an Error.

PyObject* internal_error_class = nullptr;

// Thrown through the code below the boundary when a call into Python failed
// and left its exception set.
struct PythonErrorSet {};

PyObject* raise_internal(const char* what) {
  PyErr_SetString(internal_error_class != nullptr ? internal_error_class : PyExc_SystemError, what);
  return nullptr;
}

// Runs `body`, turning any C++ exception into a Python one so that no fault
// unwinds into the interpreter.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const PythonErrorSet&) {
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& fault) {
    return raise_internal(fault.what());
  } catch (...) {
    return raise_internal("unknown internal fault");
  }
}

// ---------------------------------------------------------------------------
// Errors.

PyObject* map_err(Error error) {
  std::string message = error.message();
  if (const std::optional<std::string_view> code = error.status_code()) {
    message += " [";
    message += *code;
    message += "]";
  }
  // The algorithm name inside may hold a NUL, so the message is passed with
  // its length rather than as a C string.
  Ref text(
      PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (text) PyErr_SetObject(PyExc_ValueError, text.get());
  return nullptr;
}

// The name of the object's type, as a str for messages; "object" when the
// type will not tell. Out of memory, null with the MemoryError set: the caller
// must not go on to report something else.
Ref type_name(PyObject* object) {
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__name__"));
  if (name && PyUnicode_Check(name.get())) return name;
  if (!name && PyErr_ExceptionMatches(PyExc_MemoryError)) return Ref();
  PyErr_Clear();
  return Ref(PyUnicode_FromString("object"));
}

// Raises TypeError from `format`, whose last conversion ("%U") is filled with
// the name of `object`'s type; always false.
template <class... Args>
bool type_error_naming(PyObject* object, const char* format, Args... args) {
  const Ref name = type_name(object);
  if (name) PyErr_Format(PyExc_TypeError, format, args..., name.get());
  return false;
}

// ---------------------------------------------------------------------------
// Parameters and their conversion.

enum class Kind : std::uint8_t { Bytes, Text, Alg, Exclusions };

struct Param {
  const char* name;
  Kind kind;
};

// One converted argument; which member is set depends on the parameter kind.
// Text is read in place from its UTF-8 form, which `utf8` keeps alive.
struct Value {
  ByteView bytes;
  std::string_view text;
  Ref utf8;
  std::vector<hardbinding::Exclusion> exclusions;
};

// The converted arguments of one call, in parameter order.
using Values = std::span<Value>;

using Operation = PyObject* (*)(Values args);

struct Function {
  const char* name;
  const char* doc;  // signature line, "--", empty line, body
  std::array<Param, 4> params;
  std::size_t param_count;
  Operation run;
};

bool wrong_type(const Function& f, const Param& p, PyObject* object, const char* expected) {
  return type_error_naming(object, "%s() argument '%s' must be %s, not %U", f.name, p.name,
                           expected);
}

// The bytes object's buffer, read in place.
bool view_of(PyObject* bytes, ByteView& out) {
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) return false;
  out = {reinterpret_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)};
  return true;
}

bool convert_bytes(const Function& f, const Param& p, PyObject* object, Value& out) {
  if (!PyBytes_Check(object)) return wrong_type(f, p, object, "bytes");
  return view_of(object, out.bytes);
}

bool convert_text(const Function& f, const Param& p, PyObject* object, Value& out) {
  if (!PyUnicode_Check(object)) return wrong_type(f, p, object, "str");
  out.utf8 = Ref(PyUnicode_AsUTF8String(object));
  ByteView utf8;
  if (!out.utf8 || !view_of(out.utf8.get(), utf8)) return false;
  out.text = as_text(utf8);
  return true;
}

// A sequence may claim any length; beyond this the list grows as items come.
constexpr Py_ssize_t kMaxInitialExclusions = 1024;

bool to_u64(PyObject* object, std::uint64_t& out) {
  Ref index;
  if (!PyLong_Check(object)) {
    index = Ref(PyNumber_Index(object));
    if (!index) return false;
    object = index.get();
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
  out = value;
  return true;
}

bool convert_exclusion(PyObject* item, Py_ssize_t position,
                       std::vector<hardbinding::Exclusion>& out) {
  if (!PyTuple_Check(item)) {
    return type_error_naming(item, "item %zd must be a (start, length) tuple, not %U", position);
  }
  if (PyTuple_Size(item) != 2) {
    PyErr_Format(PyExc_TypeError, "item %zd must be a (start, length) tuple, not a %zd-tuple",
                 position, PyTuple_Size(item));
    return false;
  }
  hardbinding::Exclusion exclusion{};
  if (!to_u64(PyTuple_GetItem(item, 0), exclusion.start)) return false;
  if (!to_u64(PyTuple_GetItem(item, 1), exclusion.length)) return false;
  out.push_back(exclusion);
  return true;
}

bool read_exclusions(PyObject* object, std::vector<hardbinding::Exclusion>& out) {
  if (PyUnicode_Check(object) || !PySequence_Check(object)) {
    return type_error_naming(object, "expected a sequence of (start, length) tuples, not %U");
  }
  Py_ssize_t claimed = PySequence_Size(object);
  if (claimed < 0) {
    PyErr_Clear();
    claimed = 0;
  }
  out.reserve(static_cast<std::size_t>(std::min(claimed, kMaxInitialExclusions)));
  Ref iterator(PyObject_GetIter(object));
  if (!iterator) return false;
  for (Py_ssize_t position = 0;; ++position) {
    Ref item(PyIter_Next(iterator.get()));
    if (!item) return !PyErr_Occurred();
    if (!convert_exclusion(item.get(), position, out)) return false;
  }
}

// Any TypeError met while reading the exclusions is reported as naming them.
bool convert_exclusions(const Function& f, const Param& p, PyObject* object, Value& out) {
  if (read_exclusions(object, out.exclusions)) return true;
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return false;
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  Ref owned_type(type), owned_value(value), owned_traceback(traceback);
  Ref reason(value != nullptr ? PyObject_Str(value) : PyUnicode_FromString("invalid value"));
  if (!reason) return false;
  PyErr_Format(PyExc_TypeError, "%s() argument '%s': %U", f.name, p.name, reason.get());
  return false;
}

bool convert(const Function& f, const Param& p, PyObject* object, Value& out) {
  switch (p.kind) {
    case Kind::Bytes:
      return convert_bytes(f, p, object, out);
    case Kind::Text:
      return convert_text(f, p, object, out);
    case Kind::Alg:
      if (object == nullptr) {
        out.text = "sha256";
        return true;
      }
      return convert_text(f, p, object, out);
    case Kind::Exclusions:
      return convert_exclusions(f, p, object, out);
  }
  return false;
}

bool is_required(const Param& p) { return p.kind != Kind::Alg; }

// ---------------------------------------------------------------------------
// Binding positional and keyword arguments to parameters.

using Bound = std::array<PyObject*, 4>;  // borrowed; null when omitted

bool bind_keyword(const Function& f, PyObject* key, PyObject* value, Bound& bound) {
  if (PyUnicode_Check(key)) {
    for (std::size_t i = 0; i < f.param_count; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, f.params[i].name) != 0) continue;
      if (bound[i] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%s'", f.name,
                     f.params[i].name);
        return false;
      }
      bound[i] = value;
      return true;
    }
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", f.name, key);
  return false;
}

// The arguments of one call as the interpreter hands them over: positional
// ones in an array, keyword ones either in a dict (the tuple-and-dict
// convention) or as a tuple of names whose values follow the positional ones
// in the array (the fast convention).
struct Arguments {
  PyObject* const* array;
  std::size_t positional;
  PyObject* keyword_dict;
  PyObject* keyword_names;
};

bool too_many(const Function& f, std::size_t given) {
  if (given <= f.param_count) return false;
  PyErr_Format(PyExc_TypeError, "%s() takes at most %zu argument%s (%zu given)", f.name,
               f.param_count, f.param_count == 1 ? "" : "s", given);
  return true;
}

bool bind_positional(const Function& f, const Arguments& args, Bound& bound) {
  if (too_many(f, args.positional)) return false;
  std::copy_n(args.array, args.positional, bound.begin());
  return true;
}

bool bind_keywords(const Function& f, const Arguments& args, Bound& bound) {
  if (args.keyword_dict != nullptr) {
    Py_ssize_t position = 0;
    PyObject *key = nullptr, *value = nullptr;
    while (PyDict_Next(args.keyword_dict, &position, &key, &value)) {
      if (!bind_keyword(f, key, value, bound)) return false;
    }
  }
  if (args.keyword_names != nullptr) {
    const Py_ssize_t count = PyTuple_Size(args.keyword_names);
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* key = PyTuple_GetItem(args.keyword_names, i);
      if (!bind_keyword(f, key, args.array[args.positional + i], bound)) return false;
    }
  }
  return true;
}

bool bind(const Function& f, const Arguments& args, Bound& bound) {
  if (!bind_positional(f, args, bound) || !bind_keywords(f, args, bound)) return false;
  for (std::size_t i = 0; i < f.param_count; ++i) {
    if (bound[i] == nullptr && is_required(f.params[i])) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", f.name,
                   f.params[i].name, i + 1);
      return false;
    }
  }
  return true;
}

// Only as many values as the function takes are set up: each costs stores on
// the way in and checks on the way out, a fair share of a call on a small page.
template <std::size_t N>
PyObject* convert_and_run(const Function& f, const Bound& bound) {
  std::array<Value, N> values;
  const Values taken = std::span(values).first(f.param_count);
  for (std::size_t i = 0; i < taken.size(); ++i) {
    if (!convert(f, f.params[i], bound[i], taken[i])) return nullptr;
  }
  return f.run(taken);
}

PyObject* call(const Function& f, const Arguments& args) {
  Bound bound{};
  if (!bind(f, args, bound)) return nullptr;
  switch (f.param_count) {
    case 1:
      return convert_and_run<1>(f, bound);
    case 2:
      return convert_and_run<2>(f, bound);
    default:
      return convert_and_run<std::tuple_size_v<Bound>>(f, bound);
  }
}

// The tuple-and-dict convention hands over a tuple, whose items the limited
// API reads one by one.
PyObject* call_with_tuple(const Function& f, PyObject* tuple, PyObject* kwargs) {
  const Py_ssize_t given = PyTuple_Size(tuple);
  if (given < 0 || too_many(f, static_cast<std::size_t>(given))) return nullptr;
  Bound items{};
  for (Py_ssize_t i = 0; i < given; ++i) {
    items[static_cast<std::size_t>(i)] = PyTuple_GetItem(tuple, i);
  }
  return call(f, {items.data(), static_cast<std::size_t>(given), kwargs, nullptr});
}

// ---------------------------------------------------------------------------
// Results.

std::string_view as_string_view(const Value& v) { return as_text(v.bytes); }

PyObject* new_bytes(ByteView bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

PyObject* new_str(std::string_view text) {
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* new_pair(std::uint64_t start, std::uint64_t length) {
  Ref first(PyLong_FromUnsignedLongLong(start));
  Ref second(PyLong_FromUnsignedLongLong(length));
  if (!first || !second) return nullptr;
  PyObject* pair = PyTuple_New(2);
  if (pair == nullptr) return nullptr;
  PyTuple_SetItem(pair, 0, first.release());
  PyTuple_SetItem(pair, 1, second.release());
  return pair;
}

template <class Range, class ToPair>
PyObject* new_pair_list(const Range& ranges, ToPair&& to_pair) {
  Ref list(PyList_New(0));
  if (!list) return nullptr;
  for (const auto& range : ranges) {
    Ref pair(to_pair(range));
    if (!pair || PyList_Append(list.get(), pair.get()) < 0) return nullptr;
  }
  return list.release();
}

// The keys of the result dicts and the words among their values, made once
// and held for the life of the process: a result then builds no string but
// its own contents, and the keys' hashes are already known.
enum class Word : std::uint8_t {
  Start,
  Length,
  Kind,
  Store,
  Href,
  Alg,
  Hash,
  Exclusions,
  Embedded,
  Referenced,
};
constexpr std::array<const char*, 10> kWords{
    "start", "length", "kind",       "store",    "href",
    "alg",   "hash",   "exclusions", "embedded", "referenced",
};
static_assert(kWords.size() == static_cast<std::size_t>(Word::Referenced) + 1);
std::array<PyObject*, kWords.size()> words{};

bool make_words() {
  for (std::size_t i = 0; i < kWords.size(); ++i) {
    if (words[i] == nullptr) words[i] = PyUnicode_InternFromString(kWords[i]);
    if (words[i] == nullptr) return false;
  }
  return true;
}

PyObject* word(Word which) { return words[static_cast<std::size_t>(which)]; }

// A new reference to the word, as a value.
PyObject* new_word(Word which) {
  Py_INCREF(word(which));
  return word(which);
}

// Sets `key` in `dict` to `value`, taking ownership of the new reference.
bool set_item(PyObject* dict, Word key, PyObject* value) {
  Ref owned(value);
  return owned && PyDict_SetItem(dict, word(key), owned.get()) == 0;
}

// Storage for one output, allocated as the bytes object that will hold it, so
// that an operation writes its result once, in place. Dropped unreturned (on
// an error) the object goes with it.
class BytesAllocator final : public Allocator {
 public:
  std::uint8_t* allocate(std::size_t size) override {
    if (bytes_) throw std::logic_error("one output per bytes allocator");
    if (size > static_cast<std::size_t>(PY_SSIZE_T_MAX)) throw std::bad_alloc();
    bytes_ = Ref(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size)));
    if (!bytes_) throw PythonErrorSet{};
    return reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes_.get()));
  }

  // The bytes object `filled` was written into, once it is complete: nobody
  // may see bytes not yet written.
  PyObject* take(const Buffer& filled) {
    if (!bytes_ ||
        filled.data() != reinterpret_cast<std::uint8_t*>(PyBytes_AsString(bytes_.get())) ||
        !filled.full()) {
      throw std::logic_error("output not written in place");
    }
    return bytes_.release();
  }

 private:
  Ref bytes_;
};

PyObject* bytes_result(Result<Buffer> result, BytesAllocator& allocator) {
  if (!result) return map_err(std::move(result).error());
  return allocator.take(*result);
}

// ---------------------------------------------------------------------------
// The eight operations.

PyObject* run_embed(Values v) {
  BytesAllocator output;
  return bytes_result(document::embed(as_string_view(v[0]), v[1].bytes, &output), output);
}

PyObject* run_embed_reference(Values v) {
  BytesAllocator output;
  return bytes_result(document::embed_reference(as_string_view(v[0]), v[1].text, &output), output);
}

// `store_output` holds the embedded store's bytes.
PyObject* association_to_dict(const document::Association& association,
                              BytesAllocator& store_output) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  const bool embedded = association.form == document::Association::Form::Embedded;
  const bool ok =
      set_item(dict.get(), Word::Start, PyLong_FromSize_t(association.start)) &&
      set_item(dict.get(), Word::Length, PyLong_FromSize_t(association.length)) &&
      set_item(dict.get(), Word::Kind, new_word(embedded ? Word::Embedded : Word::Referenced)) &&
      (embedded ? set_item(dict.get(), Word::Store, store_output.take(association.store))
                : set_item(dict.get(), Word::Href, new_str(association.href)));
  return ok ? dict.release() : nullptr;
}

PyObject* run_extract(Values v) {
  BytesAllocator store_output;
  Result<document::Association> association =
      document::extract(as_string_view(v[0]), &store_output);
  if (!association) {
    if (association.error().kind() == ErrorKind::NoManifest) Py_RETURN_NONE;
    return map_err(std::move(association).error());
  }
  return association_to_dict(*association, store_output);
}

PyObject* run_remove(Values v) {
  BytesAllocator output;
  return output.take(document::remove(as_string_view(v[0]), &output));
}

PyObject* run_locate_all(Values v) {
  return new_pair_list(document::locate_all(as_string_view(v[0])),
                       [](const Range& r) { return new_pair(r.start, r.end - r.start); });
}

PyObject* data_hash_to_dict(const hardbinding::DataHash& binding) {
  Ref dict(PyDict_New());
  if (!dict) return nullptr;
  const bool ok = set_item(dict.get(), Word::Alg, new_str(binding.alg)) &&
                  set_item(dict.get(), Word::Hash, new_bytes(binding.hash)) &&
                  set_item(dict.get(), Word::Exclusions,
                           new_pair_list(binding.exclusions, [](const hardbinding::Exclusion& e) {
                             return new_pair(e.start, e.length);
                           }));
  return ok ? dict.release() : nullptr;
}

PyObject* run_compute_data_hash(Values v) {
  Result<hardbinding::Algorithm> alg = hardbinding::from_id(v[1].text);
  if (!alg) return map_err(std::move(alg).error());
  Result<hardbinding::DataHash> binding =
      hardbinding::compute_data_hash(as_string_view(v[0]), *alg, hardbinding::Sha2());
  if (!binding) return map_err(std::move(binding).error());
  return data_hash_to_dict(*binding);
}

PyObject* run_verify_data_hash(Values v) {
  Result<hardbinding::Algorithm> alg = hardbinding::from_id(v[3].text);
  if (!alg) return map_err(std::move(alg).error());
  const hardbinding::DataHash binding{std::move(v[2].exclusions),
                                      std::string(hardbinding::id(*alg)),
                                      {v[1].bytes.begin(), v[1].bytes.end()}};
  Status verified =
      hardbinding::verify_data_hash(as_string_view(v[0]), binding, hardbinding::Sha2());
  if (!verified) return map_err(std::move(verified).error());
  Py_RETURN_NONE;
}

PyObject* run_inline_hash_before_embed(Values v) {
  Result<hardbinding::Algorithm> alg = hardbinding::from_id(v[1].text);
  if (!alg) return map_err(std::move(alg).error());
  return new_bytes(hardbinding::Sha2().digest(*alg, v[0].bytes));
}

// ---------------------------------------------------------------------------
// The module's contents, in registration order.

constexpr Param kHtml{"html", Kind::Bytes};
constexpr Param kAlg{"alg", Kind::Alg};

const std::array<Function, 8> kFunctions{{
    {"embed",
     "embed(html, store)\n--\n\n"
     "Embed a Manifest Store inline, as a `script` element in the document head.",
     {kHtml, {"store", Kind::Bytes}},
     2,
     run_embed},
    {"embed_reference",
     "embed_reference(html, href)\n--\n\n"
     "Reference an external Manifest Store, as a `link` element in the head.",
     {kHtml, {"href", Kind::Text}},
     2,
     run_embed_reference},
    {"extract",
     "extract(html)\n--\n\n"
     "The document's manifest association, or `None` when it carries none.\n\n"
     "Returns a dict with `kind` (`\"embedded\"` or `\"referenced\"`), `start`,\n"
     "`length`, and either `store` (bytes) or `href` (str).",
     {kHtml},
     1,
     run_extract},
    {"remove",
     "remove(html)\n--\n\n"
     "Remove every C2PA manifest element from the document.",
     {kHtml},
     1,
     run_remove},
    {"locate_all",
     "locate_all(html)\n--\n\n"
     "The `(start, length)` byte ranges of every C2PA manifest element in the head.\n\n"
     "More than one means the document is rejected; this is exposed so a caller\n"
     "can report how many were found.",
     {kHtml},
     1,
     run_locate_all},
    {"compute_data_hash",
     "compute_data_hash(html, alg=\"sha256\")\n--\n\n"
     "Compute the `c2pa.hash.data` binding for a document that already carries a\n"
     "manifest.\n\n"
     "`alg` is one of `sha256`, `sha384`, `sha512`. Returns a dict with `alg`,\n"
     "`hash` (bytes), and `exclusions` (a list of `(start, length)`).",
     {kHtml, kAlg},
     2,
     run_compute_data_hash},
    {"verify_data_hash",
     "verify_data_hash(html, hash, exclusions, alg=\"sha256\")\n--\n\n"
     "Verify a `c2pa.hash.data` binding against a document.\n\n"
     "Raises `ValueError` carrying the status code on mismatch or a malformed\n"
     "exclusion; returns `None` on success.",
     {kHtml, {"hash", Kind::Bytes}, {"exclusions", Kind::Exclusions}, kAlg},
     4,
     run_verify_data_hash},
    {"inline_hash_before_embed",
     "inline_hash_before_embed(html, alg=\"sha256\")\n--\n\n"
     "The hash an inline binding will have once a manifest is embedded, computed\n"
     "before the manifest exists.\n\n"
     "Because the exclusion covers the whole `script` element and embedding adds\n"
     "no bytes outside it, the covered bytes are the document as it stands. This\n"
     "is what makes the order hash, sign, embed possible.",
     {kHtml, kAlg},
     2,
     run_inline_hash_before_embed},
}};

// The fast convention (positional arguments in an array, keyword names in a
// tuple) is part of the stable ABI from Python 3.10, with these values; it
// spares every call the tuple and dict built for it otherwise.
constexpr int kMethFastcall = 0x0080;
using FastFunction = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <std::size_t I>
PyObject* entry_with_tuple(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded([&] { return call_with_tuple(kFunctions[I], args, kwargs); });
}

template <std::size_t I>
PyObject* entry_fast(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&] {
    return call(kFunctions[I], {args, static_cast<std::size_t>(nargs), nullptr, kwnames});
  });
}

template <class Entry>
PyCFunction as_method(Entry entry) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
}

using MethodDefs = std::array<PyMethodDef, kFunctions.size()>;

template <std::size_t... I>
MethodDefs make_method_defs(std::index_sequence<I...>, bool fast) {
  return {
      {{kFunctions[I].name,
        fast ? as_method(static_cast<FastFunction>(entry_fast<I>)) : as_method(entry_with_tuple<I>),
        fast ? kMethFastcall | METH_KEYWORDS : METH_VARARGS | METH_KEYWORDS,
        kFunctions[I].doc}...}};
}

// Descriptors live as long as the process: function objects point into them.
MethodDefs fast_method_defs = make_method_defs(std::make_index_sequence<kFunctions.size()>(), true);
MethodDefs tuple_method_defs =
    make_method_defs(std::make_index_sequence<kFunctions.size()>(), false);

// Whether the running interpreter is 3.10 or later. The limited API of 3.9
// has no constant for it; the version string ("3.11.7 (main, ...") cannot be
// changed from Python, unlike sys.version_info.
bool has_fast_convention() {
  const char* version = Py_GetVersion();
  char* rest = nullptr;
  const long major = std::strtol(version, &rest, 10);
  const long minor = *rest == '.' ? std::strtol(rest + 1, nullptr, 10) : 0;
  return major > 3 || (major == 3 && minor >= 10);
}

constexpr std::array<std::pair<const char*, std::string_view>, 3> kConstants{{
    {"SCRIPT_TYPE", document::kScriptType},
    {"LINK_REL", document::kLinkRel},
    {"__version__", kVersion},
}};

// ---------------------------------------------------------------------------
// Initialisation.

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "velmora", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::atomic<std::int64_t> owner_interpreter{-1};
PyObject* module_cell = nullptr;

bool append_to_all(PyObject* module, PyObject* name) {
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  return PyList_Append(all.get(), name) == 0;
}

// Appends `name` to __all__, then sets the attribute.
bool add(PyObject* module, PyObject* name, PyObject* value) {
  return append_to_all(module, name) && PyObject_SetAttr(module, name, value) == 0;
}

bool add_function(PyObject* module, PyObject* module_name, PyMethodDef& def) {
  Ref function(PyCMethod_New(&def, module, module_name, nullptr));
  if (!function) return false;
  Ref name(PyObject_GetAttrString(function.get(), "__name__"));
  return name && add(module, name.get(), function.get());
}

bool add_constant(PyObject* module, const char* name, std::string_view value) {
  Ref key(PyUnicode_FromString(name));
  Ref text(new_str(value));
  return key && text && add(module, key.get(), text.get());
}

bool populate(PyObject* module) {
  Ref module_name(PyModule_GetNameObject(module));
  if (!module_name) return false;
  for (PyMethodDef& def : has_fast_convention() ? fast_method_defs : tuple_method_defs) {
    if (!add_function(module, module_name.get(), def)) return false;
  }
  for (const auto& [name, value] : kConstants) {
    if (!add_constant(module, name, value)) return false;
  }
  return true;
}

bool claim_interpreter() {
  PyInterpreterState* interpreter = PyInterpreterState_Get();
  if (interpreter == nullptr) return false;
  const std::int64_t id = PyInterpreterState_GetID(interpreter);
  if (id < 0) return false;
  std::int64_t expected = -1;
  if (owner_interpreter.compare_exchange_strong(expected, id) || expected == id) return true;
  PyErr_SetString(PyExc_ImportError,
                  "velmora cannot be loaded into more than one interpreter per process");
  return false;
}

PyObject* initialise() {
  if (!claim_interpreter()) return nullptr;
  if (module_cell != nullptr) {
    Py_INCREF(module_cell);
    return module_cell;
  }
  if (!make_words()) return nullptr;
  if (internal_error_class == nullptr) {
    internal_error_class = PyErr_NewExceptionWithDoc(
        "velmora.InternalError",
        "A fault inside velmora itself; please report it with the input that caused it.",
        PyExc_BaseException, nullptr);
    if (internal_error_class == nullptr) return nullptr;
  }
  Ref module(PyModule_Create2(&module_def, PYTHON_ABI_VERSION));
  if (!module || !populate(module.get())) return nullptr;
  Py_INCREF(module.get());
  module_cell = module.get();
  return module.release();
}

}  // namespace

}  // namespace velmora::python

PyMODINIT_FUNC PyInit_velmora(void) {
  return velmora::python::guarded([] { return velmora::python::initialise(); });
}
