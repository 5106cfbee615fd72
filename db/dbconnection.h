// Connection objects: one database (a folder of free tables or a data
// dictionary file) and the engine connection handle that every cursor bound
// to it works through.
//
// Ownership: a connection owns its engine handle. It does not own its bound
// datasets; they register and unregister themselves (TDbDataSet), and a
// connection destroyed before them detaches them. Every connection is listed
// in ConnectionRegistry from construction to destruction; the registry is
// process-wide and guarded by its own lock for the length of one search or
// change. Everything else belongs to the thread that uses the connection.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "component.h"
#include "dberrors.h"
#include "engine.h"

namespace dbu {

class TDbDataSet;

// Server kinds; the values are the engine's mask bits.
enum TDbServerType : unsigned { stLOCAL = ENG_LOCAL_SERVER, stREMOTE = ENG_REMOTE_SERVER, stINTERNET = ENG_INTERNET_SERVER };
using TDbServerTypes = unsigned;  // OR of TDbServerType values; 0 is the empty set

class TDbConnection;
using TConnectionEvent = std::function<void(TDbConnection&)>;
using TLoginEvent = std::function<void(TDbConnection&, std::string& user, std::string& password)>;

// Asks the user for credentials; returns false when the user cancels. The
// application installs it; by default there is no dialog and a login that
// needs one is refused as cancelled.
using LoginDialogHook = std::function<bool(const std::string& title, std::string& user, std::string& password)>;
void SetLoginDialogHook(LoginDialogHook hook);

class TDbConnection : public TComponent {
 public:
  explicit TDbConnection(TComponent* owner = nullptr);
  ~TDbConnection() override;

  const std::string& ConnectPath() const { return connectPath_; }
  void SetConnectPath(const std::string& path);
  bool IsDictionaryConnection() const { return isDictionary_; }

  // Aliases of the engine settings file are not supported: a connection
  // given one refuses to connect.
  const std::string& AliasName() const { return aliasName_; }
  void SetAliasName(const std::string& alias);

  bool IsConnected() const { return connected_; }
  void SetIsConnected(bool connected);
  void Connect() { SetIsConnected(true); }
  void Disconnect() { SetIsConnected(false); }
  ENGHANDLE ConnectionHandle() const { return connected_ ? handle_ : 0; }

  TDbServerTypes DbServerTypes() const { return serverTypes_; }
  void SetDbServerTypes(TDbServerTypes types) { serverTypes_ = types; }
  bool LoginPrompt() const { return loginPrompt_; }
  void SetLoginPrompt(bool value) { loginPrompt_ = value; }
  const std::string& Username() const { return username_; }
  void SetUsername(const std::string& value) { username_ = value; }
  const std::string& Password() const { return password_; }
  void SetPassword(const std::string& value) { password_ = value; }
  bool MiddleTierConnection() const { return middleTier_; }
  void SetMiddleTierConnection(bool value) { middleTier_ = value; }
  bool StoredProcedureConnection() const { return storedProcedure_; }
  void SetStoredProcedureConnection(bool value) { storedProcedure_ = value; }
  bool ReadOnly() const { return readOnly_; }
  void SetReadOnly(bool value) { readOnly_ = value; }

  // The connect string without a trailing file name ("/" separated).
  std::string ConnectionDirectory() const;
  std::string ServerName() const;

  // Bound datasets in the order they joined.
  size_t DataSetCount() const { return dataSets_.size(); }
  TDbDataSet* DataSets(size_t index) const { return dataSets_.at(index); }

  // Prepared statements kept for the connection; closed by Disconnect.
  void AddCachedStatement(ENGHANDLE statement) { statementCache_.push_back(statement); }
  size_t CachedStatementCount() const { return statementCache_.size(); }

  TConnectionEvent BeforeConnect, AfterConnect, OnConnect;
  TConnectionEvent BeforeDisconnect, AfterDisconnect, OnDisconnect;
  TLoginEvent OnLogin;

 private:
  friend class TDbDataSet;
  void AddDataSet(TDbDataSet* dataSet);
  void RemoveDataSet(TDbDataSet* dataSet);

  void DoConnect();
  void DoDisconnect();
  std::string ConnectString() const;
  void ObtainCredentials(std::string& user, std::string& password);
  static void Fire(const TConnectionEvent& event, TDbConnection& connection);

  std::string connectPath_;
  bool isDictionary_ = false;
  std::string aliasName_;
  bool connected_ = false;
  ENGHANDLE handle_ = 0;
  TDbServerTypes serverTypes_ = 0;
  bool loginPrompt_ = true;
  std::string username_;
  std::string password_;
  bool middleTier_ = false;
  bool storedProcedure_ = false;
  bool readOnly_ = false;
  std::vector<TDbDataSet*> dataSets_;
  std::vector<ENGHANDLE> statementCache_;
};

// The process-wide list of connection objects.
class ConnectionRegistry {
 public:
  static void Add(TDbConnection* connection);
  static void Remove(TDbConnection* connection);
  // The connection a cursor owned by cursorOwner means by databaseName:
  // first a connection of that name with the same owner, else one whose name
  // or "OwnerName.Name" equals it (case-insensitive); nullptr when none.
  static TDbConnection* Find(const std::string& databaseName, const TComponent* cursorOwner);
};

}  // namespace dbu
