// Minimal component base of the data access layer: a name and an owner.
//
// The owner is only a back reference used to build qualified names
// ("Form1.DbConnection1") and error texts; it does not own the component in
// the C++ sense (whoever creates a component destroys it, owners last).
// Not thread-safe: components belong to the thread that made them.
#pragma once

#include <string>

namespace dbu {

class TComponent {
 public:
  explicit TComponent(TComponent* owner = nullptr) : owner_(owner) {}
  virtual ~TComponent() = default;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  const std::string& Name() const { return name_; }
  void SetName(const std::string& name) { name_ = name; }
  TComponent* Owner() const { return owner_; }
  // Name of the owner, or "" when there is none.
  std::string OwnerName() const { return owner_ ? owner_->Name() : std::string(); }

 private:
  TComponent* owner_;
  std::string name_;
};

}  // namespace dbu
