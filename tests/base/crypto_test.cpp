#include "base/crypto.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace base::crypto;

std::string Hex(std::string_view hex) {
  std::string out;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

std::string ToHex(std::string_view bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : bytes) {
    out.push_back(kDigits[c >> 4]);
    out.push_back(kDigits[c & 15]);
  }
  return out;
}

// Published vectors of the reference XXTEA (two-word blocks, bytes of the
// little-endian words).
TEST(CryptoTest, XxteaMatchesReferenceVectors) {
  struct Vector {
    const char* key;
    const char* plain;
    const char* cipher;
  } vectors[] = {
      {"00000000000000000000000000000000", "0000000000000000", "ab043705808c5d57"},
      {"0102040810204080fffefcf8f0e0c080", "0000000000000000", "d1e78be2c746728a"},
      {"9e3779b99b9773e9b979379e6b695156", "ffffffffffffffff", "67ed0ea8e8973fc5"},
      {"0102040810204080fffefcf8f0e0c080", "fffefcf8f0e0c080", "8c3707c01c7fccc4"},
  };
  for (const auto& v : vectors) {
    EXPECT_EQ(ToHex(XxteaEncryptBlock(Hex(v.plain), Hex(v.key))), v.cipher) << v.key;
    EXPECT_EQ(ToHex(XxteaDecryptBlock(Hex(v.cipher), Hex(v.key))), v.plain) << v.key;
  }
  // Blocks of a size XXTEA cannot take are refused, not read past.
  EXPECT_EQ(XxteaEncryptBlock("1234", "k"), "");
  EXPECT_EQ(XxteaEncryptBlock("123456789", "k"), "");
}

// The text format is the one of the common xxtea libraries (length word
// appended, Base64 outside), so their output decodes here and ours there.
TEST(CryptoTest, TextFormatInteroperates) {
  const std::string text = "Hello World! \xE4\xBD\xA0\xE5\xA5\xBD\xEF\xBC\x8C\xE4\xB8\xAD\xE5\x9B\xBD\xEF\xBC\x81";
  const std::string encoded = "QncB1C0rHQoZ1eRiPM4dsZtRi9pNrp7sqvX76cFXvrrIHXL6";
  EXPECT_EQ(EncodeXxteaBase64("1234567890", text), encoded);
  EXPECT_EQ(DecodeXxteaBase64("1234567890", encoded), text);
}

TEST(CryptoTest, RoundTripsEveryLengthAndKeyShape) {
  const std::string key = "3F2504E0-4F89-41D3-9A0C-0305E82C3301";
  for (std::size_t n = 1; n <= 40; ++n) {
    std::string data;
    for (std::size_t i = 0; i < n; ++i) data.push_back(static_cast<char>((i * 37 + n) & 0xFF));
    const std::string sealed = EncodeXxteaBase64(key, data);
    ASSERT_FALSE(sealed.empty());
    EXPECT_EQ(DecodeXxteaBase64(key, sealed), data) << n;
  }
  // Only the first 16 key bytes count; a short key is padded with zeros.
  EXPECT_EQ(DecodeXxteaBase64("3F2504E0-4F89-41", EncodeXxteaBase64(key, "json")), "json");
  EXPECT_EQ(DecodeXxteaBase64(std::string("ab\0\0", 4), EncodeXxteaBase64("ab", "x")), "x");
  EXPECT_EQ(DecodeXxteaBase64("", EncodeXxteaBase64("", "no key")), "no key");
  EXPECT_EQ(EncodeXxteaBase64(key, ""), "");
  EXPECT_EQ(DecodeXxteaBase64(key, ""), "");
}

TEST(CryptoTest, UndecodableInputGivesEmpty) {
  const std::string key = "machine-guid-text";
  const std::string sealed = EncodeXxteaBase64(key, R"({"frame":60,"dpi":240})");
  EXPECT_EQ(DecodeXxteaBase64("another-guid-txt", sealed), "");  // length word no longer fits
  EXPECT_EQ(DecodeXxteaBase64(key, "not base64!"), "");
  EXPECT_EQ(DecodeXxteaBase64(key, Base64Encode("12345")), "");   // not whole words
  EXPECT_EQ(DecodeXxteaBase64(key, Base64Encode("1234")), "");    // one word only
  EXPECT_EQ(DecodeXxteaBase64(key, Base64Encode(std::string(64, '\xAB'))), "");
  std::string bytes;
  ASSERT_TRUE(Base64Decode(sealed, &bytes));
  bytes[bytes.size() / 2] ^= 0x01;
  EXPECT_EQ(DecodeXxteaBase64(key, Base64Encode(bytes)), "");
  EXPECT_EQ(XxteaDecrypt("", key), "");
}

TEST(CryptoTest, Base64FollowsRfc4648) {
  const std::pair<const char*, const char*> vectors[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, encoded] : vectors) {
    EXPECT_EQ(Base64Encode(plain), encoded);
    std::string out = "stale";
    ASSERT_TRUE(Base64Decode(encoded, &out)) << encoded;
    EXPECT_EQ(out, plain);
  }
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  std::string back;
  ASSERT_TRUE(Base64Decode(Base64Encode(all), &back));
  EXPECT_EQ(back, all);
  // Line breaks are skipped and the final padding may be missing.
  ASSERT_TRUE(Base64Decode("Zm9v\r\nYmE", &back));
  EXPECT_EQ(back, "fooba");

  for (const char* bad : {"Zg=", "Z", "Zm9v!", "=Zm9", "Zm=v", "Zg===", "Zm9=", "Zh=="}) {
    std::string out = "kept";
    EXPECT_FALSE(Base64Decode(bad, &out)) << bad;
    EXPECT_EQ(out, "kept");
  }
}

}  // namespace
