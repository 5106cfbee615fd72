// File names are matched without regard to case. A folder's names are read
// once and reused while the folder is unchanged: every change to its
// entries (a file added, removed or renamed) must show at the next lookup.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>

#include "test_util.h"
#include "util.h"

using engtest::TempDir;

namespace {

void Touch(const std::string& path) { std::ofstream(path) << "x"; }

// Dates the folder's last change well into the past, so that its listing
// counts as settled and is kept.
void AgeFolder(const std::string& dir) {
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = 1000000000;
  times[0].tv_nsec = times[1].tv_nsec = 0;
  ASSERT_EQ(::utimensat(AT_FDCWD, dir.c_str(), times, 0), 0);
}

TEST(PathCaseTest, FindsEachSpellingAndFollowsChangesToTheFolder) {
  TempDir dir;
  Touch(dir.File("Leav_Trx.adt"));
  AgeFolder(dir.path());
  // The exact spelling, another spelling (twice: the second from the kept
  // listing), and a name that is not there.
  EXPECT_EQ(eng::ResolveNoCase(dir.File("Leav_Trx.adt")), dir.File("Leav_Trx.adt"));
  EXPECT_EQ(eng::ResolveNoCase(dir.File("LEAV_TRX.ADT")), dir.File("Leav_Trx.adt"));
  EXPECT_EQ(eng::ResolveNoCase(dir.File("leav_trx.ADT")), dir.File("Leav_Trx.adt"));
  EXPECT_EQ(eng::ResolveNoCase(dir.File("EMPLEAVE.ADT")), dir.File("EMPLEAVE.ADT"));

  // A file added after the listing was kept is found.
  Touch(dir.File("empleave.adt"));
  EXPECT_EQ(eng::ResolveNoCase(dir.File("EMPLEAVE.ADT")), dir.File("empleave.adt"));
  AgeFolder(dir.path());
  EXPECT_EQ(eng::ResolveNoCase(dir.File("EMPLEAVE.ADT")), dir.File("empleave.adt"));

  // Renamed: the new spelling; removed: the name as asked for.
  ASSERT_EQ(::rename(dir.File("empleave.adt").c_str(), dir.File("EmpLeave.adt").c_str()), 0);
  EXPECT_EQ(eng::ResolveNoCase(dir.File("EMPLEAVE.ADT")), dir.File("EmpLeave.adt"));
  AgeFolder(dir.path());
  ASSERT_EQ(::unlink(dir.File("EmpLeave.adt").c_str()), 0);
  EXPECT_EQ(eng::ResolveNoCase(dir.File("EMPLEAVE.ADT")), dir.File("EMPLEAVE.ADT"));
  AgeFolder(dir.path());
  EXPECT_EQ(eng::ResolveNoCase(dir.File("EMPLEAVE.ADT")), dir.File("EMPLEAVE.ADT"));
}

TEST(PathCaseTest, FoldersSpelledOtherwiseAndAFolderReplacedUnderTheSameName) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.File("Company").c_str(), 0755), 0);
  ASSERT_EQ(::mkdir(dir.File("Company/A01").c_str(), 0755), 0);
  Touch(dir.File("Company/A01/Setup.adt"));
  EXPECT_EQ(eng::ResolveNoCase(dir.File("COMPANY/a01/SETUP.ADT")), dir.File("Company/A01/Setup.adt"));
  EXPECT_EQ(eng::ResolveNoCase(dir.File("company/A01/setup.adt")), dir.File("Company/A01/Setup.adt"));

  // Another folder of the same name and the same old time stamp: its own
  // names count, not those read from the one it replaced.
  const std::string folder = dir.File("Company/A01");
  AgeFolder(folder);
  EXPECT_EQ(eng::ResolveNoCase(folder + "/SETUP.ADT"), folder + "/Setup.adt");
  ASSERT_EQ(::rename(folder.c_str(), dir.File("Company/Old").c_str()), 0);
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  Touch(folder + "/SETUP.adt");
  AgeFolder(folder);
  EXPECT_EQ(eng::ResolveNoCase(folder + "/setup.ADT"), folder + "/SETUP.adt");
}

// A name found through a kept listing is given with the identity of the
// file under that name now: a file put in its place by a rename is the new
// file, and with two spellings of one name each is found as spelled.
TEST(PathCaseTest, IdentityFromTheListingFollowsAFileReplacedByRename) {
  TempDir dir;
  Touch(dir.File("Leav_Trx.adt"));
  AgeFolder(dir.path());
  struct stat st {}, real {};
  for (int i = 0; i < 2; ++i) {  // the second from the kept listing
    EXPECT_EQ(eng::ResolveNoCase(dir.File("LEAV_TRX.ADT"), &st), dir.File("Leav_Trx.adt"));
    ASSERT_EQ(::stat(dir.File("Leav_Trx.adt").c_str(), &real), 0);
    EXPECT_EQ(st.st_ino, real.st_ino);
    EXPECT_EQ(st.st_dev, real.st_dev);
    EXPECT_TRUE(S_ISREG(st.st_mode));
  }
  Touch(dir.File("new.tmp"));
  ASSERT_EQ(::rename(dir.File("new.tmp").c_str(), dir.File("Leav_Trx.adt").c_str()), 0);
  EXPECT_EQ(eng::ResolveNoCase(dir.File("LEAV_TRX.ADT"), &st), dir.File("Leav_Trx.adt"));
  ASSERT_EQ(::stat(dir.File("Leav_Trx.adt").c_str(), &real), 0);
  EXPECT_EQ(st.st_ino, real.st_ino);

  Touch(dir.File("LEAV_TRX.ADT"));
  AgeFolder(dir.path());
  for (int i = 0; i < 2; ++i) {
    EXPECT_EQ(eng::ResolveNoCase(dir.File("LEAV_TRX.ADT"), &st), dir.File("LEAV_TRX.ADT"));
    EXPECT_EQ(eng::ResolveNoCase(dir.File("Leav_Trx.adt"), &st), dir.File("Leav_Trx.adt"));
  }
}

// A closed table's companions are vouched for by the kept listing of their
// folder only while it is unchanged and lists each under its inode.
TEST(PathCaseTest, TheListingVouchesForFilesOnlyWhileTheFolderIsUnchanged) {
  TempDir dir;
  const std::string jrn = dir.File("Leav_Trx.jrn"), tags = dir.File("Leav_Trx.tags");
  Touch(dir.File("Leav_Trx.adt"));
  Touch(jrn);
  Touch(tags);
  struct stat j {}, t {};
  auto identify = [&] {
    ASSERT_EQ(::stat(jrn.c_str(), &j), 0);
    ASSERT_EQ(::stat(tags.c_str(), &t), 0);
  };
  identify();
  const std::vector<eng::FileAtPath> both{{&jrn, j.st_dev, j.st_ino}, {&tags, t.st_dev, t.st_ino}};
  EXPECT_FALSE(eng::FolderVouchesFor(both));  // no listing kept yet
  AgeFolder(dir.path());
  eng::ResolveNoCase(dir.File("LEAV_TRX.ADT"));
  EXPECT_TRUE(eng::FolderVouchesFor(both));
  EXPECT_FALSE(eng::FolderVouchesFor({{&tags, t.st_dev, t.st_ino + 1}}));
  const std::string missing = dir.File("Leav_Trx.memo");
  EXPECT_FALSE(eng::FolderVouchesFor({{&missing, t.st_dev, t.st_ino}}));
  // The tag file replaced by rename: the folder changed, so no vouching,
  // even once a new listing is kept, for the old inode.
  Touch(dir.File("new.tmp"));
  ASSERT_EQ(::rename(dir.File("new.tmp").c_str(), tags.c_str()), 0);
  EXPECT_FALSE(eng::FolderVouchesFor(both));
  eng::ResolveNoCase(dir.File("LEAV_TRX.ADT"));  // reads the changed folder
  AgeFolder(dir.path());
  eng::ResolveNoCase(dir.File("LEAV_TRX.ADT"));
  EXPECT_FALSE(eng::FolderVouchesFor(both));
  identify();
  EXPECT_TRUE(eng::FolderVouchesFor({{&jrn, j.st_dev, j.st_ino}, {&tags, t.st_dev, t.st_ino}}));
}

// Times with a fraction of a second come from a file system that keeps
// fine times: they are trusted a tenth of a second on; whole seconds only
// after two.
TEST(PathCaseTest, FileTimesSettleSoonerWhenKeptFinely) {
  struct timespec now {};
  ASSERT_EQ(::clock_gettime(CLOCK_REALTIME, &now), 0);
  struct timespec fine = now, whole = now;
  fine.tv_sec -= 1;
  fine.tv_nsec = fine.tv_nsec == 0 ? 1 : fine.tv_nsec;
  whole.tv_sec -= 1;
  whole.tv_nsec = 0;
  EXPECT_TRUE(eng::FileTimeSettled(fine));
  EXPECT_FALSE(eng::FileTimeSettled(whole));
  whole.tv_sec -= 2;
  EXPECT_TRUE(eng::FileTimeSettled(whole));
  EXPECT_FALSE(eng::FileTimeSettled(now));
}

}  // namespace
