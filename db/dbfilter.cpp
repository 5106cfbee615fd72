#include "dbfilter.h"

namespace dbu {

TPreparedFilter PrepareFilterText(const std::string& text) {
  TPreparedFilter out;
  std::string& s = out.Expression;
  s = text;
  char quote = 0;
  size_t opening = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    char c = s[i];
    if (quote == 0) {
      if (c == '\'' || c == '"') {
        quote = c;
        opening = i;
      }
      continue;
    }
    if (c == quote) {
      quote = 0;
      continue;
    }
    if (c == '*' && i + 1 < s.size() && s[i + 1] == quote) {
      size_t j = i;
      while (j > opening && s[j] == '*') --j;
      if (j == opening) continue;  // a literal of stars only is meant as it is
      s.erase(i, 1);               // s[i] is now the closing quote
      out.Exact = 0;
      quote = 0;
    }
  }
  return out;
}

}  // namespace dbu
