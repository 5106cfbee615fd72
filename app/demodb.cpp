// Demo database scripts: parser and loader over the engine interface.
#include "demodb.h"

#include <charconv>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string_view>

#include "engine.h"
#include "recordcodec.h"
#include "strutil.h"

namespace dbu {

namespace {

std::string Trim(const std::string& text) {
  size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string::npos) return std::string();
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> words;
  for (std::string w; in >> w;) words.push_back(w);
  return words;
}

std::vector<std::string> Cells(const std::string& text) {
  std::vector<std::string> cells;
  size_t start = 0;
  for (;;) {
    size_t bar = text.find('|', start);
    std::string cell = Trim(text.substr(start, bar == std::string::npos ? std::string::npos : bar - start));
    // A value in double quotes keeps its blanks.
    if (cell.size() >= 2 && cell.front() == '"' && cell.back() == '"') cell = cell.substr(1, cell.size() - 2);
    cells.push_back(cell);
    if (bar == std::string::npos) return cells;
    start = bar + 1;
  }
}

std::string EngineErrorText() {
  uint32_t code = 0;
  char text[600] = {0};
  uint16_t len = sizeof text;
  if (EngGetLastError(&code, text, &len) != ENG_OK) return "engine error";
  return std::string(text) + " (" + std::to_string(code) + ")";
}

class TEngineJulian : public TJulianTextConverter {
 public:
  double StringToJulian(const std::string& yyyymmdd) const override {
    double julian = 0;
    if (EngConvertStringToJulian(yyyymmdd.c_str(), static_cast<uint16_t>(yyyymmdd.size()), &julian) != ENG_OK)
      throw EConvertError("'" + yyyymmdd + "' is not a valid date");
    return julian;
  }
  std::string JulianToString(double julian) const override {
    char text[16] = {0};
    uint16_t len = sizeof text;
    if (EngConvertJulianToString(julian, text, &len) != ENG_OK) return std::string();
    return text;
  }
};

// Fixed dd/mm/yyyy, whatever the process's date format; TODAY is the day the
// demo is made (for the tasks that look for records of the day they run).
DateTime ParseDemoDate(const std::string& text) {
  if (UpperCase(text) == "TODAY") return Today();
  int d = 0, m = 0, y = 0;
  char s1 = 0, s2 = 0;
  std::istringstream in(text);
  DateTime value = 0;
  if (!(in >> d >> s1 >> m >> s2 >> y) || s1 != '/' || s2 != '/' || !in.eof() || !TryEncodeDate(y, m, d, value))
    throw EConvertError("'" + text + "' is not a date dd/mm/yyyy");
  return value;
}

int64_t ParseInteger(const std::string& text) {
  size_t used = 0;
  long long value = 0;
  try {
    value = std::stoll(text, &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || text.empty()) throw EConvertError("'" + text + "' is not an integer");
  return value;
}

// Scripts write numbers with "." whatever the process locale says.
double ParseNumber(const std::string& text) {
  std::string_view digits = text;
  if (digits.size() > 1 && digits[0] == '+' && digits[1] != '-') digits.remove_prefix(1);
  double value = 0;
  const auto read = std::from_chars(digits.data(), digits.data() + digits.size(), value);
  if (read.ec != std::errc() || read.ptr != digits.data() + digits.size()) {
    throw EConvertError("'" + text + "' is not a number");
  }
  return value;
}

// Encodes one value into a buffer of the field's layout.
std::vector<uint8_t> EncodeValue(const TEngineFieldDef& field, const std::string& value) {
  TEngineFieldDef def = field;
  def.Offset = 0;
  std::vector<uint8_t> raw(def.Length);
  static const TEngineJulian julian;
  switch (def.Type) {
    case ENG_LOGICAL: {
      std::string v = UpperCase(value);
      if (v != "T" && v != "F" && v != "Y" && v != "N" && v != "TRUE" && v != "FALSE")
        throw EConvertError("'" + value + "' is not a logical value (T or F)");
      codec::EncodeBoolean(raw.data(), def, v == "T" || v == "Y" || v == "TRUE");
      break;
    }
    case ENG_INTEGER:
    case ENG_SHORTINT:
    case ENG_AUTOINC:
      codec::EncodeInteger(raw.data(), def, ParseInteger(value));
      break;
    case ENG_NUMERIC:
    case ENG_DOUBLE:
    case ENG_CURDOUBLE:
      codec::EncodeFloat(raw.data(), def, ParseNumber(value));
      break;
    case ENG_DATE:
    case ENG_COMPACTDATE:
      codec::EncodeDateTime(raw.data(), def, ParseDemoDate(value), julian);
      break;
    default:
      throw EConvertError("fields of engine type " + std::to_string(def.Type) + " cannot be given in a script");
  }
  return raw;
}

bool IsTextType(uint16_t type) { return type == ENG_STRING || type == ENG_MEMO || type == ENG_VARCHAR; }

// Engine handles closed whatever way the load ends.
struct THandles {
  ENGHANDLE connection = 0;
  ENGHANDLE table = 0;
  ~THandles() {
    if (table) EngCloseTable(table);
    if (connection) EngDisconnect(connection);
  }
};

// Adds the table to its folder's dictionary, making the dictionary first.
void AddToDictionary(const std::string& folder, const std::string& where, const TDemoTable& table,
                     std::vector<std::string>& report) {
  const std::string path = folder + "/" + table.Dictionary;
  THandles h;
  ENGRESULT result;
  if (std::filesystem::exists(path)) {
    result = EngConnectEx(path.c_str(), ENG_LOCAL_SERVER, kDemoDictionaryUser, kDemoDictionaryPassword, 0,
                          &h.connection);
  } else {
    result = EngDictCreate(path.c_str(), kDemoDictionaryUser, kDemoDictionaryPassword, &h.connection);
  }
  if (result == ENG_OK) {
    std::string name = table.FileName.substr(0, table.FileName.rfind('.'));
    result = EngDictAddTable(h.connection, name.c_str(), table.FileName.c_str());
  } else {
    h.connection = 0;
  }
  if (result == ENG_ERR_NOT_SUPPORTED) {
    report.push_back("note: " + table.FileName + " left a free table: this engine build cannot make dictionaries yet");
    return;
  }
  if (result != ENG_OK) throw EDemoError(where + ", dictionary " + table.Dictionary + ": " + EngineErrorText());
  report.push_back("added " + table.FileName + " to " + path);
}

// The script a table comes from, and the folder it goes to when that is not
// the script's own (a table shared through LIKE).
std::string ScriptName(const TDemoTable& table) {
  std::string name = "demo script " + table.Script;
  const size_t slash = table.Script.rfind('/');
  const std::string scriptFolder = slash == std::string::npos ? std::string() : table.Script.substr(0, slash);
  if (scriptFolder != (table.Folder.empty() ? "base" : table.Folder)) name += " (for " + table.Folder + ")";
  return name;
}

void LoadTable(const std::string& baseDir, const TDemoTable& table, std::vector<std::string>& report) {
  namespace fs = std::filesystem;
  const std::string folder = table.Folder.empty() ? baseDir : baseDir + "/" + table.Folder;
  const std::string scriptName = ScriptName(table);
  const std::string where = scriptName + ", table " + table.FileName;
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) throw EDemoError(where + ": cannot create folder " + folder + ": " + ec.message());

  std::string defs;
  for (const TDemoField& f : table.Fields) {
    if (!defs.empty()) defs += ";";
    defs += f.Name + "," + f.Type;
    if (!f.Length.empty()) defs += "," + f.Length;
    if (!f.Decimals.empty()) defs += "," + f.Decimals;
  }
  THandles h;
  if (EngConnect(folder.c_str(), &h.connection) != ENG_OK) {
    h.connection = 0;
    throw EDemoError(where + ": " + EngineErrorText());
  }
  if (EngCreateTable(h.connection, table.FileName.c_str(), defs.c_str(), ENG_OPEN_EXCLUSIVE, &h.table) != ENG_OK) {
    h.table = 0;
    throw EDemoError(where + ": " + EngineErrorText());
  }
  std::vector<TEngineFieldDef> fields;
  for (uint16_t n = 1; n <= table.Fields.size(); ++n) {
    TEngineFieldDef def;
    def.FieldNum = n;
    def.Name = table.Fields[n - 1].Name;
    if (EngGetFieldType(h.table, n, &def.Type) != ENG_OK || EngGetFieldLength(h.table, n, &def.Length) != ENG_OK ||
        EngGetFieldDecimals(h.table, n, &def.Decimals) != ENG_OK)
      throw EDemoError(where + ", field " + def.Name + ": " + EngineErrorText());
    fields.push_back(def);
  }
  for (size_t r = 0; r < table.Rows.size(); ++r) {
    const std::string rowWhere =
        scriptName + " line " + std::to_string(table.RowLines[r]) + ", table " + table.FileName;
    if (EngAppendRecord(h.table) != ENG_OK) throw EDemoError(rowWhere + ": " + EngineErrorText());
    for (size_t c = 0; c < fields.size(); ++c) {
      const std::string& value = table.Rows[r][c];
      if (value.empty()) continue;
      const TEngineFieldDef& def = fields[c];
      ENGRESULT result;
      if (IsTextType(def.Type)) {
        result = EngSetField(h.table, def.FieldNum, reinterpret_cast<const uint8_t*>(value.data()),
                             static_cast<uint32_t>(value.size()));
      } else {
        std::vector<uint8_t> raw;
        try {
          raw = EncodeValue(def, value);
        } catch (const std::exception& error) {
          EngCancelUpdate(h.table);
          throw EDemoError(rowWhere + ", field " + def.Name + ": " + error.what());
        }
        result = EngSetFieldRaw(h.table, def.FieldNum, raw.data(), static_cast<uint32_t>(raw.size()));
      }
      if (result != ENG_OK) {
        std::string text = EngineErrorText();
        EngCancelUpdate(h.table);
        throw EDemoError(rowWhere + ", field " + def.Name + ", value '" + value + "': " + text);
      }
    }
    if (EngWriteRecord(h.table) != ENG_OK) throw EDemoError(rowWhere + ": " + EngineErrorText());
  }
  std::string made = folder + "/" + table.FileName + " (" + std::to_string(table.Rows.size()) + " records)";
  for (const TDemoIndex& index : table.Indexes) {
    ENGHANDLE hIndex = 0;
    ENGRESULT result = EngCreateIndex(h.table, index.Tag.c_str(), index.Fields.c_str(),
                                      index.Unique ? ENG_INDEX_UNIQUE : 0, 0, &hIndex);
    if (result == ENG_ERR_NOT_SUPPORTED) {
      report.push_back("note: index " + index.Tag + " of " + table.FileName +
                       " skipped: this engine build cannot create indexes yet");
    } else if (result != ENG_OK) {
      throw EDemoError(where + ", index " + index.Tag + ": " + EngineErrorText());
    } else {
      report.push_back("index " + index.Tag + " of " + table.FileName + " made");
    }
  }
  if (!table.EncryptPassword.empty()) {
    ENGRESULT result = EngEnableEncryption(h.table, table.EncryptPassword.c_str());
    if (result == ENG_OK) result = EngEncryptTable(h.table);
    if (result == ENG_ERR_NOT_SUPPORTED)
      report.push_back("note: " + table.FileName + " left unencrypted: this engine build cannot encrypt tables yet");
    else if (result != ENG_OK)
      throw EDemoError(where + ", encryption: " + EngineErrorText());
    else
      report.push_back(table.FileName + " encrypted");
  }
  report.push_back("created " + made);
  if (!table.Dictionary.empty()) AddToDictionary(folder, where, table, report);
}

}  // namespace

TDemoTable ParseDemoScript(const TDemoScript& script) {
  TDemoTable table;
  table.Script = script.Path;
  size_t slash = script.Path.rfind('/');
  std::string folder = slash == std::string::npos ? std::string() : script.Path.substr(0, slash);
  table.Folder = folder == "base" ? std::string() : folder;
  std::istringstream in(script.Text);
  std::string line;
  int lineNo = 0;
  auto fail = [&](const std::string& what) -> EDemoError {
    return EDemoError("demo script " + script.Path + " line " + std::to_string(lineNo) + ": " + what);
  };
  while (std::getline(in, line)) {
    ++lineNo;
    std::string t = Trim(line);
    if (t.empty() || t[0] == '#') continue;
    size_t space = t.find_first_of(" \t");
    std::string keyword = UpperCase(t.substr(0, space));
    std::string rest = space == std::string::npos ? std::string() : Trim(t.substr(space + 1));
    std::vector<std::string> words = Words(rest);
    if (keyword == "TABLE") {
      if (words.size() != 1 || !table.FileName.empty()) throw fail("TABLE needs one file name, once per script");
      table.FileName = words[0];
    } else if (keyword == "FIELD") {
      if (words.size() < 2 || words.size() > 4) throw fail("FIELD needs a name, a type and an optional length");
      if (!table.Rows.empty()) throw fail("FIELD after ROW");
      table.Fields.push_back({words[0], words[1], words.size() > 2 ? words[2] : "", words.size() > 3 ? words[3] : ""});
    } else if (keyword == "INDEX") {
      if (words.size() < 2 || words.size() > 3 || (words.size() == 3 && UpperCase(words[2]) != "UNIQUE"))
        throw fail("INDEX needs a tag, its fields and an optional UNIQUE");
      table.Indexes.push_back({words[0], words[1], words.size() == 3});
    } else if (keyword == "ENCRYPT") {
      if (words.size() != 1) throw fail("ENCRYPT needs one password");
      table.EncryptPassword = words[0];
    } else if (keyword == "DICTIONARY") {
      if (words.size() != 1) throw fail("DICTIONARY needs one file name");
      table.Dictionary = words[0];
    } else if (keyword == "ROW") {
      std::vector<std::string> cells = Cells(rest);
      if (cells.size() != table.Fields.size())
        throw fail("ROW has " + std::to_string(cells.size()) + " values for " + std::to_string(table.Fields.size()) +
                   " fields");
      table.Rows.push_back(std::move(cells));
      table.RowLines.push_back(lineNo);
    } else {
      throw fail("unknown statement '" + keyword + "'");
    }
  }
  if (table.FileName.empty()) throw fail("no TABLE statement");
  if (table.Fields.empty()) throw fail("table " + table.FileName + " has no FIELD");
  return table;
}

namespace {

std::string FolderOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

bool IsManifest(const std::string& path) {
  const size_t slash = path.rfind('/');
  return path.substr(slash == std::string::npos ? 0 : slash + 1) == kDemoManifestName;
}

// The scripts of one folder: its table scripts and its manifest, if any.
struct TFolderScripts {
  std::vector<const TDemoScript*> Tables;
  const TDemoScript* Manifest = nullptr;
};

class TDemoResolver {
 public:
  explicit TDemoResolver(const std::vector<TDemoScript>& scripts) {
    for (const TDemoScript& script : scripts) {
      const std::string folder = FolderOf(script.Path);
      if (!folders_.count(folder)) order_.push_back(folder);
      TFolderScripts& entry = folders_[folder];
      if (!IsManifest(script.Path)) {
        entry.Tables.push_back(&script);
      } else if (entry.Manifest) {
        throw EDemoError("demo script " + script.Path + ": a second manifest for " + folder);
      } else {
        entry.Manifest = &script;
      }
    }
  }

  std::vector<TDemoTable> All() {
    std::vector<TDemoTable> all;
    for (const std::string& folder : order_) {
      std::vector<TDemoTable> tables = Resolve(folder);
      all.insert(all.end(), std::make_move_iterator(tables.begin()), std::make_move_iterator(tables.end()));
    }
    return all;
  }

 private:
  // The tables of folder with its manifest applied.
  std::vector<TDemoTable> Resolve(const std::string& folder) {
    const TFolderScripts& entry = folders_.at(folder);
    std::vector<TDemoTable> tables;
    std::set<std::string> names;  // upper-cased file names made so far
    auto add = [&](TDemoTable table, const std::string& script) {
      if (!names.insert(UpperCase(table.FileName)).second)
        throw EDemoError("demo script " + script + ": table " + table.FileName + " is made twice in " +
                         (folder == "base" ? "the base directory" : folder));
      tables.push_back(std::move(table));
    };
    for (const TDemoScript* script : entry.Tables) add(ParseDemoScript(*script), script->Path);
    if (!entry.Manifest) return tables;

    const TDemoManifest manifest = ParseDemoManifest(*entry.Manifest);
    if (!manifest.Like.empty()) {
      const std::string like = "company/" + manifest.Like;
      const std::string where = "demo script " + entry.Manifest->Path + ": LIKE " + manifest.Like;
      if (!folders_.count(like))
        throw EDemoError(where + ": there is no such demo company");
      if (!resolving_.insert(folder).second) throw EDemoError(where + ": the companies are LIKE each other in a circle");
      std::vector<TDemoTable> shared = Resolve(like);
      resolving_.erase(folder);
      for (TDemoTable& table : shared) {
        if (names.count(UpperCase(table.FileName))) continue;  // the company's own script overrides it
        table.Folder = folder;
        table.Dictionary.clear();  // the other company's dictionary is not this one's
        const std::string script = table.Script;
        add(std::move(table), script);
      }
    }
    if (!manifest.Dictionary.empty()) {
      for (TDemoTable& table : tables) {
        table.Dictionary = manifest.Dictionary;
        table.EncryptPassword.clear();
      }
    }
    return tables;
  }

  std::map<std::string, TFolderScripts> folders_;
  std::vector<std::string> order_;  // folders in the order their first script came
  std::set<std::string> resolving_;
};

}  // namespace

TDemoManifest ParseDemoManifest(const TDemoScript& script) {
  TDemoManifest manifest;
  manifest.Folder = FolderOf(script.Path);
  int lineNo = 0;
  auto fail = [&](const std::string& what) -> EDemoError {
    return EDemoError("demo script " + script.Path + (lineNo ? " line " + std::to_string(lineNo) : "") + ": " + what);
  };
  if (manifest.Folder.rfind("company/", 0) != 0 || manifest.Folder.find('/', 8) != std::string::npos ||
      manifest.Folder.size() == 8)
    throw fail("a manifest belongs in a company folder (company/<code>/" + std::string(kDemoManifestName) + ")");
  std::istringstream in(script.Text);
  for (std::string line; std::getline(in, line);) {
    ++lineNo;
    std::string t = Trim(line);
    if (t.empty() || t[0] == '#') continue;
    std::vector<std::string> words = Words(t);
    const std::string keyword = UpperCase(words[0]);
    if (keyword == "LIKE") {
      if (words.size() != 2 || !manifest.Like.empty()) throw fail("LIKE needs one company code, once");
      manifest.Like = words[1];
      if (manifest.Like == manifest.Folder.substr(8)) throw fail("a company cannot be LIKE itself");
    } else if (keyword == "DICTIONARY") {
      if (words.size() != 2 || !manifest.Dictionary.empty()) throw fail("DICTIONARY needs one file name, once");
      manifest.Dictionary = words[1];
    } else {
      throw fail("unknown statement '" + keyword + "'");
    }
  }
  return manifest;
}

std::vector<TDemoTable> ResolveDemoTables(const std::vector<TDemoScript>& scripts) {
  return TDemoResolver(scripts).All();
}

void CreateDemoDatabases(const std::string& baseDir, const std::vector<TDemoScript>& scripts,
                         std::vector<std::string>& report) {
  std::string base = baseDir;
  while (base.size() > 1 && base.back() == '/') base.pop_back();
  // Every script is read before anything is written.
  for (const TDemoTable& table : ResolveDemoTables(scripts)) LoadTable(base, table, report);
}

}  // namespace dbu
