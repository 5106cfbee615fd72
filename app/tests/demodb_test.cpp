// Demo database scripts: parsing, loading through the engine, failures
// that name the script, line, table, field and value.
#include "demodb.h"

#include <gtest/gtest.h>

#include "apptestsupport.h"
#include "dbconnection.h"
#include "dbtable.h"
#include "formatsettings.h"

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
