// Version tasks: 8 stores a database version text in "PAYPARA"; 37 copies
// the nine code tables of the selected company into another company's
// database, record by record, through Code (source, DbConnection1) and
// groupCode (destination, re-attached to DbConnection3 for the rest of the
// process). Cancel in 37's input box, a destination code that names no
// single folder under company/, and the selected company as destination
// end the run before anything is touched.
#include <array>
#include <filesystem>
#include <string>
#include <string_view>

#include "companycode.h"
#include "strutil.h"
#include "tasks.h"
#include "unit1logic.h"

namespace dbu {
namespace {

// Task 8.
TTaskEnd SetDatabaseVersion(TForm1Logic& form) {
  TDbTable& table = form.MEDSCH;
  table.Close();
  table.SetTableName("PAYPARA");
  table.Open();
  const std::string version = form.InputBox("Input Box", "Enter the version", "8.57");
  table.Edit();
  table.FieldByName("version").SetAsString(version);
  table.Post();
  table.Close();
  return TTaskEnd::Normal;
}

constexpr std::array<const char*, 9> kCodeTables = {"CAPDEF.ADT", "CATDEF.ADT",  "CATTOGS.ADT", "CODE.ADT",   "GLCODE.ADT",
                                                    "GL_NATURE.ADT", "GRPCODE.ADT", "PRECAT.ADT", "PRECOST.ADT"};

constexpr const char* kCopyCancelled = "Copy Code table cancelled: nothing copied.";

// The folder a connect path stands for, for comparing two databases.
std::string DatabaseFolder(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  if (path.size() > 4 && SameText(std::string_view(path).substr(path.size() - 4), ".add")) path = std::filesystem::path(path).parent_path().string();
  return path;
}

bool SameDatabase(const std::string& a, const std::string& b) {
  const std::string folderA = DatabaseFolder(a);
  const std::string folderB = DatabaseFolder(b);
  std::error_code ec;
  if (std::filesystem::equivalent(folderA, folderB, ec)) return true;
  return SameText(folderA, folderB);
}

// Task 37.
TTaskEnd CopyCodeTables(TForm1Logic& form) {
  std::string destination = "1800";
  // Cancel abandons the copy; it would otherwise go ahead to the default.
  if (!form.InputQuery("Input Box", "Enter the destination company code ", destination)) {
    form.AddLogLine(kCopyCancelled);
    return TTaskEnd::Stopped;
  }
  // The destination is emptied: a code naming anything but one company
  // folder is refused before any table is touched.
  const std::string destinationPath = form.CompanyPath(destination, "Destination company code");
  // Copying a company into itself would empty each table before reading it.
  if (SameDatabase(destinationPath, form.DbConnection1.ConnectPath())) {
    form.ShowMessage("Unable to copy the code tables of company " + form.CompanyCode() + " into itself.");
    return TTaskEnd::Stopped;
  }
  form.DbConnection3.SetConnectPath(destinationPath);

  TDbTable& source = form.Code;
  TDbTable& target = form.groupCode;
  source.SetIndexFieldNames("");
  target.SetIndexFieldNames("");
  target.SetExclusive(true);
  target.SetDbConnection(&form.DbConnection3);
  // Its database name still names the company connection, which would
  // make the table path "DbConnection1/..." inside the destination folder.
  target.SetDatabaseName(form.DbConnection3.Name());

  for (const char* name : kCodeTables) {
    source.Close();
    target.Close();
    source.SetTableName(name);
    target.SetTableName(name);
    // The source is opened first so that a source table that cannot be
    // read leaves its destination table as it was.
    source.Open();
    target.EmptyTable();
    target.Open();
    form.AddLogLine("Perform Copying table: " + target.TableName());
    for (source.First(); !source.Eof(); source.Next()) {
      target.Append();
      for (size_t k = 0; k < source.FieldCount(); ++k) {
        const TField& field = source.Fields(k);
        target.FieldByName(field.FieldName()).SetAsVariant(field.AsVariant());
      }
      target.Post();
    }
  }
  target.Open();
  source.Open();
  return TTaskEnd::Normal;
}

}  // namespace

void InstallVersionTasks(TTaskDispatcher& dispatcher) {
  dispatcher.SetBody(8, SetDatabaseVersion);
  dispatcher.SetBody(37, CopyCodeTables);
}

}  // namespace dbu
