#include "dberrors.h"

#include <vector>

namespace dbu {
namespace {

// Counts live EDbEngineError objects of this thread. A count rather than a
// flag, so that destroying one copy of an error (a catch by value, a
// rethrow) does not end the suppression while the original lives on.
thread_local int liveEngineErrors = 0;

constexpr uint16_t kErrorTextRoom = 600;

}  // namespace

std::string PrefixedMessage(const TErrorSubject* subject, const std::string& text) {
  if (subject == nullptr) return text;
  std::string name = subject->ErrorContext().DataSetName;
  if (name.empty()) return text;
  return name + ": " + text;
}

std::string ColumnNameFromErrorText(const std::string& text) {
  static const std::string marker = "column \"";
  size_t start = text.find(marker);
  if (start == std::string::npos) return std::string();
  std::string rest = text.substr(start + marker.size(), 900);
  size_t end = rest.find('"');
  return end == std::string::npos ? rest : rest.substr(0, end);
}

EDbEngineError::EDbEngineError(const TErrorSubject* subject, const std::string& text, int32_t code)
    : EDatabaseError(text), errorCode_(code), text_(text) {
  ++liveEngineErrors;
  if (subject != nullptr) {
    context_ = subject->ErrorContext();
    if (code == ENG_ERR_COLUMN_NOT_FOUND || code == ENG_ERR_COLUMN_TYPE || code == ENG_ERR_COLUMN_VALUE)
      columnName_ = ColumnNameFromErrorText(text);
  }
  if (!context_.DataSetName.empty()) SetMessage(context_.DataSetName + ": " + text);
}

EDbEngineError::EDbEngineError(const EDbEngineError& other)
    : EDatabaseError(other), errorCode_(other.errorCode_), text_(other.text_), context_(other.context_),
      columnName_(other.columnName_) {
  ++liveEngineErrors;
}

EDbEngineError::~EDbEngineError() { --liveEngineErrors; }

bool EngineErrorAlive() { return liveEngineErrors > 0; }

DbError::DbError() : Exception(std::string()) {
  uint32_t code = 0;
  std::vector<char> text(kErrorTextRoom + 1, '\0');
  uint16_t len = kErrorTextRoom;
  ENGRESULT got = EngGetLastError(&code, text.data(), &len);
  if (got != ENG_OK && got != ENG_ERR_BUFFER_TOO_SMALL) {  // a cut text is still the text
    EngShowError("Engine Exception Error");
    return;
  }
  SetMessage(std::string(text.data()));
}

void EngineCheck(ENGRESULT result, const TErrorSubject* subject) {
  if (result == ENG_OK) return;
  if (EngineErrorAlive()) return;
  uint32_t code = 0;
  std::vector<char> text(kErrorTextRoom + 1, '\0');
  uint16_t len = kErrorTextRoom;
  ENGRESULT got = EngGetLastError(&code, text.data(), &len);
  if (got != ENG_OK && got != ENG_ERR_BUFFER_TOO_SMALL) {
    // The engine cannot say what went wrong: report the result we hold.
    code = result;
    text.assign(1, '\0');
  }
  if (code == 0) code = result;
  std::string message(text.data());
  if (message.empty()) message = "Engine error " + std::to_string(result);
  throw EDbEngineError(subject, message, static_cast<int32_t>(code));
}

void RaiseDataLayerError(const TErrorSubject* subject, const std::string& text) {
  throw EDbEngineError(subject, text, kDataLayerErrorCode);
}

}  // namespace dbu
