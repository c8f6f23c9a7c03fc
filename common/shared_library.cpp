#include "common/shared_library.h"

#include <dlfcn.h>

#include <stdexcept>
#include <utility>

namespace velko {

SharedLibrary::SharedLibrary(std::string soname, std::string package)
    : soname_(std::move(soname)), package_(std::move(package)) {
  handle_ = dlopen(soname_.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) {
    const char* why = dlerror();
    throw std::runtime_error("Could not load the library " + soname_ +
                             (why ? " (" + std::string(why) + ")" : std::string()) + "; install " +
                             package_ + " (scripts/install-deps does)");
  }
}

void* SharedLibrary::symbol(const char* name) const {
  void* found = dlsym(handle_, name);
  if (!found) {
    throw std::runtime_error("The library " + soname_ + " has no function " + name +
                             "; reinstall " + package_);
  }
  return found;
}

}  // namespace velko
