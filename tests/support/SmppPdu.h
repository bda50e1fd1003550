#pragma once

// The SMPP 3.4 PDUs of the fake SMSC (FakeSmsc.h), as bytes: the 16-byte header, the body of a
// submit_sm read into its fields, and the body of a deliver_sm carrying a delivery receipt. The
// connections and the answers to each command are FakeSmsc.cpp's.

#include "FakeSmsc.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fakesmsc {

inline constexpr std::size_t kHeaderSize = 16;
// A PDU larger than this is not something a gateway sends; the connection is dropped.
inline constexpr std::uint32_t kMaxPduSize = 64 * 1024;

// The big-endian 32-bit integer at `at`.
std::uint32_t ReadU32(std::string_view bytes, std::size_t at);

// A whole PDU: header (length, command, status, sequence) and body.
std::string Pdu(std::uint32_t command, std::uint32_t status, std::uint32_t sequence, std::string_view body);

// Reads a submit_sm body into `submit` (its answer fields untouched); false when malformed.
bool ParseSubmit(std::string_view body, SubmitSm& submit);

// deliver_sm from the handset's number back to the sender, carrying the receipt text.
std::string ReceiptBody(const SubmitSm& submit, std::string_view stat, std::string_view err);

} // namespace fakesmsc
