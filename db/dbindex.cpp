#include "dbindex.h"

#include "strutil.h"

namespace dbu {

const TIndexDef* TIndexDefs::FindByName(const std::string& name) const {
  for (const TIndexDef& def : defs_)
    if (SameText(def.Name, name)) return &def;
  return nullptr;
}

const TIndexDef* TIndexDefs::FindForFields(const std::string& fieldList) const {
  for (const TIndexDef& def : defs_) {
    if (def.Options & ixDescending) continue;
    if (SameText(def.Fields, fieldList)) return &def;
  }
  for (const TIndexDef& def : defs_) {
    if (def.Options & ixDescending) continue;
    if (def.Fields.size() < fieldList.size()) continue;
    if (!SameText(std::string_view(def.Fields).substr(0, fieldList.size()), fieldList)) continue;
    if (def.Fields.size() == fieldList.size() || def.Fields[fieldList.size()] == ';') return &def;
  }
  return nullptr;
}

std::vector<std::string> SplitFieldList(const std::string& list) {
  std::vector<std::string> names;
  if (list.empty()) return names;
  size_t start = 0;
  while (true) {
    size_t end = list.find(';', start);
    names.push_back(list.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return names;
}

}  // namespace dbu
