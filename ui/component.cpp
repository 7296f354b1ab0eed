#include "ui/component.h"

#include <algorithm>

namespace kelvo {

TComponent::TComponent(TComponent* AOwner) : owner_(AOwner) {
  if (owner_ != nullptr) owner_->components_.push_back(this);
}

// Owned components go last-created first; each one leaves this list as it is destroyed, so a
// component may also be destroyed on its own at any time before its owner.
TComponent::~TComponent() {
  while (!components_.empty()) delete components_.back();
  if (owner_ != nullptr) std::erase(owner_->components_, this);
}

}  // namespace kelvo
