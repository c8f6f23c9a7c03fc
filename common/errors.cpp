#include "common/errors.h"

#include <cxxabi.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

namespace velko {

namespace {

// Demangles a type and keeps the last name component without template arguments.
std::string unqualified(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
  std::string name = (status == 0 && demangled) ? demangled.get() : type.name();
  // An error thrown with std::throw_with_nested is known by the type it wraps.
  constexpr std::string_view kNested = "std::_Nested_exception<";
  if (name.rfind(kNested, 0) == 0 && name.back() == '>') {
    name = name.substr(kNested.size(), name.size() - kNested.size() - 1);
  }
  if (auto lt = name.find('<'); lt != std::string::npos) name.erase(lt);
  if (auto colon = name.rfind("::"); colon != std::string::npos) name.erase(0, colon + 2);
  return name;
}

}  // namespace

KeyError::KeyError(const std::string& key)
    : std::out_of_range("missing member '" + key + "'"), key_(key) {}

KeyError::KeyError(const std::string& key, const std::string& where)
    : std::out_of_range(where + " has no member '" + key + "'"), key_(key) {}

std::string type_name(const std::exception& error) { return unqualified(typeid(error)); }

std::string type_name(const std::exception_ptr& error) {
  if (!error) return "";
  try {
    std::rethrow_exception(error);
  } catch (const Interrupted&) {
    return "Interrupted";
  } catch (const std::exception& e) {
    return type_name(e);
  } catch (...) {
    const std::type_info* type = abi::__cxa_current_exception_type();
    return type ? unqualified(*type) : "unknown";
  }
}

std::string error_text(const std::exception_ptr& error) {
  if (!error) return "";
  try {
    std::rethrow_exception(error);
  } catch (const Interrupted&) {
    return "";
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "";
  }
}

bool is_interrupt(const std::exception_ptr& error) {
  return holds_error<Interrupted>(error) ||
         holds_error<boost::system::system_error>(error, [](const boost::system::system_error& e) {
           return e.code() == boost::asio::error::operation_aborted;
         });
}

std::exception_ptr as_interrupt_if_cancelled(std::exception_ptr error) {
  if (!error || !is_interrupt(error)) return error;
  return std::make_exception_ptr(Interrupted{});
}

}  // namespace velko
