// XXTEA ("corrected block TEA", Wheeler and Needham) over little-endian
// 32-bit words.
//
// Byte format of XxteaEncrypt (the common one of the xxtea libraries, so
// other implementations read what we write): the data is zero-padded to a
// whole number of words, one more word holding the data length in bytes is
// appended, and the whole array is enciphered as one block; the output is all
// those words (at least 8 bytes). XxteaDecrypt deciphers and accepts the
// result only when that length word fits the padding (between 4n-7 and 4n-4
// for n*4 bytes); anything else, like text enciphered under another key,
// gives an empty result. Empty data enciphers to empty output.
#include "base/crypto.h"

#include <array>
#include <cstdint>
#include <vector>

namespace base::crypto {
namespace {

constexpr std::uint32_t kDelta = 0x9E3779B9;
using Key = std::array<std::uint32_t, 4>;

std::uint32_t Mx(std::uint32_t sum, std::uint32_t y, std::uint32_t z, std::size_t p,
                 std::uint32_t e, const Key& k) {
  return (((z >> 5) ^ (y << 2)) + ((y >> 3) ^ (z << 4))) ^ ((sum ^ y) + (k[(p & 3) ^ e] ^ z));
}

void EncryptBlock(std::vector<std::uint32_t>& v, const Key& k) {
  const std::size_t n = v.size();
  if (n < 2) return;
  std::uint32_t rounds = 6 + 52 / static_cast<std::uint32_t>(n);
  std::uint32_t sum = 0;
  std::uint32_t z = v[n - 1];
  std::uint32_t y;
  do {
    sum += kDelta;
    const std::uint32_t e = (sum >> 2) & 3;
    std::size_t p = 0;
    for (; p < n - 1; ++p) {
      y = v[p + 1];
      z = v[p] += Mx(sum, y, z, p, e, k);
    }
    y = v[0];
    z = v[n - 1] += Mx(sum, y, z, p, e, k);
  } while (--rounds);
}

void DecryptBlock(std::vector<std::uint32_t>& v, const Key& k) {
  const std::size_t n = v.size();
  if (n < 2) return;
  std::uint32_t rounds = 6 + 52 / static_cast<std::uint32_t>(n);
  std::uint32_t sum = rounds * kDelta;
  std::uint32_t y = v[0];
  std::uint32_t z;
  do {
    const std::uint32_t e = (sum >> 2) & 3;
    std::size_t p = n - 1;
    for (; p > 0; --p) {
      z = v[p - 1];
      y = v[p] -= Mx(sum, y, z, p, e, k);
    }
    z = v[n - 1];
    y = v[0] -= Mx(sum, y, z, p, e, k);
    sum -= kDelta;
  } while (--rounds);
}

Key MakeKey(std::string_view text) {
  std::array<unsigned char, 16> bytes{};
  for (std::size_t i = 0; i < bytes.size() && i < text.size(); ++i) {
    bytes[i] = static_cast<unsigned char>(text[i]);
  }
  Key k{};
  for (std::size_t i = 0; i < 4; ++i) {
    k[i] = std::uint32_t(bytes[4 * i]) | std::uint32_t(bytes[4 * i + 1]) << 8 |
           std::uint32_t(bytes[4 * i + 2]) << 16 | std::uint32_t(bytes[4 * i + 3]) << 24;
  }
  return k;
}

std::vector<std::uint32_t> ToWords(std::string_view bytes) {
  std::vector<std::uint32_t> words((bytes.size() + 3) / 4, 0);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    words[i / 4] |= std::uint32_t(static_cast<unsigned char>(bytes[i])) << (8 * (i % 4));
  }
  return words;
}

std::string ToBytes(const std::vector<std::uint32_t>& words, std::size_t count) {
  std::string out(count, '\0');
  for (std::size_t i = 0; i < count; ++i) {
    out[i] = static_cast<char>((words[i / 4] >> (8 * (i % 4))) & 0xFF);
  }
  return out;
}

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

}  // namespace

std::string XxteaEncryptBlock(std::string_view data, std::string_view key) {
  if (data.size() < 8 || data.size() % 4 != 0) return {};
  auto v = ToWords(data);
  EncryptBlock(v, MakeKey(key));
  return ToBytes(v, data.size());
}

std::string XxteaDecryptBlock(std::string_view data, std::string_view key) {
  if (data.size() < 8 || data.size() % 4 != 0) return {};
  auto v = ToWords(data);
  DecryptBlock(v, MakeKey(key));
  return ToBytes(v, data.size());
}

std::string XxteaEncrypt(std::string_view data, std::string_view key) {
  if (data.empty() || data.size() > 0xFFFFFFFFu - 8) return {};
  auto v = ToWords(data);
  v.push_back(static_cast<std::uint32_t>(data.size()));
  EncryptBlock(v, MakeKey(key));
  return ToBytes(v, v.size() * 4);
}

std::string XxteaDecrypt(std::string_view data, std::string_view key) {
  if (data.size() < 8 || data.size() % 4 != 0) return {};
  auto v = ToWords(data);
  DecryptBlock(v, MakeKey(key));
  const std::size_t total = data.size();
  const std::size_t length = v.back();
  if (length + 7 < total || length + 4 > total) return {};
  return ToBytes(v, length);
}

std::string Base64Encode(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const std::uint32_t n = std::uint32_t(static_cast<unsigned char>(bytes[i])) << 16 |
                            std::uint32_t(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                            std::uint32_t(static_cast<unsigned char>(bytes[i + 2]));
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(kAlphabet[(n >> 6) & 63]);
    out.push_back(kAlphabet[n & 63]);
  }
  const std::size_t rest = bytes.size() - i;
  if (rest > 0) {
    std::uint32_t n = std::uint32_t(static_cast<unsigned char>(bytes[i])) << 16;
    if (rest == 2) n |= std::uint32_t(static_cast<unsigned char>(bytes[i + 1])) << 8;
    out.push_back(kAlphabet[(n >> 18) & 63]);
    out.push_back(kAlphabet[(n >> 12) & 63]);
    out.push_back(rest == 2 ? kAlphabet[(n >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

// Strict RFC 4648 Base64, except that line breaks and blanks are skipped and
// the final padding may be left out.
bool Base64Decode(std::string_view text, std::string* bytes) {
  std::string clean;
  clean.reserve(text.size());
  for (char c : text) {
    if (c == '\r' || c == '\n' || c == ' ' || c == '\t') continue;
    clean.push_back(c);
  }
  std::size_t pad = 0;
  while (!clean.empty() && clean.back() == '=' && pad < 2) {
    clean.pop_back();
    ++pad;
  }
  if (pad > 0 && (clean.size() + pad) % 4 != 0) return false;
  if (clean.size() % 4 == 1) return false;
  std::string out;
  out.reserve(clean.size() * 3 / 4);
  std::uint32_t acc = 0;
  int bits = 0;
  for (char c : clean) {
    const int s = Sextet(c);
    if (s < 0) return false;  // also a '=' in the middle
    acc = (acc << 6) | static_cast<std::uint32_t>(s);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((acc >> bits) & 0xFF));
    }
  }
  // Bits left over must be zero, or the text is not what an encoder writes.
  if (bits > 0 && (acc & ((1u << bits) - 1)) != 0) return false;
  if (bytes != nullptr) *bytes = std::move(out);
  return true;
}

std::string EncodeXxteaBase64(std::string_view key, std::string_view text) {
  if (text.empty()) return {};
  return Base64Encode(XxteaEncrypt(text, key));
}

std::string DecodeXxteaBase64(std::string_view key, std::string_view text) {
  std::string cipher;
  if (text.empty() || !Base64Decode(text, &cipher)) return {};
  return XxteaDecrypt(cipher, key);
}

}  // namespace base::crypto
