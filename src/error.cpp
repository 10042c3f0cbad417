#include "error.h"

namespace velmora {

namespace {

std::string_view detail_text(MalformedDetail detail) {
  switch (detail) {
    case MalformedDetail::InvalidBase64:
      return "script content is not valid Base64";
    case MalformedDetail::LinkWithoutHref:
      return "link has no href to resolve";
  }
  return {};
}

}  // namespace

void Error::write_message(std::string& sink) const {
  switch (kind_) {
    case ErrorKind::NoManifest:
      sink += "no C2PA manifest element found in the document head";
      return;
    case ErrorKind::MultipleManifests:
      sink += "more than one C2PA manifest element found";
      return;
    case ErrorKind::MalformedElement:
      sink += "the C2PA manifest element is malformed: ";
      sink += detail_text(detail_);
      return;
    case ErrorKind::NoHead:
      sink += "the document has no head element to embed into";
      return;
    case ErrorKind::MalformedExclusion:
      sink += "data hash exclusion range is malformed";
      return;
    case ErrorKind::HashMismatch:
      sink += "data hash does not match the document content";
      return;
    case ErrorKind::UnsupportedAlgorithm:
      sink += "unsupported hash algorithm: ";
      sink += algorithm_;
      return;
  }
}

std::string Error::message() const {
  std::string text;
  write_message(text);
  return text;
}

std::optional<std::string_view> Error::status_code() const {
  switch (kind_) {
    case ErrorKind::MultipleManifests:
      return "manifest.html.multipleManifests";
    case ErrorKind::MalformedExclusion:
      return "assertion.dataHash.malformed";
    case ErrorKind::HashMismatch:
      return "assertion.dataHash.mismatch";
    case ErrorKind::UnsupportedAlgorithm:
      return "algorithm.unsupported";
    case ErrorKind::NoManifest:
    case ErrorKind::MalformedElement:
    case ErrorKind::NoHead:
      return std::nullopt;
  }
  return std::nullopt;
}

}  // namespace velmora
