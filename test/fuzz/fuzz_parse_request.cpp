// libFuzzer target: parse_request on arbitrary bytes.
#include <cstdlib>

#include "rdcleanpath.hpp"
#include "utf8.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillgate;
  const auto result = rdcleanpath::parse_request({data, size});
  if (!result) {
    const auto& m = result.error().message;
    if (m != rdcleanpath::invalid_sequence_message && m != rdcleanpath::missing_destination_message) std::abort();
    return 0;
  }
  const std::string& d = result->destination;
  // A decoded request names a destination, as valid UTF-8, and holds no more
  // bytes than it was given.
  if (d.empty() || !utf8_valid({reinterpret_cast<const std::uint8_t*>(d.data()), d.size()})) std::abort();
  if (result->x224_connection_pdu && result->x224_connection_pdu->size() > size) std::abort();

  // Responses built from what was decoded are well-formed enough to decode
  // again as a SEQUENCE.
  const auto response = rdcleanpath::create_success_response(d, result->x224_connection_pdu.value_or(asn1::Bytes{}),
                                                              {});
  if (response.size() < 2 || response[0] != 0x30) std::abort();
  return 0;
}
