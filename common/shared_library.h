// A system library loaded by its soname when a command first needs it, rather than by every
// command at start-up (see docs/development.md, "Build").
#pragma once

#include <string>

namespace velko {

// A loaded library whose functions are looked up by name. It stays loaded for the life of the
// process.
class SharedLibrary {
 public:
  // Loads `soname`. Throws std::runtime_error naming the library and `package`, the package
  // that installs it, when it cannot be loaded.
  SharedLibrary(std::string soname, std::string package);

  // Sets `slot` to the function `name`; throws std::runtime_error when the library has none.
  template <typename Function>
  void resolve(const char* name, Function*& slot) const {
    slot = reinterpret_cast<Function*>(symbol(name));
  }

 private:
  void* symbol(const char* name) const;

  std::string soname_;
  std::string package_;
  void* handle_ = nullptr;
};

}  // namespace velko
