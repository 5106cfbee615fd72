// Settings file parsing, log and debug file bytes, error box text.
#include "appfiles.h"

#include <gtest/gtest.h>

#include "apptestsupport.h"

namespace dbu {
namespace {

TEST(SettingsFile, ReadsDirOfPathSectionLiterallyWithoutRegardToCase) {
  const std::string text =
      "; settings\r\n[Other]\r\nDIR=/wrong/\r\n[path]\r\n  dir =  C:\\App\\Data\\ \r\nX=1\r\n";
  EXPECT_EQ(ParseIniString(text, "PATH", "DIR", ""), "C:\\App\\Data\\");
  EXPECT_EQ(ParseIniString("[PATH]\nDIR=\"/srv/base/\"\n", "PATH", "DIR", ""), "/srv/base/");
  EXPECT_EQ(ParseIniString("[PATH]\nDIR=\n", "PATH", "DIR", "none"), "");
  EXPECT_EQ(ParseIniString("[PATH]\nOTHER=1\n", "PATH", "DIR", "none"), "none");
  EXPECT_EQ(ParseIniString("[PATHS]\nDIR=/x/\n", "PATH", "DIR", "none"), "none");
  EXPECT_EQ(ParseIniString("DIR=/x/\n[PATH]\n", "PATH", "DIR", "none"), "none");
  EXPECT_EQ(ParseIniString("[PATH\nDIR=/x/\n", "PATH", "DIR", "none"), "none");
}

TEST(SettingsFile, MissingFileGivesDefaultAndNameMatchesWithoutCase) {
  TempDir dir;
  EXPECT_EQ(ReadIniString(dir.Path() + "/PALVO.ini", "PATH", "DIR", "d"), "d");
  WriteFile(dir.Path() + "/palvo.INI", "[PATH]\nDIR=/base/\n");
  EXPECT_EQ(ReadIniString(dir.Path() + "/PALVO.ini", "PATH", "DIR", "d"), "/base/");
}

TEST(LogFiles, LinesEndWithCarriageReturnAndLineFeed) {
  TempDir dir;
  const std::string name = dir.Path() + "/ZozuzEzi.log";
  WriteFile(name, "old content that must go away entirely");
  WriteLinesFile(name, {"first", "", "third line"});
  EXPECT_EQ(ReadFile(name), "first\r\n\r\nthird line\r\n");
  WriteLinesFile(name, {});
  EXPECT_EQ(ReadFile(name), "");
  EXPECT_THROW(WriteLinesFile(dir.Path() + "/missing/x.log", {"a"}), EInOutError);
}

TEST(LogFiles, DebugLinesAccumulateAndFailuresNameTheFile) {
  TempDir dir;
  const std::string name = dir.Path() + "/debug_zozuzezi.txt";
  AppendLineToFile(name, "one");
  AppendLineToFile(name, "two*24/05/2005*7");
  EXPECT_EQ(ReadFile(name), "one\r\ntwo*24/05/2005*7\r\n");
  try {
    AppendLineToFile(dir.Path() + "/nofolder/debug.txt", "x");
    FAIL() << "no error for a missing folder";
  } catch (const EInOutError& error) {
    EXPECT_NE(error.Message().find("nofolder/debug.txt"), std::string::npos) << error.Message();
  }
}

TEST(ErrorBox, FullStopAddedOnlyAfterCharactersSortingAfterIt) {
  EXPECT_EQ(ErrorBoxText("Table not found"), "Table not found.");
  EXPECT_EQ(ErrorBoxText("Done."), "Done.");
  EXPECT_EQ(ErrorBoxText("Really!"), "Really!");   // '!' sorts before '.'
  EXPECT_EQ(ErrorBoxText("code 5132"), "code 5132.");
  EXPECT_EQ(ErrorBoxText("path/"), "path/.");       // '/' sorts after '.'
  EXPECT_EQ(ErrorBoxText("a-"), "a-");
  EXPECT_EQ(ErrorBoxText(""), "");
}

TEST(ProgramFiles, FolderEndsWithSeparatorAndTitleHasNoExtension) {
  std::string folder = ProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(folder.back(), '/');
  EXPECT_EQ(ProgramTitle(), "app_tests");
}

}  // namespace
}  // namespace dbu
