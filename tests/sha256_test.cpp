#include "server/sha256.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string hexOf(std::string_view bytes) {
  return toHex(sha256(bytes));
}

TEST(Sha256, KnownDigests) {
  struct Case {
    std::string input;
    const char* digest;
  };
  const Case kCases[] = {
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqr"
       "lmnopqrsmnopqrstnopqrstu",
       "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
      {std::string(1000000, 'a'),
       "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      // Lengths around the padding boundaries: the length field fits in the last block
      // only up to 55 bytes, and 64 bytes fill a block exactly.
      {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
      {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
      {std::string(57, 'a'), "f13b2d724659eb3bf47f2dd6af1accc87b81f09f59f2b75e5c0bed6589dfe8c6"},
      {std::string(63, 'a'), "7d3e74a05d7db15bce4ad9ec0658ea98e3f06eeecf16b4c6fff2da457ddc2f34"},
      {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
      {std::string(65, 'a'), "635361c48bb9eab14198e76ea8ab7f1a41685d6ad62aa9146d301d4f17eb0ae0"},
      {std::string(119, 'a'), "31eba51c313a5c08226adf18d4a359cfdfd8d2e816b13f4af952f7ea6584dcfb"},
      {std::string(120, 'a'), "2f3d335432c70b580af0e8e1b3674a7c020d683aa5f73aaaedfdc55af904c21c"},
  };
  for (const Case& c : kCases) {
    EXPECT_EQ(hexOf(c.input), c.digest) << "input of " << c.input.size() << " bytes";
  }
}

TEST(Sha256, PiecesGiveTheDigestOfTheWhole) {
  std::string input;
  for (int i = 0; i < 300; ++i) input.push_back(static_cast<char>(i * 37 + 11));
  const Sha256::Digest whole = sha256(input);
  for (std::size_t cut = 0; cut <= input.size(); ++cut) {
    Sha256 hash;
    hash.update(std::string_view(input).substr(0, cut));
    hash.update("");
    hash.update(std::string_view(input).substr(cut));
    EXPECT_EQ(hash.finish(), whole) << "cut at " << cut;
  }
  Sha256 bytewise;
  for (char c : input) bytewise.update(std::string_view(&c, 1));
  EXPECT_EQ(bytewise.finish(), whole);
}

TEST(Sha256, FinishStartsANewMessage) {
  Sha256 hash;
  hash.update("first message");
  hash.finish();
  hash.update("abc");
  EXPECT_EQ(toHex(hash.finish()),
            "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
}

}  // namespace
