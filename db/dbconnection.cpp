#include "dbconnection.h"

#include <algorithm>
#include <mutex>
#include <utility>

#include "dbdataset.h"
#include "screencursor.h"
#include "strutil.h"

namespace dbu {
namespace {

LoginDialogHook& LoginHook() {
  static LoginDialogHook hook;
  return hook;
}

// The registry lives until the process ends; it is never destroyed so that
// connections in static storage may leave it in any order.
struct Registry {
  std::mutex lock;
  std::vector<TDbConnection*> connections;
};
Registry& TheRegistry() {
  static Registry* registry = new Registry;
  return *registry;
}

constexpr uint16_t kServerNameRoom = 255;

}  // namespace

void SetLoginDialogHook(LoginDialogHook hook) { LoginHook() = std::move(hook); }

// ---- ConnectionRegistry ----------------------------------------------------

void ConnectionRegistry::Add(TDbConnection* connection) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.connections.push_back(connection);
}

void ConnectionRegistry::Remove(TDbConnection* connection) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.connections.erase(std::remove(r.connections.begin(), r.connections.end(), connection), r.connections.end());
}

TDbConnection* ConnectionRegistry::Find(const std::string& databaseName, const TComponent* cursorOwner) {
  Registry& r = TheRegistry();
  std::lock_guard<std::mutex> guard(r.lock);
  for (TDbConnection* c : r.connections)
    if (c->Owner() == cursorOwner && SameText(c->Name(), databaseName)) return c;
  for (TDbConnection* c : r.connections) {
    if (SameText(c->Name(), databaseName)) return c;
    if (c->Owner() != nullptr && SameText(c->Owner()->Name() + "." + c->Name(), databaseName)) return c;
  }
  return nullptr;
}

// ---- TDbConnection -----------------------------------------------------------

TDbConnection::TDbConnection(TComponent* owner) : TComponent(owner) { ConnectionRegistry::Add(this); }

TDbConnection::~TDbConnection() {
  // Destructors must not throw: failures here are dropped, the handle is
  // given up either way.
  std::vector<TDbDataSet*> bound;
  bound.swap(dataSets_);
  if (connected_) {
    for (TDbDataSet* ds : bound) {
      try {
        ds->CloseAndRelease();
      } catch (...) {
      }
      ds->DetachConnection();
    }
    EngDisconnect(handle_);
    handle_ = 0;
    connected_ = false;
    try {
      Fire(OnDisconnect, *this);
    } catch (...) {
    }
  } else {
    for (TDbDataSet* ds : bound) ds->DetachConnection();
  }
  ConnectionRegistry::Remove(this);
}

void TDbConnection::SetConnectPath(const std::string& path) {
  if (connected_) throw DbConnectionError("The TDbConnection.ConnectPath may not be changed when IsConnected is TRUE");
  connectPath_ = path;
  isDictionary_ = UpperCase(path).find(".ADD") != std::string::npos;
  aliasName_.clear();
}

void TDbConnection::SetAliasName(const std::string& alias) {
  if (connected_) throw DbConnectionError("The TDbConnection.AliasName may not be changed when IsConnected is TRUE");
  aliasName_ = alias;
}

void TDbConnection::SetIsConnected(bool connected) {
  if (connected == connected_) return;
  if (connected)
    DoConnect();
  else
    DoDisconnect();
}

std::string TDbConnection::ConnectString() const { return connectPath_; }

void TDbConnection::Fire(const TConnectionEvent& event, TDbConnection& connection) {
  if (event) event(connection);
}

void TDbConnection::ObtainCredentials(std::string& user, std::string& password) {
  if (loginPrompt_ && isDictionary_) {
    user.clear();
    password.clear();
    if (OnLogin) {
      OnLogin(*this, user, password);
    } else {
      user = username_;
      const LoginDialogHook& dialog = LoginHook();
      if (!dialog || !dialog(Name(), user, password))
        throw EDatabaseError("Cannot connect to database '" + Name() + "'");
    }
    username_ = user;
  } else {
    user = username_;
    password = password_;
  }
  if (!isDictionary_) {
    user.clear();
    password.clear();
  }
}

void TDbConnection::DoConnect() {
  if (!aliasName_.empty()) throw DbConnectionError("TDbConnection.AliasName is not valid");
  std::string connectString = ConnectString();
  if (connectString.empty())
    throw DbConnectionError("Must specify connection string before getting a server connection.");

  TScreenCursorGuard pointer(crHourGlass);
  Fire(BeforeConnect, *this);
  std::string user, password;
  ObtainCredentials(user, password);
  uint16_t mask = static_cast<uint16_t>(serverTypes_ & (stLOCAL | stREMOTE | stINTERNET));
  uint32_t options = (middleTier_ ? 1u : 0u) | (storedProcedure_ ? 2u : 0u);
  ENGHANDLE handle = 0;
  ENGRESULT result = EngConnectEx(connectString.c_str(), mask, user.c_str(), password.c_str(), options, &handle);
  if (result != ENG_OK) {
    EngineCheck(result);
    return;  // an earlier error is being handled: stay disconnected quietly
  }
  handle_ = handle;
  connected_ = true;
  if (isDictionary_) {
    std::vector<TDbDataSet*> bound = dataSets_;
    for (TDbDataSet* ds : bound) ds->RefreshDictionaryDefaultIndex();
  }
  Fire(AfterConnect, *this);
  Fire(OnConnect, *this);
}

void TDbConnection::DoDisconnect() {
  Fire(BeforeDisconnect, *this);
  std::vector<TDbDataSet*> bound = dataSets_;
  for (TDbDataSet* ds : bound) ds->CloseAndRelease();
  std::vector<ENGHANDLE> statements;
  statements.swap(statementCache_);
  for (ENGHANDLE statement : statements) EngineCheck(EngCloseSQLStatement(statement));
  if (EngDisconnect(handle_) != ENG_OK) throw DbError();
  handle_ = 0;
  Fire(AfterDisconnect, *this);
  Fire(OnDisconnect, *this);
  connected_ = false;
}

std::string TDbConnection::ConnectionDirectory() const {
  std::string text = ConnectString();
  if (text.size() >= 5 && text[text.size() - 4] == '.') {
    size_t slash = text.rfind('/');
    return slash == std::string::npos ? std::string("./") : text.substr(0, slash);
  }
  return text;
}

std::string TDbConnection::ServerName() const {
  if (!connected_) throw DbConnectionError("Must be connected to get the server name.");
  std::string name(kServerNameRoom + 1, '\0');
  uint16_t len = kServerNameRoom;
  if (EngGetServerName(handle_, name.data(), &len) != ENG_OK) throw DbError();
  name.resize(std::min<size_t>(len, kServerNameRoom));
  return name;
}

void TDbConnection::AddDataSet(TDbDataSet* dataSet) {
  if (std::find(dataSets_.begin(), dataSets_.end(), dataSet) == dataSets_.end()) dataSets_.push_back(dataSet);
}

void TDbConnection::RemoveDataSet(TDbDataSet* dataSet) {
  dataSets_.erase(std::remove(dataSets_.begin(), dataSets_.end(), dataSet), dataSets_.end());
}

}  // namespace dbu
