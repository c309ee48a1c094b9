#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "asn1.hpp"
#include "expected.hpp"

// The pre-connection PDU (RDP_PRECONNECTION_PDU_V2, MS-RDPEPS 2.2.1.2) that
// the gateway sends to the server ahead of the X.224 Connection Request when
// the client asked for it: Hyper-V's virtual machine console and brokers that
// route by it wait for it before anything else.
namespace quillgate::preconnection {

// cchPCB is a 16-bit count of UTF-16 code units that includes the
// terminating NUL.
inline constexpr std::size_t max_text_units = 65534;

// cbSize (u32, the whole PDU), Flags 0, Version 2, Id 0 (u32 each), cchPCB
// (u16), then the text as UTF-16LE with its NUL; all little-endian. Invalid
// UTF-8 in `text` is sent as U+FFFD. Fails, with the diagnostic text, when
// the text has more than max_text_units code units.
Expected<asn1::Bytes> create_pdu(std::string_view text);

}  // namespace quillgate::preconnection
