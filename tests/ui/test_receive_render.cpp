// The receive display's rendering: hex pairs, code-page-936 text across
// takes, zero bytes, line breaks, control pictures, and re-rendering.
#include <gtest/gtest.h>

#include <QString>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "ui/receive_render.h"

namespace lumaset {
namespace {

QString Take(ReceiveRenderer& r, const std::vector<uint8_t>& bytes) { return r.Render(bytes.data(), bytes.size()); }

// Renders each take in turn and joins the results.
QString Takes(ReceiveRenderer& r, const std::vector<std::vector<uint8_t>>& takes) {
  QString out;
  for (const auto& t : takes) out += Take(r, t);
  return out;
}

const QString kFffd = QString(QChar(0xFFFD));

TEST(ReceiveRenderer, HexIsFourCharactersPerByteWithoutLineBreaks) {
  ReceiveRenderer r;
  r.SetHex(true);
  EXPECT_EQ(Take(r, {0x41, 0x0D, 0xFF}), QStringLiteral("41  0D  FF  "));
  std::vector<uint8_t> all(256);
  QString expected;
  for (int i = 0; i < 256; ++i) {
    all[i] = static_cast<uint8_t>(i);
    expected += QString::asprintf("%02X  ", i);
  }
  EXPECT_EQ(Take(r, all), expected);  // zero bytes, CR and LF too
  EXPECT_EQ(r.Render(nullptr, 0), QString());
}

TEST(ReceiveRenderer, CharactersSplitBetweenTakesAreCompleted) {
  ReceiveRenderer r;
  EXPECT_EQ(Takes(r, {{0xD6}, {0xD0, 0xCE}, {0xC4, 'o', 'k'}}), QStringLiteral("中文ok"));
  // Invalid bytes show U+FFFD, also a lead byte whose next take starts with
  // a byte that cannot follow it.
  EXPECT_EQ(Takes(r, {{'a', 0xFF, 'b'}, {0xD6}, {'!'}}), "a" + kFffd + "b" + kFffd + "!");
}

TEST(ReceiveRenderer, AZeroByteEndsWhatIsShownOfItsTake) {
  ReceiveRenderer r;
  EXPECT_EQ(Take(r, {'A', 'B', 0, 'C', 'D'}), QStringLiteral("AB"));
  EXPECT_EQ(Take(r, {'E', 'F'}), QStringLiteral("EF"));
  // An incomplete character before the zero is shown as U+FFFD, also one
  // left over from the take before; the next take starts afresh.
  EXPECT_EQ(Take(r, {'x', 0xD6, 0, 0xD0}), "x" + kFffd);
  EXPECT_EQ(Takes(r, {{0xD6}, {0, 'y'}, {0xD6, 0xD0}}), kFffd + QStringLiteral("中"));
  EXPECT_EQ(Take(r, {0}), QString());
}

TEST(ReceiveRenderer, LineBreaks) {
  ReceiveRenderer r;
  EXPECT_EQ(Take(r, {'a', '\r', '\n', 'b'}), QStringLiteral("a\nb"));
  EXPECT_EQ(Takes(r, {{'a', '\r'}, {'\n', 'b'}}), QStringLiteral("a\nb"));  // CR LF split between takes
  EXPECT_EQ(Take(r, {'a', '\r', 'b', '\n', 'c'}), QStringLiteral("a\nb\nc"));  // lone CR, lone LF
  EXPECT_EQ(Take(r, {'\r', '\r', '\n', '\n', '\r'}), QStringLiteral("\n\n\n\n"));
  // A CR followed by an invalid byte, or by a zero byte, pairs with no LF.
  EXPECT_EQ(Takes(r, {{'\r', 0xFF, '\n'}}), "\n" + kFffd + "\n");
  EXPECT_EQ(Takes(r, {{'\r', 0}, {'\n'}}), QStringLiteral("\n\n"));
  // A pending lead byte between CR and LF: the CR is still followed by the
  // U+FFFD, not by the LF.
  EXPECT_EQ(Takes(r, {{'\r', 0xD6}, {'\n'}}), "\n" + kFffd + "\n");
}

TEST(ReceiveRenderer, ControlCharactersShowAsControlPictures) {
  ReceiveRenderer r;
  const QString out = Take(r, {0x01, 0x07, '\t', 0x1B, 0x1F, 0x7F, 0x20});
  EXPECT_EQ(out, QString::fromUtf16(u"\u2401\u2407\t\u241B\u241F\u2421 "));
}

TEST(ReceiveRenderer, ResetForgetsWhatCarriesOver) {
  ReceiveRenderer used, fresh;
  Take(used, {'a', '\r', 0xD6});  // leaves a CR and a lead byte behind
  used.Reset();
  const std::vector<uint8_t> next{'\n', 0xD0, 0xCE};
  EXPECT_EQ(Take(used, next), Take(fresh, next));
  EXPECT_TRUE(Take(fresh, next).startsWith(QLatin1Char('\n')));
}

// A re-render of everything after Reset() equals what the takes showed one by
// one, wherever the stream was split (streams without zero bytes, which end
// a take's text). The bytes favour what carries over: lead bytes, CR, LF.
TEST(ReceiveRenderer, ReRenderEqualsTheTakesJoined) {
  const uint32_t seed = std::random_device{}();
  SCOPED_TRACE("seed " + std::to_string(seed));
  std::mt19937 random(seed);
  const uint8_t favoured[] = {'\r', '\n', 0xD6, 0xD0, 0xCE, 0xC4, 0x81, 0xFF, 0x7F, 0x01, 'a', 0x80};
  ReceiveRenderer incremental, whole;
  for (int round = 0; round < 400; ++round) {
    std::vector<uint8_t> stream(std::uniform_int_distribution<size_t>(0, 200)(random));
    for (uint8_t& b : stream) {
      b = random() % 2 ? favoured[random() % sizeof favoured] : static_cast<uint8_t>(random() % 255 + 1);
    }
    const bool hex = round % 4 == 0;
    incremental.SetHex(hex);
    whole.SetHex(hex);
    incremental.Reset();
    whole.Reset();
    QString joined;
    for (size_t at = 0; at < stream.size();) {
      const size_t n = std::min(stream.size() - at, std::uniform_int_distribution<size_t>(1, 8)(random));
      joined += incremental.Render(stream.data() + at, n);
      at += n;
    }
    ASSERT_EQ(whole.Render(stream.data(), stream.size()), joined) << "round " << round;
  }
}

}  // namespace
}  // namespace lumaset
