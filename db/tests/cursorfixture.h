// A connection named DbConnection1 on a temporary folder of engine tables,
// cursors named after the window's, and a helper that catches a message.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "dbconnection.h"
#include "dbtable.h"
#include "enginetables.h"

namespace dbu::test {

class CursorFixture : public EngineFolder {
 protected:
  void SetUp() override {
    EngineFolder::SetUp();
    form.SetName("Form1");
    conn.SetName("DbConnection1");
    conn.SetLoginPrompt(false);
    conn.SetDbServerTypes(stLOCAL | stREMOTE);
    conn.SetConnectPath(folder);
  }
  void TearDown() override {
    conn.Disconnect();
    EngineFolder::TearDown();
  }
  std::unique_ptr<TDbTable> Cursor(const std::string& tableName, const std::string& name = "MEDSCH") {
    auto t = std::make_unique<TDbTable>(&form);
    t->SetName(name);
    t->SetDatabaseName("DbConnection1");
    t->SetTableName(tableName);
    return t;
  }
  void Create(const std::string& name, const std::string& fields) {
    EngineFolder::Create(name, fields);
    created = name;
    exclusive = false;
  }
  // Indexes need the table opened exclusively: the created table is
  // reopened so the first time.
  void Index(const std::string& tag, const std::string& fields, uint32_t options = 0) {
    if (!exclusive) {
      ENG_OK_OR_FAIL(EngCloseTable(table));
      ENG_OK_OR_FAIL(EngOpenTable(connection, created.c_str(), nullptr, ENG_TABLE_NATIVE, ENG_CHARS_ANSI,
                                  ENG_LOCK_PROPRIETARY, ENG_CHECK_RIGHTS, ENG_OPEN_EXCLUSIVE, &table));
      exclusive = true;
    }
    ENGHANDLE index = 0;
    ENG_OK_OR_FAIL(EngCreateIndex(table, tag.c_str(), fields.c_str(), options, 0, &index));
  }
  template <typename F>
  static std::string ErrorOf(F&& f) {
    try {
      f();
    } catch (const EDatabaseError& e) {
      return e.Message();
    }
    return "<no error>";
  }
  template <typename F>
  static int32_t CodeOf(F&& f) {
    try {
      f();
    } catch (const EDbEngineError& e) {
      return e.ErrorCode();
    }
    return 0;
  }
  // The values of one field over a walk from the first record.
  static std::string Walk(TDbDataSet& t, const std::string& field) {
    std::string out;
    for (t.First(); !t.Eof(); t.Next()) out += (out.empty() ? "" : ",") + t.FieldByName(field).AsString();
    return out;
  }

  std::string created;
  bool exclusive = false;
  TComponent form;
  TDbConnection conn{&form};
};

}  // namespace dbu::test
