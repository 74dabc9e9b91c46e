#include "platform/Component.h"

#include <algorithm>

namespace quellmarin {

TComponent::TComponent(TComponent* Owner) {
  if (Owner) Owner->InsertComponent(this);
}

TComponent::~TComponent() {
  while (!FComponents.empty()) {
    TComponent* child = FComponents.back();
    FComponents.pop_back();
    child->FOwner = nullptr;  // already off the list: its destructor must not look for itself
    delete child;
  }
  if (FOwner) FOwner->RemoveComponent(this);
}

void TComponent::InsertComponent(TComponent* Component) {
  FComponents.push_back(Component);
  Component->FOwner = this;
}

void TComponent::RemoveComponent(TComponent* Component) {
  auto it = std::find(FComponents.begin(), FComponents.end(), Component);
  if (it != FComponents.end()) FComponents.erase(it);
  Component->FOwner = nullptr;
}

}  // namespace quellmarin
