// Helpers of the task tests: a base directory with one small company
// database built from table scripts for each case, a window logic over a
// scripted user interface, runs of one task, and reading a table back.
//
// Each fixture owns its temporary base directory; tables are read back
// through their own cursor on an implicit connection, closed before the
// next run. Single-threaded, like the window.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../../app/tests/apptestsupport.h"
#include "datetime.h"
#include "dbtable.h"
#include "unit1logic.h"

namespace dbu {

// Routines of the task families that the tests call directly.
std::string MapSubCode(TForm1Logic& f, const std::string& subCode);

struct TaskTest : ::testing::Test {
  static constexpr const char* kCompany = "T01";
  TempDir base;
  TScriptedUI ui;
  std::unique_ptr<TForm1Logic> form;

  std::string company = kCompany;

  std::string CompanyDir() const { return base.Base() + "company/" + company; }

  // Builds the base directory: the company list with T01, the given company
  // tables (scripts named "<file>.tbl" => body) and base directory tables.
  void Build(const std::vector<TDemoScript>& companyTables, const std::vector<TDemoScript>& baseTables = {}) {
    std::vector<TDemoScript> scripts{{"base/mcompany.tbl", "TABLE mcompany.adt\nFIELD COMPANY_CODE Char 8\nROW T01\n"}};
    for (const TDemoScript& s : companyTables) scripts.push_back({std::string("company/T01/") + s.Path, s.Text});
    for (const TDemoScript& s : baseTables) scripts.push_back({"base/" + s.Path, s.Text});
    std::vector<std::string> report;
    CreateDemoDatabases(base.Path(), scripts, report);
    StartForm();
  }
  // Builds the demo base directory and selects its company A01.
  void BuildDemo() {
    MakeDemo(base.Path());
    company = "A01";
    StartForm();
  }
  void StartForm() {
    form = std::make_unique<TForm1Logic>(ui);
    form->SetProgramFolder(base.Base());
    form->SetBaseDirOverride(base.Base());
    ASSERT_TRUE(form->FormCreate()) << (ui.Events.empty() ? "" : ui.Events.front());
    ui.SetCompanyText(company);
  }

  // One press of "Process" with task index selected; the events and log
  // lines of earlier runs are cleared first.
  TRunEnd Run(int index, bool confirm = true) {
    ui.Events.clear();
    ui.ConfirmAnswer = confirm;
    logStart = ui.LogLines().size();
    ui.SetTaskIndex(index);
    return form->Button1Click();
  }
  // The log lines of the last run.
  std::vector<std::string> Log() const {
    std::vector<std::string> all = ui.LogLines();
    return std::vector<std::string>(all.begin() + static_cast<long>(logStart), all.end());
  }

  // The table's records in the order of index fields (natural order when
  // empty), each as its fields' texts joined by "|".
  std::vector<std::string> Table(const std::string& table, const std::vector<std::string>& fields,
                                 const std::string& indexFields = "", const std::string& folder = "") {
    TDbTable t;
    t.SetName("Check");
    t.SetDatabaseName(folder.empty() ? CompanyDir() : folder);
    t.SetTableName(table);
    if (!indexFields.empty()) t.SetIndexFieldNames(indexFields);
    t.Open();
    // Some tables of free databases are encrypted with the administrator
    // password; a plain table only remembers it.
    t.EnableEncryption(TForm1Logic::GetAdminPassword());
    std::vector<std::string> rows;
    for (t.First(); !t.Eof(); t.Next()) {
      std::string row;
      for (size_t i = 0; i < fields.size(); ++i) row += (i ? "|" : "") + t.FieldByName(fields[i]).AsString();
      rows.push_back(row);
    }
    t.Close();
    return rows;
  }

  size_t logStart = 0;
};

using Rows = std::vector<std::string>;
using Events = std::vector<std::string>;

}  // namespace dbu
