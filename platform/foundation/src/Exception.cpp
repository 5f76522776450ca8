#include <foundation/core/except/Exception.hpp>

#include <fl/i18n/Unicode.hpp>

#include <atomic>

namespace resource_core {

BaseMsgID::BaseMsgID(std::string group, std::string id, std::vector<MsgArgument> arguments)
    : arguments_(std::move(arguments)), group_(std::move(group)), id_(std::move(id)) {}

BaseMsgID::~BaseMsgID() = default;

std::string BaseMsgID::fullId() const { return group_ + ':' + id_; }

std::string BaseMsgID::text() const {
  std::string out = fullId();
  if (arguments_.empty()) return out;
  out += '(';
  for (std::size_t i = 0; i < arguments_.size(); ++i) {
    if (i != 0) out += ", ";
    out += '"';
    if (const auto* utf8 = std::get_if<std::string>(&arguments_[i])) {
      out += *utf8;
    } else {
      out += fl::i18n::ustring_to_utf8(std::get<std::u16string>(arguments_[i]));
    }
    out += '"';
  }
  out += ')';
  return out;
}

}  // namespace resource_core

namespace foundation::core::except {
namespace {
std::atomic<LegacyErrorHook> legacyErrorHook{nullptr};
}

IException::~IException() = default;

std::u16string detail::toUnicode(const std::string& utf8) { return fl::i18n::utf8_to_ustring(utf8); }

LegacyErrorHook setLegacyErrorHook(LegacyErrorHook hook) noexcept { return legacyErrorHook.exchange(hook); }

void callLegacyErrorHook(const IUserException& e) {
  if (const LegacyErrorHook hook = legacyErrorHook.load()) hook(e);
}

}  // namespace foundation::core::except
