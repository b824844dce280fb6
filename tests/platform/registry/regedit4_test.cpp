// The REGEDIT4 text form: every value's bytes survive a write and a read, and damaged text is
// reported with its line.
#include "platform/registry/regedit4.h"

#include <gtest/gtest.h>

namespace platform::registry {
namespace {

std::vector<BYTE> Bytes(std::string_view text) {
  return {text.begin(), text.end()};
}

KeyPath Path(std::string_view text) {
  KeyPath path;
  EXPECT_TRUE(ParsePath(text, path).ok()) << text;
  return path;
}

TEST(Regedit4, AwkwardValuesRoundTripByteForByte) {
  Tree tree;
  Key& key = tree.Create(Path("HKEY_LOCAL_MACHINE\\Software\\Vendor"), nullptr);
  key.SetValue("quote\"and\\slash", kTypeSz, Bytes(std::string_view("a \"b\" \\c\\\0", 10)));
  key.SetValue("", kTypeSz, Bytes(std::string_view("default\0", 8)));
  key.SetValue("Unterminated", kTypeSz, Bytes("abc"));
  key.SetValue("EmbeddedNul", kTypeSz, Bytes(std::string_view("a\0b\0", 4)));
  key.SetValue("LineBreak", kTypeSz, Bytes(std::string_view("a\r\nb\0", 5)));
  key.SetValue("NoBytes", kTypeSz, {});
  key.SetValue("EmptyBinary", kTypeBinary, {});
  key.SetValue("Count", kTypeDword, {3, 0, 0, 0x80});
  key.SetValue("ShortDword", kTypeDword, {1, 2, 3});
  key.SetValue("Odd", 0x12345, {0xff});
  std::vector<BYTE> big(200);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<BYTE>(i * 7);
  key.SetValue("Big", kTypeBinary, big);
  tree.Create(Path("HKEY_CURRENT_USER\\Empty\\Leaf"), nullptr);
  tree.Root(2).SetValue("OnRoot", kTypeBinary, {1});

  const std::string text = FormatRegedit4(tree);
  EXPECT_NE(text.find("@=\"default\"\n"), std::string::npos);
  EXPECT_NE(text.find("\"quote\\\"and\\\\slash\"=\"a \\\"b\\\" \\\\c\\\\\"\n"), std::string::npos);
  EXPECT_NE(text.find("\"Unterminated\"=hex(1):61,62,63\n"), std::string::npos);
  EXPECT_NE(text.find("\"Count\"=dword:80000003\n"), std::string::npos);
  EXPECT_NE(text.find("\"EmptyBinary\"=hex:\n"), std::string::npos);
  EXPECT_NE(text.find("[HKEY_CURRENT_USER\\Empty\\Leaf]\n"), std::string::npos);

  Tree back;
  ASSERT_TRUE(ParseRegedit4(text, "test.reg", back).ok()) << ParseRegedit4(text, "t", back).message;
  const Key* read = back.Find(Path("HKEY_LOCAL_MACHINE\\Software\\Vendor"));
  ASSERT_NE(read, nullptr);
  ASSERT_EQ(read->values.size(), key.values.size());
  for (std::size_t i = 0; i < key.values.size(); ++i) {
    EXPECT_EQ(read->values[i].name, key.values[i].name);
    EXPECT_EQ(read->values[i].type, key.values[i].type) << key.values[i].name;
    EXPECT_EQ(read->values[i].data, key.values[i].data) << key.values[i].name;
  }
  EXPECT_NE(back.Find(Path("HKEY_CURRENT_USER\\Empty\\Leaf")), nullptr);
  ASSERT_NE(back.Root(2).FindValue("OnRoot"), nullptr);
  EXPECT_EQ(FormatRegedit4(back), text);
}

TEST(Regedit4, ReadsCommentsCrlfContinuationsAndLooseSeparators) {
  const std::string text =
      "\r\nREGEDIT4\r\n; a comment\r\n\r\n"
      "[\\HKEY_LOCAL_MACHINE\\\\Hardware\\Devicemap\\]\r\n"
      "\"Bytes\"=hex:01,02,\\\r\n"
      "    03 ,04\r\n"
      "\"Count\"=dword:0000001f\r\n";
  Tree tree;
  ASSERT_TRUE(ParseRegedit4(text, "t.reg", tree).ok());
  const Key* key = tree.Find(Path("HKEY_LOCAL_MACHINE\\Hardware\\Devicemap"));
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(key->values.size(), 2u);
  EXPECT_EQ(key->values[0].data, (std::vector<BYTE>{1, 2, 3, 4}));
  EXPECT_EQ(key->values[1].data, (std::vector<BYTE>{0x1f, 0, 0, 0}));
}

TEST(Regedit4, DamageIsReportedWithFileAndLine) {
  struct Case {
    const char* text;
    const char* expected;
  };
  const Case cases[] = {
      {"", "f.reg:1: missing REGEDIT4 header"},
      {"\nREGEDIT5\n", "f.reg:2: missing REGEDIT4 header"},
      {"REGEDIT4\n\n\"a\"=\"b\"\n", "f.reg:3: value outside any key"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"a\"=hex:01,0g\n", "f.reg:3: bad hex"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"a\"=hex:01,\\\n", "f.reg:3: hex data continues"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"a\"=\"open\n", "f.reg:3: unterminated string"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"a\"=\"x\\n\"\n", "f.reg:3: bad escape"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"a\"=dword:123456789\n", "f.reg:3: bad dword"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"a\"=word:1\n", "f.reg:3: bad value data"},
      {"REGEDIT4\n[HKEY_USERS\\A\n", "f.reg:2: key line without closing ']'"},
      {"REGEDIT4\n[HKEY_NOWHERE\\A]\n", "f.reg:2: unknown root key"},
      {"REGEDIT4\n[HKEY_USERS\\A]\nCOM3=x\n", "f.reg:3: expected a [key] or a value line"},
  };
  for (const Case& c : cases) {
    Tree tree;
    Status status = ParseRegedit4(c.text, "f.reg", tree);
    EXPECT_EQ(status.error, Error::kCorrupt) << c.text;
    EXPECT_EQ(status.message.rfind(c.expected, 0), 0u) << status.message;
  }
}

// Values, names and keys a hostile file may hold: each is refused at its line, never read as
// something else, and no depth or size makes the reader or the writer misbehave.
TEST(Regedit4, HostileLinesAreRefusedWithFileAndLine) {
  using namespace std::string_literals;
  std::string deep = "REGEDIT4\n[HKEY_USERS";
  for (std::size_t i = 0; i <= kMaxKeyDepth; ++i) deep += "\\k";
  deep += "]\n";
  const std::pair<std::string, std::string> cases[] = {
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"a\"=dword:0000\n", "f.reg:3: bad dword"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"a\"=dword:\n", "f.reg:3: bad dword"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"a\0b\"=\"x\"\n"s,
       "f.reg:3: value name holds a line break or NUL"},
      {"REGEDIT4\n[HKEY_USERS\\A]\n\"a\rb\"=\"x\"\n",
       "f.reg:3: value name holds a line break or NUL"},
      {"REGEDIT4\n\n[HKEY_USERS\\" + std::string(kMaxKeyNameLength + 1, 'n') + "]\n",
       "f.reg:3: key name longer than 255 characters"},
      {deep, "f.reg:2: key more than 512 levels deep"},
  };
  for (const auto& [text, expected] : cases) {
    Tree tree;
    Status status = ParseRegedit4(text, "f.reg", tree);
    EXPECT_EQ(status.error, Error::kCorrupt) << text.substr(0, 60);
    EXPECT_EQ(status.message, expected);
  }
}

TEST(Regedit4, KeysAtTheDepthAndNameLimitsRoundTrip) {
  std::string path = "HKEY_USERS";
  for (std::size_t i = 1; i < kMaxKeyDepth; ++i) path += "\\k";
  path += "\\" + std::string(kMaxKeyNameLength, 'n');
  Tree tree;
  tree.Create(Path(path), nullptr).SetValue("leaf", kTypeDword, {1, 2, 3, 4});
  const std::string text = FormatRegedit4(tree);
  Tree back;
  ASSERT_TRUE(ParseRegedit4(text, "t.reg", back).ok());
  const Key* leaf = back.Find(Path(path));
  ASSERT_NE(leaf, nullptr);
  ASSERT_NE(leaf->FindValue("leaf"), nullptr);
  EXPECT_EQ(FormatRegedit4(back), text);
}

// Continuation lines are gathered in linear time; a value of several MiB, as the writer wraps
// it, comes back byte for byte.
TEST(Regedit4, AMultiMebibyteBinaryValueLoadsWhole) {
  std::vector<BYTE> data(6u << 20);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<BYTE>(i * 7 + (i >> 12));
  Tree tree;
  tree.Create(Path("HKEY_LOCAL_MACHINE\\Big"), nullptr).SetValue("v", kTypeBinary, data);
  tree.Create(Path("HKEY_LOCAL_MACHINE\\Big"), nullptr).SetValue("after", kTypeSz, {'x', 0});
  Tree back;
  ASSERT_TRUE(ParseRegedit4(FormatRegedit4(tree), "t.reg", back).ok());
  const Key* key = back.Find(Path("HKEY_LOCAL_MACHINE\\Big"));
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(key->values.size(), 2u);
  EXPECT_EQ(key->values[0].type, kTypeBinary);
  EXPECT_TRUE(key->values[0].data == data);
  EXPECT_EQ(key->values[1].name, "after");
}

// Values are looked up by name while reading: a key with a great many of them reads in linear
// time, a repeated name (in any case) still replaces the earlier data in its place.
TEST(Regedit4, AKeyWithAGreatManyValuesLoadsWhole) {
  constexpr std::size_t kValues = 200000;
  std::string text = "REGEDIT4\n[HKEY_USERS\\Many]\n";
  for (std::size_t i = 0; i < kValues; ++i) text += "\"v" + std::to_string(i) + "\"=hex:01\n";
  text += "[HKEY_USERS\\Other]\n[HKEY_USERS\\Many]\n\"V7\"=dword:00000002\n";
  Tree tree;
  ASSERT_TRUE(ParseRegedit4(text, "t.reg", tree).ok());
  const Key* key = tree.Find(Path("HKEY_USERS\\Many"));
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(key->values.size(), kValues);
  EXPECT_EQ(key->values[7].name, "v7");
  EXPECT_EQ(key->values[7].type, kTypeDword);
  EXPECT_EQ(key->values[7].data, (std::vector<BYTE>{2, 0, 0, 0}));
  EXPECT_EQ(key->values[kValues - 1].name, "v" + std::to_string(kValues - 1));
}

}  // namespace
}  // namespace platform::registry
