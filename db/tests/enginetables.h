// Real engine tables for cursor tests: a temporary folder, a connection to
// it, and helpers that create tables and append records with engine calls.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "engine.h"

namespace dbu::test {

inline std::string EngineText() {
  uint32_t code = 0;
  char text[600] = {};
  uint16_t len = sizeof text;
  EngGetLastError(&code, text, &len);
  return std::to_string(code) + " " + text;
}

#define ENG_OK_OR_FAIL(call) ASSERT_EQ((call), static_cast<ENGRESULT>(ENG_OK)) << #call << ": " << ::dbu::test::EngineText()

class EngineFolder : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/dbaccess_test_XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    folder = pattern;
    ENG_OK_OR_FAIL(EngConnect(folder.c_str(), &connection));
  }
  void TearDown() override {
    if (connection != 0) EngDisconnect(connection);
    std::error_code ec;
    std::filesystem::remove_all(folder, ec);
  }

  // Creates the table and leaves it open in `table` for appending.
  void Create(const std::string& name, const std::string& fields) {
    ENG_OK_OR_FAIL(EngCreateTable(connection, name.c_str(), fields.c_str(), 0, &table));
  }
  void Append() { ENG_OK_OR_FAIL(EngAppendRecord(table)); }
  void SetText(uint16_t field, const std::string& text) {
    ENG_OK_OR_FAIL(EngSetField(table, field, reinterpret_cast<const uint8_t*>(text.data()),
                               static_cast<uint32_t>(text.size())));
  }
  template <typename T>
  void SetRaw(uint16_t field, T value) {
    ENG_OK_OR_FAIL(EngSetFieldRaw(table, field, reinterpret_cast<const uint8_t*>(&value), sizeof value));
  }
  void SetEmpty(uint16_t field) { ENG_OK_OR_FAIL(EngSetEmpty(table, field)); }
  void Write() { ENG_OK_OR_FAIL(EngWriteRecord(table)); }
  void CloseCreated() {
    ENG_OK_OR_FAIL(EngCloseTable(table));
    table = 0;
  }
  // A table "people" of ID (integer) and NAME (char 10) with the given ids.
  void People(const std::vector<int32_t>& ids) {
    Create("people", "ID,Integer;NAME,Char,10");
    for (int32_t id : ids) {
      Append();
      SetRaw<int32_t>(1, id);
      SetText(2, "P" + std::to_string(id));
      Write();
    }
    CloseCreated();
  }

  std::string folder;
  ENGHANDLE connection = 0;
  ENGHANDLE table = 0;
};

}  // namespace dbu::test
