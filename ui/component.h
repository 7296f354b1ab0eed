// The root of the toolkit's objects and the component base: a component has a name, a tag and
// an optional owner, which destroys the components it owns when it is destroyed itself.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kelvo {

class TObject {
 public:
  virtual ~TObject() = default;
};

class TComponent : public TObject {
 public:
  explicit TComponent(TComponent* AOwner);
  ~TComponent() override;
  TComponent(const TComponent&) = delete;
  TComponent& operator=(const TComponent&) = delete;

  TComponent* Owner() const { return owner_; }
  const std::u16string& Name() const { return name_; }
  void SetName(std::u16string value) { name_ = std::move(value); }
  std::intptr_t Tag() const { return tag_; }
  void SetTag(std::intptr_t value) { tag_ = value; }

 private:
  TComponent* owner_;
  std::vector<TComponent*> components_;
  std::u16string name_;
  std::intptr_t tag_ = 0;
};

}  // namespace kelvo
