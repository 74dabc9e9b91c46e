#pragma once
// Owner-based lifetime for components: a component created with an owner is
// destroyed by that owner, after every component created later than it.

#include <cstddef>
#include <vector>

namespace quellmarin {

class TComponent {
public:
  // Registers with Owner, which then destroys this component. nullptr: the
  // caller owns it.
  explicit TComponent(TComponent* Owner);
  // Destroys every owned component, newest first, then leaves the owner's list.
  virtual ~TComponent();

  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return FOwner; }
  int ComponentCount() const { return static_cast<int>(FComponents.size()); }
  TComponent* Components(int Index) const { return FComponents.at(static_cast<size_t>(Index)); }

private:
  void InsertComponent(TComponent* Component);
  void RemoveComponent(TComponent* Component);

  TComponent* FOwner = nullptr;
  std::vector<TComponent*> FComponents;
};

}  // namespace quellmarin
