// Error kinds and helpers shared by every module.
#pragma once

#include <exception>
#include <stdexcept>
#include <string>

namespace velko {

// A user interrupt (Ctrl-C, SIGTERM) or the cancellation of the running command.
// Deliberately not a std::exception: a handler of ordinary errors never swallows it.
struct Interrupted {
  const char* what() const noexcept { return ""; }
  // The signal that interrupted the command (SIGINT, SIGTERM, SIGHUP); 0 for a cancellation
  // that came from no signal.
  int signal = 0;
};

// An operation that did not finish within its time limit (an ordinary error).
class TimeoutError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A member that a JSON-like map must have is missing; the message names the key.
class KeyError : public std::out_of_range {
 public:
  explicit KeyError(const std::string& key);
  // `where` names the map, e.g. "the platform's claim".
  KeyError(const std::string& key, const std::string& where);
  const std::string& key() const { return key_; }

 private:
  std::string key_;
};

// A value from a server, a file or a sim does not have the shape it must have.
class BadAnswer : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The unqualified class name of an error's dynamic type ("TimeoutError", "out_of_range",
// "Interrupted").
std::string type_name(const std::exception& error);
std::string type_name(const std::exception_ptr& error);

// The message of an error as text; empty for Interrupted and for non-standard errors.
std::string error_text(const std::exception_ptr& error);

// True when the error is an interrupt or a cancellation rather than an ordinary error.
bool is_interrupt(const std::exception_ptr& error);

// True when `error` holds an `Error` (or a kind derived from it) that passes `test`; false for
// no error. The one probe of an error's kind.
template <class Error, class Test>
bool holds_error(const std::exception_ptr& error, Test test) {
  if (!error) return false;
  try {
    std::rethrow_exception(error);
  } catch (const Error& held) {
    return test(held);
  } catch (...) {
    return false;
  }
}

// True when `error` holds an `Error` (or a kind derived from it).
template <class Error>
bool holds_error(const std::exception_ptr& error) {
  return holds_error<Error>(error, [](const Error&) { return true; });
}

// True when `error` is a TimeoutError: an operation ran out of its time limit.
inline bool is_timeout(const std::exception_ptr& error) { return holds_error<TimeoutError>(error); }

// The error with a cancellation of an awaited operation (Asio's operation_aborted) given as
// Interrupted, so that callers see one kind of interrupt whatever await it surfaced at.
std::exception_ptr as_interrupt_if_cancelled(std::exception_ptr error);

}  // namespace velko
