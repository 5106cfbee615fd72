// Demo databases: a base directory with the company list, side tables and a
// folder of free tables per company, built from the table scripts under
// demo/ (compiled into the program).
//
// A script describes one table as data, one statement per line:
//   # comment
//   TABLE <file name>
//   FIELD <name> <engine type> [<length> [<decimals>]]
//   INDEX <tag> <field;field...> [UNIQUE]
//   ROW <value> | <value> | ...        (one value per field, in field order)
//   ENCRYPT <password>                 (encrypt the table with the password)
//   DICTIONARY <file.add>              (add the table to that data dictionary
//                                       of its folder, made when missing)
// Values: text as written (surrounding blanks removed, kept inside double
// quotes: " 6623 "), integers and numbers in decimal, dates as dd/mm/yyyy
// (TODAY: the day the demo is made), logicals T/F; an empty value leaves the
// field empty. A script at base/<x>.tbl makes its table in the base
// directory; one at <folder>/<x>.tbl makes it in that folder below the base
// directory (company/<code>/...).
//
// A company folder may hold a manifest, company/<code>/company.cfg:
//   LIKE <code>                        (the company also gets every table of
//                                       that company it has no script for)
//   DICTIONARY <file.add>              (every table of the company joins that
//                                       dictionary; their ENCRYPT lines are
//                                       dropped: a dictionary's tables are
//                                       opened without a table password)
// so that a company can share another's tables and override a few.
//
// Indexes, encryption and dictionaries that this engine build cannot make
// yet are reported and skipped (the table stays a plain free table), so
// these features need only script lines. Stateless apart from the files it
// writes.
#pragma once

#include <string>
#include <vector>

#include "dberrors.h"

namespace dbu {

struct TDemoScript {
  std::string Path;  // relative to demo/, "/" separated
  std::string Text;
};

// The scripts compiled into the program.
const std::vector<TDemoScript>& DemoScripts();

// The user and password a demo dictionary is made with: those the window's
// connections log in with.
constexpr const char* kDemoDictionaryUser = "DBSYS";
constexpr const char* kDemoDictionaryPassword = "KVRNA7310";

// A script that cannot be read or loaded; the message names the script,
// the line and, where one is involved, the table, field and value.
class EDemoError : public Exception {
 public:
  using Exception::Exception;
};

struct TDemoField {
  std::string Name;
  std::string Type;
  std::string Length;
  std::string Decimals;
};

struct TDemoIndex {
  std::string Tag;
  std::string Fields;
  bool Unique = false;
};

struct TDemoTable {
  std::string Script;  // the script's path, for messages
  std::string Folder;  // relative to the base directory; "" for the base itself
  std::string FileName;
  std::vector<TDemoField> Fields;
  std::vector<TDemoIndex> Indexes;
  std::string EncryptPassword;  // "" when the table is not encrypted
  std::string Dictionary;       // "" for a free table
  std::vector<std::vector<std::string>> Rows;
  std::vector<int> RowLines;  // script line of each row, for messages
};

TDemoTable ParseDemoScript(const TDemoScript& script);

// The file name of a company manifest.
constexpr const char* kDemoManifestName = "company.cfg";

struct TDemoManifest {
  std::string Folder;      // the company folder it describes
  std::string Like;        // company code whose tables it shares, or ""
  std::string Dictionary;  // dictionary every table joins, or ""
};

TDemoManifest ParseDemoManifest(const TDemoScript& script);

// The tables that the scripts make, manifests applied: each folder's own
// tables in script order, then those it shares through LIKE. Fails on a
// manifest outside a company folder, an unknown or circular LIKE, and on
// two scripts of one folder that make the same table.
std::vector<TDemoTable> ResolveDemoTables(const std::vector<TDemoScript>& scripts);

// Writes every table of ResolveDemoTables(scripts) below baseDir (created
// when missing). An existing table is never overwritten: its script fails. Progress lines
// (one per table, and skipped features) go to report.
void CreateDemoDatabases(const std::string& baseDir, const std::vector<TDemoScript>& scripts,
                         std::vector<std::string>& report);

}  // namespace dbu
