// mdmreg as a user runs it: output, the registry file it leaves, and its exit codes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/run_program.h"
#include "tests/support/temp_root.h"

namespace {

using testing_support::TempRoot;

using Result = testing_support::ProgramResult;
using testing_support::ReadWholeFile;

// Runs mdmreg with `args` in `root` (MDM_ROOT is already set by TempRoot).
Result Mdmreg(const TempRoot& root, const std::vector<std::string>& args) {
  return testing_support::RunProgram(MDMREG_PATH, args, root.path());
}

TEST(Mdmreg, SetThenQueryShowsValuesAsTheyWereGiven) {
  TempRoot root;
  const std::string key = "HKLM\\Hardware\\Devicemap\\Serialcomm";
  EXPECT_EQ(Mdmreg(root, {"set", key, "COM3", "REG_SZ", "COM3"}).exitCode, 0);
  EXPECT_EQ(Mdmreg(root, {"set", key, "@", "REG_SZ", "say \"hi\""}).exitCode, 0);
  EXPECT_EQ(Mdmreg(root, {"set", key, "Count", "reg_dword", "0x1F"}).exitCode, 0);
  EXPECT_EQ(Mdmreg(root, {"set", key, "count", "REG_DWORD", "4294967295"}).exitCode, 0);
  EXPECT_EQ(Mdmreg(root, {"set", key, "Bytes", "REG_BINARY", "01,02,ff"}).exitCode, 0);
  EXPECT_EQ(Mdmreg(root, {"set", key, "Packed", "REG_BINARY", "0a0B"}).exitCode, 0);
  EXPECT_EQ(Mdmreg(root, {"set", key + "\\Sub", "", "REG_BINARY", ""}).exitCode, 0);

  Result query = Mdmreg(root, {"query", "hklm\\hardware\\devicemap\\serialcomm"});
  EXPECT_EQ(query.exitCode, 0) << query.err;
  EXPECT_EQ(query.out,
            "HKEY_LOCAL_MACHINE\\Hardware\\Devicemap\\Serialcomm\n"
            "    COM3    REG_SZ    COM3\n"
            "    (Default)    REG_SZ    say \"hi\"\n"
            "    Count    REG_DWORD    0xffffffff\n"
            "    Bytes    REG_BINARY    0102FF\n"
            "    Packed    REG_BINARY    0A0B\n"
            "\n"
            "HKEY_LOCAL_MACHINE\\Hardware\\Devicemap\\Serialcomm\\Sub\n");
}

TEST(Mdmreg, ExportPrintsTheRegistryFile) {
  TempRoot root;
  ASSERT_EQ(Mdmreg(root, {"set", "HKCU\\A", "v", "REG_DWORD", "3"}).exitCode, 0);
  Result exported = Mdmreg(root, {"export"});
  EXPECT_EQ(exported.exitCode, 0);
  EXPECT_EQ(exported.out, "REGEDIT4\n\n[HKEY_CURRENT_USER\\A]\n\"v\"=dword:00000003\n\n");
  EXPECT_EQ(exported.out, root.Read());
}

TEST(Mdmreg, DeleteRemovesAValueOrAWholeKey) {
  TempRoot root;
  ASSERT_EQ(Mdmreg(root, {"set", "HKU\\A\\B", "@", "REG_SZ", "x"}).exitCode, 0);
  ASSERT_EQ(Mdmreg(root, {"set", "HKU\\A\\B", "keep", "REG_SZ", "y"}).exitCode, 0);
  EXPECT_EQ(Mdmreg(root, {"delete", "HKU\\A\\B", "@"}).exitCode, 0);
  EXPECT_EQ(Mdmreg(root, {"query", "HKU\\A\\B"}).out,
            "HKEY_USERS\\A\\B\n    keep    REG_SZ    y\n");
  EXPECT_EQ(Mdmreg(root, {"delete", "HKU\\A"}).exitCode, 0);
  Result gone = Mdmreg(root, {"query", "HKU\\A\\B"});
  EXPECT_EQ(gone.exitCode, 1);
  EXPECT_NE(gone.err.find("key not found: HKEY_USERS\\A\\B"), std::string::npos) << gone.err;
}

TEST(Mdmreg, BadArgumentsExitWithUsage) {
  TempRoot root;
  const std::vector<std::vector<std::string>> cases = {
      {},
      {"frobnicate"},
      {"set", "HKLM\\A", "v", "REG_SZ"},
      {"set", "HKLM\\A", "v", "REG_QWORD", "1"},
      {"set", "HKLM\\A", "v", "REG_DWORD", "12x"},
      {"set", "HKLM\\A", "v", "REG_DWORD", "4294967296"},
      {"set", "HKLM\\A", "v", "REG_BINARY", "1,2,100"},
      {"set", "HKLM\\A", "v", "REG_BINARY", "abc"},
      {"query", "NOWHERE\\A"},
      {"query", "HKLM", "extra"},
  };
  for (const auto& args : cases) {
    Result run = Mdmreg(root, args);
    EXPECT_EQ(run.exitCode, 2) << (args.empty() ? "" : args.back());
    EXPECT_NE(run.err.find("Usage"), std::string::npos) << run.err;
  }
  EXPECT_FALSE(std::filesystem::exists(root.file()));
}

TEST(Mdmreg, ADamagedFileFailsNamingFileAndLine) {
  TempRoot root;
  const std::string damaged = "REGEDIT4\n[HKEY_USERS\\A]\n\"v\"=dword:xyz\n";
  root.Write(damaged);
  for (const auto& run :
       {Mdmreg(root, {"export"}), Mdmreg(root, {"set", "HKU\\A", "v", "REG_SZ", "x"})}) {
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find(root.file().string() + ":3: bad dword"), std::string::npos) << run.err;
  }
  EXPECT_EQ(root.Read(), damaged);
}

// Names a REGEDIT4 line cannot hold are a wrong command line, each named for what it is.
TEST(Mdmreg, NamesWithLineBreaksExitWithUsageNamingTheFault) {
  TempRoot root;
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"set", "HKLM\\A", "two\nlines", "REG_SZ", "x"}, "value names cannot hold line breaks"},
      {{"set", "HKLM\\A", "cr\r", "REG_SZ", "x"}, "value names cannot hold line breaks"},
      {{"delete", "HKLM\\A", "two\nlines"}, "value names cannot hold line breaks"},
      {{"set", "HKLM\\A\nB", "v", "REG_SZ", "x"}, "key names cannot hold line breaks"},
      {{"query", "HKLM\\A\nB"}, "key names cannot hold line breaks"},
      {{"query", "HKLM\nA"}, "key names cannot hold line breaks"},
      {{"query", "HKLM\\" + std::string(256, 'k')}, "key name longer than 255 characters"},
  };
  for (const auto& [args, expected] : cases) {
    Result run = Mdmreg(root, args);
    EXPECT_EQ(run.exitCode, 2) << args[1];
    EXPECT_NE(run.err.find(expected), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("must start with a root key"), std::string::npos) << run.err;
  }
  EXPECT_FALSE(std::filesystem::exists(root.file()));
}

TEST(Mdmreg, AValueStartingWithADashGoesAfterDoubleDash) {
  TempRoot root;
  Result usage = Mdmreg(root, {"set", "HKLM\\A", "v", "REG_SZ", "-x"});
  EXPECT_EQ(usage.exitCode, 2);
  EXPECT_NE(usage.err.find("goes after \"--\""), std::string::npos) << usage.err;
  ASSERT_EQ(Mdmreg(root, {"set", "HKLM\\A", "v", "REG_SZ", "--", "-x"}).exitCode, 0);
  EXPECT_EQ(Mdmreg(root, {"query", "HKLM\\A"}).out,
            "HKEY_LOCAL_MACHINE\\A\n    v    REG_SZ    -x\n");
}

TEST(Mdmreg, AValueNameHoldingNulInTheFileFailsNamingFileAndLine) {
  TempRoot root;
  root.Write(std::string("REGEDIT4\n[HKEY_USERS\\A]\n\"v\0w\"=\"x\"\n", 34));
  Result run = Mdmreg(root, {"export"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find(root.file().string() + ":3: value name holds a line break or NUL"),
            std::string::npos)
      << run.err;
}

}  // namespace
