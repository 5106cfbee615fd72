// Exceptions of the data access layer and EngineCheck, the one place where
// an engine result code becomes an exception.
//
// Every engine call's result goes through EngineCheck. While an
// EDbEngineError created on the calling thread is alive (thrown and not yet
// destroyed), EngineCheck raises nothing, so that clean-up done while the
// first error unwinds or is handled (closing tables, for instance) cannot
// replace it. The count of live errors is per thread; nothing here is shared
// between threads.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

#include "engine.h"

namespace dbu {

// Code of the layer's own errors; the engine never returns it.
constexpr int32_t kDataLayerErrorCode = ENG_ERR_RESERVED_DATA_LAYER;

// The general exception class: a message and nothing else.
class Exception : public std::exception {
 public:
  explicit Exception(std::string message) : message_(std::move(message)) {}
  const std::string& Message() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 protected:
  void SetMessage(std::string message) { message_ = std::move(message); }

 private:
  std::string message_;
};

// What an error records about the dataset that raised it.
struct TErrorContext {
  std::string DataSetName;
  std::string OwnerName;
  std::string DatabaseName;
  std::string DatabaseDir;
  std::string TableName;
};

// Implemented by datasets so that errors can describe them without this
// module depending on the cursor classes.
class TErrorSubject {
 public:
  virtual TErrorContext ErrorContext() const = 0;

 protected:
  ~TErrorSubject() = default;
};

// "Name: text" when the subject has a name, else the text alone.
std::string PrefixedMessage(const TErrorSubject* subject, const std::string& text);

// Database errors raised by cursors (and the login refusal of a connection).
class EDatabaseError : public Exception {
 public:
  explicit EDatabaseError(std::string message) : Exception(std::move(message)) {}
  // The message prefixed with the subject's name.
  EDatabaseError(const TErrorSubject* subject, const std::string& text)
      : Exception(PrefixedMessage(subject, text)) {}
};

// Engine failures and the layer's own cursor errors (code 5121).
class EDbEngineError : public EDatabaseError {
 public:
  EDbEngineError(const TErrorSubject* subject, const std::string& text, int32_t code);
  EDbEngineError(const EDbEngineError& other);
  EDbEngineError& operator=(const EDbEngineError& other) = default;
  ~EDbEngineError() override;

  int32_t ErrorCode() const { return errorCode_; }
  // The engine's (or the layer's) text, without the dataset's name.
  const std::string& Text() const { return text_; }
  const std::string& DataSetName() const { return context_.DataSetName; }
  const std::string& OwnerName() const { return context_.OwnerName; }
  const std::string& DatabaseNameText() const { return context_.DatabaseName; }
  const std::string& DatabaseDir() const { return context_.DatabaseDir; }
  const std::string& TableNameText() const { return context_.TableName; }
  const std::string& ColumnName() const { return columnName_; }

 private:
  int32_t errorCode_;
  std::string text_;
  TErrorContext context_;
  std::string columnName_;
};

// Engine failures of Disconnect and of connection queries: the engine's
// last error text.
class DbError : public Exception {
 public:
  DbError();
};

// Misuse of a connection object.
class DbConnectionError : public Exception {
 public:
  explicit DbConnectionError(std::string message) : Exception(std::move(message)) {}
};

// True while an EDbEngineError created on this thread is alive.
bool EngineErrorAlive();

// Raises EDbEngineError for a nonzero result unless an engine error is
// already alive on this thread.
void EngineCheck(ENGRESULT result, const TErrorSubject* subject = nullptr);

// Raises the layer's own error (code 5121) about the subject.
[[noreturn]] void RaiseDataLayerError(const TErrorSubject* subject, const std::string& text);

// The column name an SQL column error's text names: the text after
// `column "` up to the next double quote (at most 900 characters).
std::string ColumnNameFromErrorText(const std::string& text);

}  // namespace dbu
