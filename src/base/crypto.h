// XXTEA with the key text's first 16 bytes (zero padded), enciphered bytes
// carried as Base64. Text that cannot be deciphered gives an empty result.
// The byte format (data length carried in a final word) is described in
// crypto.cpp; empty text enciphers to empty text.
#pragma once

#include <string>
#include <string_view>

namespace base::crypto {

std::string EncodeXxteaBase64(std::string_view key, std::string_view text);
std::string DecodeXxteaBase64(std::string_view key, std::string_view text);

// The building blocks, exposed for their tests.
std::string XxteaEncrypt(std::string_view data, std::string_view key);
std::string XxteaDecrypt(std::string_view data, std::string_view key);
// One raw XXTEA block: whole 32-bit little-endian words, at least two, no
// length word; empty for any other size.
std::string XxteaEncryptBlock(std::string_view data, std::string_view key);
std::string XxteaDecryptBlock(std::string_view data, std::string_view key);
std::string Base64Encode(std::string_view bytes);
bool Base64Decode(std::string_view text, std::string* bytes);

}  // namespace base::crypto
