// The Base64 codec with every kernel this CPU can run: decoding inverts
// encoding, the decoder accepts exactly the texts the encoder writes, and all
// kernels give the same answers. The input is used three ways: as bytes to
// encode, as text to decode, and as the encoding of itself with one
// character changed (chosen by its first three bytes), which keeps the
// decoder near valid text where random bytes rarely go.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base64.h"
#include "check.h"

namespace {

using velmora::Buffer;
using velmora::ByteView;
using velmora::base64::Kernel;

const std::vector<Kernel>& kernels() {
  return velmora::fuzz::supported(velmora::base64::kernels());
}

std::string encode_with(velmora::base64::EncodeGroups kernel, ByteView data) {
  std::string text(velmora::base64::encoded_length(data.size()), '\0');
  velmora::base64::encode_into_with(kernel, data, text.data());
  return text;
}

std::string encode_everywhere(ByteView data) {
  const std::string text = encode_with(kernels().back().encode_groups, data);
  for (const Kernel& kernel : kernels()) {
    FUZZ_CHECK_KERNEL(encode_with(kernel.encode_groups, data) == text, kernel);
  }
  return text;
}

// Every kernel accepts or rejects alike and decodes to the same bytes; what is
// accepted encodes back to the very same text.
std::optional<std::string> decode_everywhere(std::string_view text) {
  std::optional<std::string> agreed;
  const std::vector<Kernel>& rows = kernels();
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const std::optional<Buffer> decoded = velmora::base64::decode_with(rows[i].decode_groups, text);
    const std::optional<std::string> bytes =
        decoded ? std::optional<std::string>(decoded->text()) : std::nullopt;
    if (i == 0) agreed = bytes;
    FUZZ_CHECK_KERNEL(bytes == agreed, rows[i]);
  }
  if (agreed) FUZZ_CHECK(encode_everywhere(velmora::as_bytes(*agreed)) == text);
  return agreed;
}

std::string with_one_change(std::string text, const std::uint8_t* data, std::size_t size) {
  if (text.empty() || size < 3) return text;
  text[(data[1] << 8 | data[2]) % text.size()] = static_cast<char>(data[0]);
  return text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView bytes(data, size);
  const std::string text = encode_everywhere(bytes);
  FUZZ_CHECK(decode_everywhere(text) == std::string(velmora::fuzz::text_of(data, size)));
  decode_everywhere(velmora::fuzz::text_of(data, size));
  decode_everywhere(with_one_change(text, data, size));
  return 0;
}
