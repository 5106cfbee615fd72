// Helpers of the tests of the structure, version and asset tasks: a base
// directory built per case from table scripts, a window logic over a
// scripted user interface, runs of one task, and a reader that shows a
// table's rows as text through a connection of its own.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "../../app/tests/apptestsupport.h"  // the app tests share their scripted UI
#include "dbconnection.h"
#include "dbtable.h"
#include "demodb.h"
#include "unit1logic.h"

namespace dbu::test {

// The company list every case's base directory carries.
inline const char* kCompanyListScript =
    "TABLE mcompany.adt\nFIELD COMPANY_CODE Char 8\nFIELD COMPANY_NAME Char 40\n"
    "ROW A01 | Arden\nROW B02 | Bellfield\nROW C03 | Corvale\n";

class TaskRunFixture : public ::testing::Test {
 protected:
  // Adds a table script under company/<company>/.
  void Table(const std::string& company, const std::string& script) {
    scripts_.push_back({"company/" + company + "/t" + std::to_string(scripts_.size()) + ".tbl", script});
  }
  // Builds the base directory from the scripts given so far.
  void Build() {
    std::vector<TDemoScript> all = scripts_;
    all.push_back({"base/mcompany.tbl", kCompanyListScript});
    std::vector<std::string> report;
    CreateDemoDatabases(base.Path(), all, report);
  }
  TForm1Logic& Form() {
    if (!form) {
      form = std::make_unique<TForm1Logic>(ui);
      form->SetProgramFolder(base.Base());
      form->SetBaseDirOverride(base.Base());
      EXPECT_TRUE(form->FormCreate());
    }
    return *form;
  }
  // One press of "Process" with task selected on company; the events of
  // the run replace those recorded before.
  TRunEnd Run(int task, const std::string& company = "A01") {
    TForm1Logic& f = Form();
    ui.Events.clear();
    ui.SetCompanyText(company);
    ui.SetTaskIndex(task);
    return f.Button1Click();
  }
  // Ends the window logic: every table it holds is closed.
  void CloseForm() { form.reset(); }

  std::string Folder(const std::string& company) const { return base.Base() + "company/" + company; }

  // The table's records in natural order, one line each, fields joined by
  // "|"; an empty field shows as "~".
  std::string Rows(const std::string& company, const std::string& table, const std::vector<std::string>& fields) {
    TComponent owner;
    TDbConnection connection(&owner);
    connection.SetName("ReaderConnection");
    connection.SetLoginPrompt(false);
    connection.SetDbServerTypes(stLOCAL | stREMOTE);
    connection.SetConnectPath(Folder(company));
    TDbTable reader(&owner);
    reader.SetName("Reader");
    reader.SetDbConnection(&connection);
    reader.SetTableName(table);
    reader.Open();
    // Tables of free databases may be encrypted with the administrator
    // password (the structure tasks encrypt them).
    uint16_t encrypted = 0;
    if (EngIsTableEncrypted(reader.TableHandle(), &encrypted) == ENG_OK && encrypted)
      reader.EnableEncryption(TForm1Logic::GetAdminPassword());
    std::string out;
    for (reader.First(); !reader.Eof(); reader.Next()) {
      std::string line;
      for (const std::string& name : fields) {
        const TField& field = reader.FieldByName(name);
        line += (line.empty() ? "" : "|") + (field.IsNull() ? std::string("~") : field.AsString());
      }
      out += line + "\n";
    }
    reader.Close();
    connection.Disconnect();
    return out;
  }

  TempDir base;
  TScriptedUI ui;
  std::unique_ptr<TForm1Logic> form;

 private:
  std::vector<TDemoScript> scripts_;
};

}  // namespace dbu::test
