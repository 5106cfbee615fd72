#include "manifest.h"

#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

#include "runerror.h"

namespace dbu {

namespace {

std::string Escape(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '\t') out += "\\t";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

std::string Unescape(const std::string& value) {
  std::string out;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '\\' || i + 1 == value.size()) {
      out += value[i];
      continue;
    }
    char c = value[++i];
    out += c == 't' ? '\t' : c == 'n' ? '\n' : c;
  }
  return out;
}

std::vector<std::string> Split(const std::string& line) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(line);
  while (std::getline(in, field, '\t')) fields.push_back(Unescape(field));
  if (!line.empty() && line.back() == '\t') fields.emplace_back();
  return fields;
}

std::string Hex(uint64_t v) {
  char text[20];
  std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(v));
  return text;
}

uint64_t FromHex(const std::string& text) { return std::stoull(text, nullptr, 16); }

const char* StateText(TFileState s) {
  return s == TFileState::Present ? "present" : s == TFileState::Absent ? "absent" : "unknown";
}

TFileState StateOf(const std::string& text) {
  return text == "present" ? TFileState::Present : text == "absent" ? TFileState::Absent : TFileState::Unknown;
}

std::string TimeText(const char* format) {
  time_t now = ::time(nullptr);
  struct tm local;
  ::localtime_r(&now, &local);
  char text[32];
  std::strftime(text, sizeof text, format, &local);
  return text;
}

}  // namespace

std::string LocalTimeText() { return TimeText("%Y-%m-%d %H:%M:%S"); }
std::string LocalTimeName() { return TimeText("%Y%m%d-%H%M%S"); }

TRunManifest TRunManifest::Read(const std::string& folder) {
  const std::string path = folder + "/" + kFileName;
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ERunError("The run record " + path + " cannot be read");
  TRunManifest m;
  std::string line;
  bool first = true;
  try {
    while (std::getline(in, line)) {
      std::vector<std::string> f = Split(line);
      if (f.empty()) continue;
      if (first) {
        if (f.size() < 2 || f[0] != "DBURUN" || f[1] != "1") throw ERunError("");
        first = false;
        continue;
      }
      const std::string& key = f[0];
      auto at = [&](size_t i) -> const std::string& {
        if (i >= f.size()) throw ERunError("");
        return f[i];
      };
      if (key == "ID") m.Id = at(1);
      else if (key == "COMPANY") m.Company = at(1);
      else if (key == "TASK") m.Task = std::stoi(at(1));
      else if (key == "CAPTION") m.Caption = at(1);
      else if (key == "STARTED") m.Started = at(1);
      else if (key == "ENDED") m.Ended = at(1);
      else if (key == "OUTCOME") m.Outcome = at(1);
      else if (key == "UNDONE") m.Undone = at(1);
      else if (key == "TABLE") {
        TSavedTable t;
        t.Number = std::stoi(at(1));
        t.Path = at(2);
        t.Existed = at(3) == "present";
        t.HadMemo = at(4) == "1";
        t.HadTags = at(5) == "1";
        t.IdentityBefore = FromHex(at(6));
        t.StampBefore = FromHex(at(7));
        t.After = StateOf(at(8));
        t.IdentityAfter = FromHex(at(9));
        t.StampAfter = FromHex(at(10));
        m.Tables.push_back(t);
      } else if (key == "DICT") {
        TSavedDictionary d;
        d.Number = std::stoi(at(1));
        d.Path = at(2);
        d.Existed = at(3) == "present";
        d.After = StateOf(at(4));
        m.Dictionaries.push_back(d);
      }
    }
  } catch (const std::exception&) {
    first = true;
  }
  if (first) throw ERunError("The run record " + path + " is damaged or not a run record");
  return m;
}

void TRunManifest::Write(const std::string& folder) const {
  std::ostringstream out;
  out << "DBURUN\t1\n";
  out << "ID\t" << Escape(Id) << "\n";
  out << "COMPANY\t" << Escape(Company) << "\n";
  out << "TASK\t" << Task << "\n";
  out << "CAPTION\t" << Escape(Caption) << "\n";
  out << "STARTED\t" << Escape(Started) << "\n";
  if (!Ended.empty()) out << "ENDED\t" << Escape(Ended) << "\n";
  if (!Outcome.empty()) out << "OUTCOME\t" << Escape(Outcome) << "\n";
  if (!Undone.empty()) out << "UNDONE\t" << Escape(Undone) << "\n";
  for (const TSavedTable& t : Tables)
    out << "TABLE\t" << t.Number << "\t" << Escape(t.Path) << "\t" << (t.Existed ? "present" : "absent") << "\t"
        << (t.HadMemo ? 1 : 0) << "\t" << (t.HadTags ? 1 : 0) << "\t" << Hex(t.IdentityBefore) << "\t"
        << Hex(t.StampBefore) << "\t" << StateText(t.After) << "\t" << Hex(t.IdentityAfter) << "\t"
        << Hex(t.StampAfter) << "\n";
  for (const TSavedDictionary& d : Dictionaries)
    out << "DICT\t" << d.Number << "\t" << Escape(d.Path) << "\t" << (d.Existed ? "present" : "absent") << "\t"
        << StateText(d.After) << "\n";
  const std::string path = folder + "/" + kFileName, tmp = path + ".writing";
  {
    std::ofstream file(tmp, std::ios::binary | std::ios::trunc);
    file << out.str();
    file.flush();
    if (!file) {
      ::unlink(tmp.c_str());
      throw ERunError("Cannot write the run record " + path);
    }
  }
  if (std::rename(tmp.c_str(), path.c_str()) != 0) {
    ::unlink(tmp.c_str());
    throw ERunError("Cannot write the run record " + path);
  }
}

}  // namespace dbu
