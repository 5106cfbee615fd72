#include "pathutil.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

namespace dbu {
namespace {

TEST(PathNoCase, ResolvesEveryComponentAndPrefersTheExactSpelling) {
  namespace fs = std::filesystem;
  char pattern[] = "/tmp/dbaccess_path_XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::string root = pattern;
  fs::create_directories(root + "/Company/A01");
  std::ofstream(root + "/Company/A01/Employee.ADT") << "x";
  std::ofstream(root + "/Company/A01/employee.adt") << "y";

  EXPECT_EQ(ResolvePathNoCase(root + "/company/a01/EMPLOYEE.adt"), root + "/Company/A01/Employee.ADT");
  EXPECT_EQ(ResolvePathNoCase(root + "/Company/A01/employee.adt"), root + "/Company/A01/employee.adt");
  EXPECT_TRUE(FileExistsNoCase(root + "/COMPANY/a01/employee.ADT"));
  EXPECT_FALSE(FileExistsNoCase(root + "/company/a01")) << "a folder is no table file";
  EXPECT_FALSE(FileExistsNoCase(root + "/company/a02/employee.adt"));
  EXPECT_FALSE(FileExistsNoCase(""));

  EXPECT_TRUE(HasExtension("x.dbf"));
  EXPECT_TRUE(HasExtension("sub/x.adt"));
  EXPECT_FALSE(HasExtension("EMPLOYEE"));
  EXPECT_FALSE(HasExtension("dir.d/EMPLOYEE"));
  fs::remove_all(root);
}

}  // namespace
}  // namespace dbu
