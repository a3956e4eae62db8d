// The proto3 codec of InsoleResp and InsoleReq (and every sub-message).
// Decoding follows fixed rules: unknown fields are skipped, a known field with a
// foreign wire type is an error, repeated sub-messages merge, and each failure
// carries a fixed text and the (message, field) path to it.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "protocol/decode_error.h"
#include "protocol/messages.h"
#include "util/result.h"

namespace tvis::protocol {

Result<InsoleResp, DecodeError> decode_insole_resp(std::span<const uint8_t> payload);
Result<InsoleReq, DecodeError> decode_insole_req(std::span<const uint8_t> payload);

// Decodes into out, reusing its storage (the receive path keeps one per
// thread). On failure out holds a partial message and error is filled in.
bool decode_insole_resp_into(std::span<const uint8_t> payload, InsoleResp& out, DecodeError& error);

// The exact number of bytes the encoder writes.
size_t encoded_len(const InsoleResp& msg);
size_t encoded_len(const InsoleReq& msg);

std::vector<uint8_t> encode_insole_resp(const InsoleResp& msg);
std::vector<uint8_t> encode_insole_req(const InsoleReq& msg);

// Encodes into a buffer of fixed capacity; writes nothing when the message
// does not fit. Returns the number of bytes written.
Result<size_t, EncodeError> encode_insole_resp_into(const InsoleResp& msg, std::span<uint8_t> out);
Result<size_t, EncodeError> encode_insole_req_into(const InsoleReq& msg, std::span<uint8_t> out);

// Resets a message to its default, keeping inline storage.
void clear(InsoleResp& msg);

}  // namespace tvis::protocol
