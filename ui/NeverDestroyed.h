// Process-wide objects that must stay usable until the very end: at exit, C++ destroys the
// module's statics before its unload hooks run, and a dialog thread may still be ending then.
// The object lives in static storage (nothing on the heap to report after an unload) and its
// destructor never runs, so whatever it holds must be released by hand where that matters.
#pragma once

#include <new>
#include <utility>

namespace ui {

template <typename T>
class NeverDestroyed {
 public:
  template <typename... Args>
  explicit NeverDestroyed(Args&&... args) {
    new (storage_) T(std::forward<Args>(args)...);
  }
  NeverDestroyed(const NeverDestroyed&) = delete;
  NeverDestroyed& operator=(const NeverDestroyed&) = delete;

  T& get() { return *std::launder(reinterpret_cast<T*>(storage_)); }
  T* operator->() { return &get(); }

 private:
  alignas(T) unsigned char storage_[sizeof(T)];
};

}  // namespace ui
