// Demo database scripts: parsing, loading through the engine, failures
// that name the script, line, table, field and value.
#include "demodb.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>

#include "apptestsupport.h"
#include "commalocale.h"
#include "datetime.h"
#include "dbconnection.h"
#include "dbtable.h"
#include "engine.h"
#include "formatsettings.h"
#include "strutil.h"
#include "unit1logic.h"

namespace dbu {
namespace {

TEST(DemoScripts, ParseTablesFieldsIndexesAndRows) {
  TDemoTable t = ParseDemoScript({"company/A01/x.tbl",
                                  "# c\nTABLE X.ADT\nFIELD A Char 8\nfield B Integer\nINDEX PK A;B unique\n"
                                  "ROW  a b | 7 \nROW \" padded \" |\n"});
  EXPECT_EQ(t.Folder, "company/A01");
  EXPECT_EQ(t.FileName, "X.ADT");
  ASSERT_EQ(t.Fields.size(), 2u);
  EXPECT_EQ(t.Fields[0].Length, "8");
  ASSERT_EQ(t.Indexes.size(), 1u);
  EXPECT_TRUE(t.Indexes[0].Unique);
  EXPECT_EQ(t.Indexes[0].Fields, "A;B");
  ASSERT_EQ(t.Rows.size(), 2u);
  EXPECT_EQ(t.Rows[0], (std::vector<std::string>{"a b", "7"}));
  EXPECT_EQ(t.Rows[1], (std::vector<std::string>{" padded ", ""}));
  EXPECT_EQ(t.RowLines, (std::vector<int>{6, 7}));
  EXPECT_EQ(ParseDemoScript({"base/m.tbl", "TABLE m\nFIELD A Char 1\n"}).Folder, "");
}

TEST(DemoScripts, FeaturesTheEngineLacksAreReportedAndSkipped) {
  TDemoTable t = ParseDemoScript({"company/D04/e.tbl",
                                  "TABLE E.ADT\nFIELD A Char 4\nINDEX A A\nENCRYPT KVRNA7310\n"
                                  "DICTIONARY D04.add\nROW x\n"});
  EXPECT_EQ(t.EncryptPassword, "KVRNA7310");
  EXPECT_EQ(t.Dictionary, "D04.add");
  TempDir dir;
  std::vector<std::string> report;
  CreateDemoDatabases(dir.Path(), {{"company/D04/e.tbl", "TABLE E.ADT\nFIELD A Char 4\nINDEX A A\n"
                                                         "ENCRYPT KVRNA7310\nDICTIONARY D04.add\nROW x\n"}},
                      report);
  // Each feature is either made or named as skipped; the rows are there.
  std::string all;
  for (const std::string& line : report) all += line + "\n";
  EXPECT_NE(all.find("created " + dir.Path() + "/company/D04/E.ADT (1 records)"), std::string::npos) << all;
  const std::vector<std::pair<std::string, std::string>> madeOrSkipped = {
      {"index A of E.ADT made", "note: index A of E.ADT skipped"},
      {"E.ADT encrypted", "note: E.ADT left unencrypted"},
      {"added E.ADT to " + dir.Path() + "/company/D04/D04.add", "note: E.ADT left a free table"},
  };
  for (const auto& [made, skipped] : madeOrSkipped)
    EXPECT_NE(all.find(made) != std::string::npos, all.find(skipped) != std::string::npos) << made << "\n" << all;
  EXPECT_TRUE(Exists(dir.Path() + "/company/D04/E.ADT"));
}

TEST(DemoScripts, MalformedScriptsNameScriptAndLine) {
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"TABLE a\nFIELD A Char 2\nROW 1 | 2\n", "line 3: ROW has 2 values for 1 fields"},
      {"TABLE a\nFIELD A\n", "line 2: FIELD needs"},
      {"TABLE a\nTABLE b\n", "line 2: TABLE needs"},
      {"FIELD A Char 1\n", "no TABLE"},
      {"TABLE a\n", "has no FIELD"},
      {"TABLE a\nFIELD A Char 1\nDROP a\n", "line 3: unknown statement 'DROP'"},
      {"TABLE a\nFIELD A Char 1\nINDEX i A sideways\n", "line 3: INDEX needs"},
  };
  for (const auto& [text, message] : bad) {
    try {
      ParseDemoScript({"base/bad.tbl", text});
      ADD_FAILURE() << "accepted: " << text;
    } catch (const EDemoError& error) {
      EXPECT_NE(error.Message().find("demo script base/bad.tbl"), std::string::npos) << error.Message();
      EXPECT_NE(error.Message().find(message), std::string::npos) << error.Message();
    }
  }
}

TEST(DemoScripts, BadValuesNameTableFieldAndValue) {
  TempDir dir;
  std::vector<std::string> report;
  try {
    CreateDemoDatabases(dir.Path(), {{"base/t.tbl", "TABLE t.adt\nFIELD D Date\nROW 31/02/2005\n"}}, report);
    FAIL() << "an impossible date was loaded";
  } catch (const EDemoError& error) {
    EXPECT_NE(error.Message().find("line 3, table t.adt, field D"), std::string::npos) << error.Message();
    EXPECT_NE(error.Message().find("31/02/2005"), std::string::npos) << error.Message();
  }
  TempDir other;
  EXPECT_THROW(CreateDemoDatabases(other.Path(), {{"base/t.tbl", "TABLE t.adt\nFIELD N Integer\nROW 12x\n"}}, report),
               EDemoError);
  EXPECT_THROW(CreateDemoDatabases(other.Path(), {{"base/u.tbl", "TABLE u.adt\nFIELD L Logical\nROW maybe\n"}}, report),
               EDemoError);
}

// ---- company manifests ----

TEST(DemoManifests, ParseAndRejectMalformedOnes) {
  TDemoManifest m = ParseDemoManifest({"company/B02/company.cfg", "# shares\nlike A01\n  DICTIONARY B02.add \n"});
  EXPECT_EQ(m.Folder, "company/B02");
  EXPECT_EQ(m.Like, "A01");
  EXPECT_EQ(m.Dictionary, "B02.add");

  const std::vector<std::pair<TDemoScript, std::string>> bad = {
      {{"company/B02/company.cfg", "LIKE A01\nLIKE C03\n"}, "line 2: LIKE needs one company code, once"},
      {{"company/B02/company.cfg", "LIKE\n"}, "line 1: LIKE needs"},
      {{"company/B02/company.cfg", "DICTIONARY a.add b.add\n"}, "line 1: DICTIONARY needs"},
      {{"company/B02/company.cfg", "LIKE B02\n"}, "cannot be LIKE itself"},
      {{"company/B02/company.cfg", "\nCOPY A01\n"}, "line 2: unknown statement 'COPY'"},
      {{"base/company.cfg", "LIKE A01\n"}, "belongs in a company folder"},
      {{"company/company.cfg", "LIKE A01\n"}, "belongs in a company folder"},
      {{"company/B02/x/company.cfg", "LIKE A01\n"}, "belongs in a company folder"},
  };
  for (const auto& [script, message] : bad) {
    try {
      ParseDemoManifest(script);
      ADD_FAILURE() << "accepted: " << script.Path << ": " << script.Text;
    } catch (const EDemoError& error) {
      EXPECT_NE(error.Message().find("demo script " + script.Path), std::string::npos) << error.Message();
      EXPECT_NE(error.Message().find(message), std::string::npos) << error.Message();
    }
  }
}

// The tables a folder gets, as "FILE:first value of the first row:dictionary:password".
std::vector<std::string> Describe(const std::vector<TDemoTable>& tables, const std::string& folder) {
  std::vector<std::string> out;
  for (const TDemoTable& t : tables) {
    if (t.Folder != folder) continue;
    out.push_back(t.FileName + ":" + (t.Rows.empty() ? "" : t.Rows[0][0]) + ":" + t.Dictionary + ":" +
                  t.EncryptPassword);
  }
  return out;
}

TEST(DemoManifests, LikeSharesEveryTableTheCompanyDoesNotGiveItself) {
  std::vector<TDemoScript> scripts = {
      {"company/A01/a.tbl", "TABLE A.ADT\nFIELD F Char 4\nROW a01\n"},
      {"company/A01/secret.tbl", "TABLE SECRET.ADT\nFIELD F Char 4\nENCRYPT KVRNA7310\nROW s\n"},
      {"company/A01/shared.tbl", "TABLE Shared.adt\nFIELD F Char 4\nROW from A01\n"},
      {"company/B02/company.cfg", "LIKE A01\nDICTIONARY B02.add\n"},
      // Overrides A01's table of the same file name, whatever the case.
      {"company/B02/mine.tbl", "TABLE SHARED.ADT\nFIELD F Char 4\nROW b02\n"},
      {"company/B02/own.tbl", "TABLE OWN.ADT\nFIELD F Char 4\nENCRYPT KVRNA7310\nROW o\n"},
      {"company/C03/company.cfg", "LIKE B02\n"},
  };
  std::vector<TDemoTable> tables = ResolveDemoTables(scripts);
  EXPECT_EQ(Describe(tables, "company/A01"),
            (std::vector<std::string>{"A.ADT:a01::", "SECRET.ADT:s::KVRNA7310", "Shared.adt:from A01::"}));
  // Every B02 table joins its dictionary and loses its table password.
  EXPECT_EQ(Describe(tables, "company/B02"),
            (std::vector<std::string>{"SHARED.ADT:b02:B02.add:", "OWN.ADT:o:B02.add:", "A.ADT:a01:B02.add:",
                                      "SECRET.ADT:s:B02.add:"}));
  // A chain of LIKE: C03 gets B02's tables as free tables.
  EXPECT_EQ(Describe(tables, "company/C03"),
            (std::vector<std::string>{"SHARED.ADT:b02::", "OWN.ADT:o::", "A.ADT:a01::", "SECRET.ADT:s::"}));

  // A table script added to A01 later reaches B02 without a change to B02.
  scripts.push_back({"company/A01/new.tbl", "TABLE NEW.ADT\nFIELD F Char 4\n"});
  std::vector<std::string> b02 = Describe(ResolveDemoTables(scripts), "company/B02");
  EXPECT_NE(std::find(b02.begin(), b02.end(), "NEW.ADT::B02.add:"), b02.end());
}

TEST(DemoManifests, BrokenSharingIsRefusedBeforeAnythingIsWritten) {
  const std::vector<std::pair<std::vector<TDemoScript>, std::string>> bad = {
      {{{"company/B02/company.cfg", "LIKE Z09\n"}}, "company/B02/company.cfg: LIKE Z09: there is no such demo company"},
      {{{"company/A01/company.cfg", "LIKE B02\n"}, {"company/B02/company.cfg", "LIKE A01\n"}}, "in a circle"},
      {{{"company/A01/x.tbl", "TABLE X.ADT\nFIELD F Char 1\n"}, {"company/A01/y.tbl", "TABLE x.adt\nFIELD F Char 1\n"}},
       "demo script company/A01/y.tbl: table x.adt is made twice in company/A01"},
      {{{"company/A01/company.cfg", "LIKE B02\n"}, {"company/A01/company.cfg", "LIKE B02\n"}}, "a second manifest"},
  };
  for (const auto& [scripts, message] : bad) {
    TempDir dir;
    std::vector<std::string> report;
    try {
      CreateDemoDatabases(dir.Path(), scripts, report);
      ADD_FAILURE() << "accepted: " << message;
    } catch (const EDemoError& error) {
      EXPECT_NE(error.Message().find(message), std::string::npos) << error.Message();
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path())) << message;
  }
}

TEST(DemoManifests, SharedTablesAreMadeInTheCompanyAndFailuresNameBoth) {
  TempDir dir;
  std::vector<std::string> report;
  CreateDemoDatabases(dir.Path(),
                      {{"company/A01/t.tbl", "TABLE T.ADT\nFIELD N Integer\nROW 7\n"},
                       {"company/B02/company.cfg", "LIKE A01\n"}},
                      report);
  EXPECT_TRUE(Exists(dir.Path() + "/company/A01/T.ADT"));
  EXPECT_TRUE(Exists(dir.Path() + "/company/B02/T.ADT"));
  try {
    // B02's T2.ADT comes from A01's script; it exists already.
    CreateDemoDatabases(dir.Path(),
                        {{"company/B02/company.cfg", "LIKE A01\n"},
                         {"company/A01/x.tbl", "TABLE T2.ADT\nFIELD N Integer\nROW 1x\n"}},
                        report);
    ADD_FAILURE() << "a bad value was loaded";
  } catch (const EDemoError& error) {
    EXPECT_NE(error.Message().find("demo script company/A01/x.tbl (for company/B02) line 3, table T2.ADT, field N"),
              std::string::npos)
        << error.Message();
  }
}

TEST(DemoScripts, TodayIsTheDayTheDemoIsMade) {
  TempDir dir;
  std::vector<std::string> report;
  const DateTime before = Today();
  CreateDemoDatabases(dir.Path(), {{"base/t.tbl", "TABLE t.adt\nFIELD D Date\nROW today\nROW 24/05/2005\n"}}, report);
  const DateTime after = Today();
  TDbTable t;
  t.SetName("T");
  t.SetDatabaseName(dir.Path());
  t.SetTableName("t.adt");
  t.Open();
  const DateTime made = t.FieldByName("D").AsDateTime();
  EXPECT_TRUE(made == before || made == after) << made;
  t.Next();
  EXPECT_EQ(t.FieldByName("D").AsDateTime(), EncodeDate(2005, 5, 24));
}

// ---- the demo companies themselves ----

struct DemoBase : ::testing::Test {
  static void SetUpTestSuite() {
    dir = new TempDir;
    std::vector<std::string> report;
    CreateDemoDatabases(dir->Path(), DemoScripts(), report);
  }
  static void TearDownTestSuite() {
    delete dir;
    dir = nullptr;
  }
  static std::string Company(const std::string& code) { return dir->Path() + "/company/" + code; }
  static TempDir* dir;
};
TempDir* DemoBase::dir = nullptr;

// The file names of the tables the scripts make in a company folder.
std::set<std::string> TableFiles(const std::string& code) {
  std::set<std::string> names;
  for (const TDemoTable& t : ResolveDemoTables(DemoScripts()))
    if (t.Folder == "company/" + code) names.insert(UpperCase(t.FileName));
  return names;
}

TEST_F(DemoBase, EncryptedTablesOfA01AreThoseEveryTaskOpensWithThePassword) {
  // The tasks that open these give the table password on free tables; every
  // other table is opened without one by some task and stays plain.
  const std::set<std::string> encrypted = {"APPRFLOW.ADT", "EMPLIEU.ADT", "EMPLOYEE.ADT", "EMPMISC.ADT",
                                           "FORMIR21.ADT", "LIEUTRX1.ADT", "SETUP.ADT",   "TPAYSLIP.ADT"};
  TComponent owner;
  TDbConnection connection(&owner);
  connection.SetName("A01");
  connection.SetConnectPath(Company("A01"));
  std::set<std::string> seen;
  for (const std::string& file : TableFiles("A01")) {
    TDbTable table(&owner);
    table.SetName("T");
    table.SetDbConnection(&connection);
    table.SetTableName(file);
    table.Open();
    uint16_t isEncrypted = 0;
    ASSERT_EQ(EngIsTableEncrypted(table.TableHandle(), &isEncrypted), ENG_OK) << file;
    if (isEncrypted) {
      seen.insert(file);
      EXPECT_THROW(table.First(), EDbEngineError) << file << " shows its records without the password";
      table.EnableEncryption(TForm1Logic::GetAdminPassword());
      table.First();
      EXPECT_FALSE(table.Eof()) << file;
      EXPECT_FALSE(table.Fields(0).AsString().empty()) << file;
    }
    table.Close();
  }
  EXPECT_EQ(seen, encrypted);
}

TEST_F(DemoBase, DictionaryCompanyHoldsEveryTableOfA01AndOpensThroughADbsysLogin) {
  EXPECT_TRUE(Exists(Company("B02") + "/B02.add"));
  EXPECT_FALSE(Exists(Company("A01") + "/A01.add"));
  EXPECT_FALSE(Exists(Company("C03") + "/C03.add"));
  const std::set<std::string> a01 = TableFiles("A01"), b02 = TableFiles("B02");
  EXPECT_TRUE(std::includes(b02.begin(), b02.end(), a01.begin(), a01.end()));
  EXPECT_EQ(std::string(kDemoDictionaryPassword), TForm1Logic::GetAdminPassword());

  TComponent owner;
  TDbConnection connection(&owner);
  connection.SetName("B02");
  connection.SetLoginPrompt(false);
  connection.SetUsername("DBSYS");
  connection.SetPassword(TForm1Logic::GetAdminPassword());
  connection.SetConnectPath(Company("B02") + "/B02.add");
  EXPECT_TRUE(connection.IsDictionaryConnection());
  // Every table opens by its name through the dictionary, without a table
  // password, and shows its records.
  for (const std::string& file : b02) {
    TDbTable table(&owner);
    table.SetName("T");
    table.SetDbConnection(&connection);
    table.SetTableName(file.substr(0, file.rfind('.')));
    table.Open();
    uint16_t isEncrypted = 1;
    ASSERT_EQ(EngIsTableEncrypted(table.TableHandle(), &isEncrypted), ENG_OK) << file;
    EXPECT_EQ(isEncrypted, 0) << file;
    table.First();
    table.Close();
  }
  // B02's own employee list overrides A01's; the keys the tasks look for stay.
  TDbTable employee(&owner);
  employee.SetName("Employee");
  employee.SetDbConnection(&connection);
  employee.SetTableName("EMPLOYEE");
  employee.SetIndexFieldNames("EMP_NO");
  employee.Open();
  ASSERT_TRUE(employee.FindKey({std::string("1146")}));
  EXPECT_EQ(employee.FieldByName("EMP_NAME").AsString(), "Chong Ah Kow");
  EXPECT_TRUE(employee.FindKey({std::string("B101")}));
  employee.Close();
  connection.Disconnect();

  // A wrong password is refused.
  TDbConnection intruder(&owner);
  intruder.SetName("Intruder");
  intruder.SetLoginPrompt(false);
  intruder.SetUsername("DBSYS");
  intruder.SetPassword("guess");
  intruder.SetConnectPath(Company("B02") + "/B02.add");
  EXPECT_THROW(intruder.Connect(), EDbEngineError);
}

TEST(DemoScripts, NumbersOfScriptsReadTheSameUnderACommaLocale) {
  DBU_UNDER_COMMA_LOCALE();
  TempDir dir;
  std::vector<std::string> report;
  CreateDemoDatabases(dir.Path(),
                      {{"base/n.tbl", "TABLE N.ADT\nFIELD N Numeric 6 2\nFIELD F Double\nROW 12.5 | 12.9\n"}}, report);
  TComponent owner;
  TDbConnection base(&owner);
  base.SetName("Base");
  base.SetConnectPath(dir.Path());
  TDbTable t(&owner);
  t.SetDbConnection(&base);
  t.SetTableName("N.ADT");
  t.Open();
  EXPECT_EQ(t.FieldByName("N").AsFloat(), 12.5);
  EXPECT_EQ(t.FieldByName("F").AsFloat(), 12.9);
}

TEST(DemoScripts, DemoBaseReadsBackThroughTheDataLayer) {
  TempDir dir;
  std::vector<std::string> report;
  CreateDemoDatabases(dir.Path(), DemoScripts(), report);
  EXPECT_TRUE(Exists(dir.Path() + "/email.adt"));
  EXPECT_TRUE(Exists(dir.Path() + "/ctc.adt"));
  for (const char* code : {"A01", "B02", "C03"}) {
    EXPECT_TRUE(Exists(dir.Path() + "/company/" + code + "/EMPLOYEE.ADT")) << code;
    EXPECT_TRUE(Exists(dir.Path() + "/company/" + code + "/CODE.ADT")) << code;
  }
  // A01's employees are encrypted: no file of the table, its journal
  // included, holds a name in clear.
  ASSERT_TRUE(Exists(dir.Path() + "/company/A01/EMPLOYEE.jrn"));
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path() + "/company/A01")) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("EMPLOYEE.", 0) != 0) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(bytes.find("Tan Mei Ling"), std::string::npos) << name;
  }

  TComponent owner;
  TDbConnection base(&owner);
  base.SetName("Base");
  base.SetConnectPath(dir.Path());
  TDbTable companies(&owner);
  companies.SetDbConnection(&base);
  companies.SetTableName("mcompany.adt");
  companies.Open();
  ASSERT_EQ(companies.FieldCount(), 7u);
  const std::vector<std::pair<const char*, TFieldType>> kinds = {
      {"COMPANY_CODE", ftString}, {"COMPANY_NAME", ftString}, {"TOTAL_STAFF", ftInteger},
      {"PAYROLL_ACCESS_NO", ftInteger}, {"MERGE", ftString}, {"BACKUPDATE2", ftDate}, {"BACKUPDATE", ftDate}};
  for (size_t i = 0; i < kinds.size(); ++i) {
    EXPECT_EQ(companies.Fields(i).FieldName(), kinds[i].first);
    EXPECT_EQ(companies.Fields(i).DataType(), kinds[i].second) << kinds[i].first;
  }
  EXPECT_EQ(companies.FieldByName("COMPANY_CODE").Size(), 8u);
  EXPECT_EQ(companies.FieldByName("COMPANY_NAME").Size(), 40u);
  EXPECT_EQ(companies.FieldByName("COMPANY_CODE").AsString(), "A01");
  EXPECT_EQ(companies.FieldByName("TOTAL_STAFF").AsInteger(), 6);
  EXPECT_EQ(FormatDateTime("dd/MM/yyyy", companies.FieldByName("BACKUPDATE2").AsDateTime()), "24/05/2005");
  companies.Next();
  EXPECT_TRUE(companies.FieldByName("BACKUPDATE").IsNull());
  companies.Next();
  EXPECT_EQ(companies.FieldByName("COMPANY_CODE").AsString(), "C03");
  companies.Next();
  EXPECT_TRUE(companies.Eof());
  companies.Close();

  companies.SetTableName("email.adt");
  companies.Open();
  companies.Next();
  EXPECT_EQ(companies.FieldByName("emp_no").AsString(), " 6623");  // blanks kept before the number
}

}  // namespace
}  // namespace dbu
