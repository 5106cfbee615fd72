// Company codes checked and turned into database paths.
#include "companycode.h"

#include <cstdio>

#include "appfiles.h"
#include "pathutil.h"

namespace dbu {

namespace {

constexpr size_t kShownCodeLength = 64;

// The code as a message shows it: control characters as \xNN, and cut
// when it is long.
std::string Shown(const std::string& code) {
  std::string shown;
  for (size_t i = 0; i < code.size() && i < kShownCodeLength; ++i) {
    const unsigned char c = static_cast<unsigned char>(code[i]);
    if (c < 0x20 || c == 0x7f) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      shown += escaped;
    } else {
      shown += code[i];
    }
  }
  if (code.size() > kShownCodeLength) shown += "...";
  return shown;
}

// Why code is refused; empty when it is valid.
std::string Fault(const std::string& code) {
  if (code.empty()) return "is empty";
  if (code.find_first_not_of(' ') == std::string::npos) return "is blank";
  for (char ch : code) {
    const unsigned char c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7f) return "holds a control character";
  }
  if (code.find_first_of("/\\") != std::string::npos) return "holds a path separator";
  if (code == ".") return "is \".\"";
  if (code.find("..") != std::string::npos) return "holds \"..\"";
  return {};
}

}  // namespace

void CheckCompanyCode(const std::string& code, const std::string& what) {
  const std::string fault = Fault(code);
  if (fault.empty()) return;
  const std::string rule = "; a company code names one folder directly under company/";
  if (code.empty()) throw ECompanyCodeError(what + " is empty" + rule);
  throw ECompanyCodeError(what + " \"" + Shown(code) + "\" is refused: it " + fault + rule);
}

std::string CompanyDatabasePath(const std::string& baseDir, const std::string& code, const std::string& what) {
  CheckCompanyCode(code, what);
  const std::string folder = baseDir + "company/" + code;
  const std::string dictionary = folder + "/" + code + ".add";
  if (FileExistsNoCase(dictionary)) return ExistingSpelling(dictionary);
  return ExistingSpelling(folder);
}

}  // namespace dbu
