// libFuzzer target: parse_request, and the UTF-16 count the pre-connection
// PDU's limit rests on, on arbitrary bytes.
#include <cstdlib>

#include "preconnection.hpp"
#include "rdcleanpath.hpp"
#include "utf8.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillgate;
  // Counting UTF-16 units agrees with converting, on any bytes.
  if (size <= 4096 && utf16_length({data, size}) != utf16_from_utf8({data, size}).size()) std::abort();

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

  // A blob, when there is one, holds no more than it was given; its PDU
  // announces its own size and holds the text's units and a NUL, or the
  // text is too long.
  if (const auto& blob = result->preconnection_blob) {
    if (blob->empty() || blob->size() > size) std::abort();
    const auto pdu = preconnection::create_pdu(*blob);
    if (pdu) {
      const auto& p = *pdu;
      const std::size_t units = p.size() < 18 ? 0 : p[16] | p[17] << 8;
      if (p.size() < 20 || (p[0] | p[1] << 8 | p[2] << 16 | std::size_t{p[3]} << 24) != p.size()) std::abort();
      if (p[8] != 2 || units < 2 || p.size() != 18 + 2 * units || p[p.size() - 1] != 0 || p[p.size() - 2] != 0) {
        std::abort();
      }
      // Each UTF-8 sequence gives one unit, or two for four bytes: never more units than bytes.
      if (units - 1 > blob->size()) std::abort();
    } else if (pdu.error().message.rfind("preconnection_blob 过长: ", 0) != 0 ||
               utf16_length({reinterpret_cast<const std::uint8_t*>(blob->data()), blob->size()}) <= 65534) {
      std::abort();
    }
  }

  // Responses built from what was decoded are well-formed enough to decode
  // again as a SEQUENCE.
  const auto response = rdcleanpath::create_success_response(d, result->x224_connection_pdu.value_or(asn1::Bytes{}),
                                                              {});
  if (response.size() < 2 || response[0] != 0x30) std::abort();
  return 0;
}
