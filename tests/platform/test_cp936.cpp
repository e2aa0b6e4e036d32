// The code-page-936 decoder: whole and split characters, bytes that are no
// character, and what is kept between pieces.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/cp936.h"

namespace lumaset::platform {
namespace {

std::string Decode(Cp936Decoder& d, const std::vector<uint8_t>& bytes) { return d.Decode(bytes.data(), bytes.size()); }

const std::string kFffd = kUtf8Replacement;

TEST(Cp936Decoder, DecodesWholeAndSplitCharacters) {
  Cp936Decoder d;
  EXPECT_EQ(Decode(d, {'O', 'K', 0xD6, 0xD0, 0xCE, 0xC4, 0x80}), "OK中文€");
  // "中文" split after its first byte, then inside the second character.
  EXPECT_EQ(Decode(d, {0xD6}), "");
  EXPECT_TRUE(d.Pending());
  EXPECT_EQ(Decode(d, {0xD0, 0xCE}), "中");
  EXPECT_EQ(Decode(d, {0xC4, 'x'}), "文x");
  EXPECT_FALSE(d.Pending());
}

TEST(Cp936Decoder, ReplacesBytesThatStartNoCharacterAndGoesOn) {
  Cp936Decoder d;
  // 0xFF is never a lead byte; a lead byte before CR or DEL starts nothing,
  // and the byte after it is decoded on its own.
  EXPECT_EQ(Decode(d, {'a', 0xFF, 'b'}), "a" + kFffd + "b");
  EXPECT_EQ(Decode(d, {0xD6, '\r', 0xD6, 0x7F}), kFffd + "\r" + kFffd + "\x7F");
  // The same with the lead byte ending the piece before.
  EXPECT_EQ(Decode(d, {0xD6}), "");
  EXPECT_EQ(Decode(d, {'\n'}), kFffd + "\n");
}

TEST(Cp936Decoder, FlushShowsAndResetDropsTheKeptByte) {
  Cp936Decoder d;
  Decode(d, {'a', 0xD6});
  EXPECT_EQ(d.Flush(), kFffd);
  EXPECT_FALSE(d.Pending());
  EXPECT_EQ(d.Flush(), "");
  Decode(d, {0xD6});
  d.Reset();
  EXPECT_EQ(Decode(d, {'b'}), "b");  // no U+FFFD: the kept D6 is gone
}

TEST(Cp936Encoder, TypedCharactersInTheHostsCodePage) {
  EXPECT_EQ(EncodeCp936("a"), "a");
  EXPECT_EQ(EncodeCp936("\\"), "\\");
  EXPECT_EQ(EncodeCp936("中"), "\xD6\xD0");
  EXPECT_EQ(EncodeCp936("\xF0\x9F\x98\x80"), "?") << "not in the code page";
  EXPECT_EQ(EncodeCp936(""), "");
}

}  // namespace
}  // namespace lumaset::platform
