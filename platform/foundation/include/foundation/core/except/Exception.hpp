#pragma once
// Message-identifier exceptions: every failure a library of this platform
// reports itself is an Exception<Id> carrying a message identifier (group, id,
// arguments), so that a host can show a translated message.
//
//   try { ... }
//   catch (const foundation::core::except::IMsgIDException& e) {
//     e.get_error_id();                 // "group:Identifier"
//     e.getMessageID().arguments();     // in the identifier's documented order
//   }
//
// The same object is also a std::exception and a boost::exception. Each
// component declares the identifiers it throws (see resource_core/BaseMsgID.hpp).

#include <foundation/export.hpp>
#include <resource_core/BaseMsgID.hpp>

#include <boost/exception/exception.hpp>

#include <exception>
#include <string>
#include <type_traits>
#include <utility>

namespace foundation::core::except {

/// Root of the platform's exception interfaces.
class FOUNDATION_API IException {
 public:
  /// A copy on the heap; the caller owns it.
  virtual IException* clone() const = 0;
  /// Throws a copy of the dynamic type.
  [[noreturn]] virtual void rethrow() const = 0;
  virtual ~IException();
  /// A readable, untranslated description (UTF-8).
  virtual const char* what() const noexcept = 0;

 protected:
  IException() = default;
  IException(const IException&) = default;
  IException& operator=(const IException&) = default;
};

/// An error meant for a user: it has a message text.
class FOUNDATION_API IUserException : public IException {
 public:
  /// A copy of the exception's message text (UTF-16).
  virtual std::u16string GetUnicodeMessageTxt() const = 0;

 protected:
  IUserException() = default;
  IUserException(const IUserException&) = default;
  IUserException& operator=(const IUserException&) = default;
};

/// A user error identified by a message identifier.
class FOUNDATION_API IMsgIDException : public IUserException {
 public:
  /// The full identifier: group, colon, identifier.
  virtual std::string get_error_id() const = 0;
  /// The identifier object with its arguments; lives as long as the exception.
  virtual const resource_core::BaseMsgID& getMessageID() const = 0;

 protected:
  IMsgIDException() = default;
  IMsgIDException(const IMsgIDException&) = default;
  IMsgIDException& operator=(const IMsgIDException&) = default;
};

namespace detail {
FOUNDATION_API std::u16string toUnicode(const std::string& utf8);
}

/// The exception for message identifier `Id` (a type derived from
/// resource_core::BaseMsgID). `Base` is a default-constructible standard
/// exception type. Default visibility (FOUNDATION_VISIBLE, from the export
/// header), so that with a default-visible `Id` it is one type in every
/// shared library and is caught by type across them.
template <class Id, class Base = std::exception>
class FOUNDATION_VISIBLE Exception : public IMsgIDException, public Base, public boost::exception {
  static_assert(std::is_base_of_v<resource_core::BaseMsgID, Id>, "Id must be a message identifier");
  static_assert(std::is_base_of_v<std::exception, Base>, "Base must be a standard exception");

 public:
  explicit Exception(Id id) : id_(std::move(id)), what_(id_.text()) {}

  Exception* clone() const override { return new Exception(*this); }
  [[noreturn]] void rethrow() const override { throw *this; }
  const char* what() const noexcept override { return what_.c_str(); }
  std::u16string GetUnicodeMessageTxt() const override { return detail::toUnicode(what_); }
  std::string get_error_id() const override { return id_.fullId(); }
  const Id& getMessageID() const override { return id_; }

 private:
  Id id_;
  std::string what_;
};

/// Called with every exception thrown through throwException before it is
/// thrown. It may report the error its own way; if it returns, the exception
/// is thrown. It must not throw itself.
using LegacyErrorHook = void (*)(const IUserException&);

/// Installs `hook` (nullptr: none, the default) and returns the previous one.
/// Thread-safe.
FOUNDATION_API LegacyErrorHook setLegacyErrorHook(LegacyErrorHook hook) noexcept;

/// Hands `e` to the installed legacy error hook, if any.
FOUNDATION_API void callLegacyErrorHook(const IUserException& e);

/// Builds Exception<Id>, hands it to the legacy error hook, then throws it.
/// Logs nothing.
template <class Id>
[[noreturn]] void throwException(Id id) {
  Exception<Id> e(std::move(id));
  callLegacyErrorHook(e);
  throw e;
}

}  // namespace foundation::core::except
