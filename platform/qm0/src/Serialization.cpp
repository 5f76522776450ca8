// Text forms of values: the standard property serializers, the registry, and
// the JSON writer and reader of datatype values. The only file that sees
// Boost.JSON.

#include <qm/zero/Messages.hpp>
#include <qm/zero/io/Serializer.hpp>
#include <qm/zero/meta/MetaRegistry.hpp>
#include <qm/zero/meta/PropertySerializer.hpp>
#include <qm/zero/meta/StandardTypes.hpp>

#include <fl/i18n/Unicode.hpp>
#include <foundation/core/except/Exception.hpp>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/json.hpp>
#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <charconv>
#include <map>
#include <mutex>
#include <stdexcept>
#include <system_error>

namespace qm::zero {

namespace {

using foundation::core::except::throwException;
namespace json = boost::json;
namespace pt = boost::posix_time;

[[noreturn]] void cannotCast(const meta::Type& type) {
  throwException(qm0::messages::CannotCastIncompatibleTypes(type ? type->getQualifiedName() : std::u16string()));
}

std::string utf8(const std::u16string& s) { return fl::i18n::ustring_to_utf8(s); }
std::u16string utf16(std::string_view s) { return fl::i18n::utf8_to_ustring(s); }

template <class T>
std::string numberText(T n) {
  char buffer[64];
  auto result = std::to_chars(buffer, buffer + sizeof buffer, n);
  return std::string(buffer, result.ptr);
}

// The whole of `text` as a T; none otherwise.
template <class T>
bool parseNumber(const std::string& text, T& out) {
  if (text.empty()) return false;
  auto result = std::from_chars(text.data(), text.data() + text.size(), out);
  return result.ec == std::errc() && result.ptr == text.data() + text.size();
}

std::string dateTimeText(const pt::ptime& t) {
  if (t.is_not_a_date_time()) return "not-a-date-time";
  if (t.is_neg_infinity()) return "-infinity";
  if (t.is_pos_infinity()) return "+infinity";
  return pt::to_iso_extended_string(t);
}

bool parseDateTime(const std::string& text, pt::ptime& out) {
  if (text == "not-a-date-time") out = pt::ptime(boost::date_time::not_a_date_time);
  else if (text == "-infinity") out = pt::ptime(boost::date_time::neg_infin);
  else if (text == "+infinity") out = pt::ptime(boost::date_time::pos_infin);
  else {
    try {
      std::string s = text;
      auto t = s.find('T');
      if (t == std::string::npos) return false;
      s[t] = ' ';
      out = pt::time_from_string(s);
    } catch (const std::exception&) {
      return false;
    }
    if (out.is_special()) return false;
  }
  return true;
}

bool parseUuid(const std::string& text, boost::uuids::uuid& out) {
  if (text.size() != 36) return false;
  try {
    out = boost::uuids::string_generator()(text);
  } catch (const std::exception&) {
    return false;
  }
  return true;
}

json::object mapJson(const StringToStringMap& map) {
  json::object o;
  for (const auto& [k, v] : map) o[utf8(k)] = utf8(v);
  return o;
}

bool parseMap(const json::value& v, StringToStringMap& out) {
  if (!v.is_object()) return false;
  for (const auto& [k, item] : v.as_object()) {
    if (!item.is_string()) return false;
    out[utf16(k)] = utf16(item.as_string());
  }
  return true;
}

// --- Standard property serializers ------------------------------------------

class StandardSerializer final : public meta::PropertySerializer {
 public:
  explicit StandardSerializer(EntryType entryType) : entryType_(entryType) {}

  std::u16string serializeValue(const Value& value) const override {
    if (value.isEmpty()) throwException(qm0::messages::InvalidValue());
    switch (entryType_) {
      case EntryType::Integer: return text(numberText(value.get<std::int32_t>()));
      case EntryType::UnlimitedNatural: return text(numberText(value.get<std::uint32_t>()));
      case EntryType::Integer64: return text(numberText(value.get<std::int64_t>()));
      case EntryType::UInteger8: return text(numberText(unsigned(value.get<std::uint8_t>())));
      case EntryType::UInteger64: return text(numberText(value.get<std::uint64_t>()));
      case EntryType::Real: return text(numberText(value.get<double>()));
      case EntryType::String: return value.get<std::u16string>();
      case EntryType::StdString: return utf16(value.get<std::string>());
      case EntryType::DateTime: return text(dateTimeText(value.get<pt::ptime>()));
      case EntryType::UUID: return text(boost::uuids::to_string(value.get<boost::uuids::uuid>()));
      case EntryType::Boolean: return value.get<bool>() ? u"true" : u"false";
      case EntryType::StringToStringMap: return utf16(json::serialize(mapJson(value.get<StringToStringMap>())));
      default: break;
    }
    cannotCast(value.getType());
  }

  Value deserializeValue(const std::u16string& textValue, const meta::Type& type) const override {
    const std::string s = utf8(textValue);
    bool ok = false;
    Value out;
    auto make = [&](auto n) {
      out = Value(type, n);
      ok = true;
    };
    switch (entryType_) {
      case EntryType::Integer: { std::int32_t n; if (parseNumber(s, n)) make(n); break; }
      case EntryType::UnlimitedNatural: { std::uint32_t n; if (parseNumber(s, n)) make(n); break; }
      case EntryType::Integer64: { std::int64_t n; if (parseNumber(s, n)) make(n); break; }
      case EntryType::UInteger8: { unsigned n; if (parseNumber(s, n) && n < 256) make(std::uint8_t(n)); break; }
      case EntryType::UInteger64: { std::uint64_t n; if (parseNumber(s, n)) make(n); break; }
      case EntryType::Real: { double n; if (parseNumber(s, n)) make(n); break; }
      case EntryType::String: make(textValue); break;
      case EntryType::StdString: make(s); break;
      case EntryType::DateTime: { pt::ptime t; if (parseDateTime(s, t)) make(t); break; }
      case EntryType::UUID: { boost::uuids::uuid u; if (parseUuid(s, u)) make(u); break; }
      case EntryType::Boolean: if (s == "true" || s == "false") make(s == "true"); break;
      case EntryType::StringToStringMap: {
        std::error_code ec;
        json::value v = json::parse(s, ec);
        StringToStringMap map;
        if (!ec && parseMap(v, map)) make(map);
        break;
      }
      default: break;
    }
    if (!ok) throwException(qm0::messages::InvalidValue());
    return out;
  }

 private:
  static std::u16string text(const std::string& ascii) { return std::u16string(ascii.begin(), ascii.end()); }
  EntryType entryType_;
};

// --- JSON of datatype values --------------------------------------------------

json::value entryJson(const Entry& entry, EntryType et, const meta::Type& type);

json::object dataValueJson(const DataValue& d) {
  json::object o;
  o["$type"] = utf8(d.getType()->getQualifiedName());
  for (const meta::Property& attribute : d.getType()->getAllAttributes()) {
    Value v = d.get(attribute);
    if (v.isEmpty()) continue;
    meta::Type t = attribute->getType();
    EntryType et = entryTypeOf(t);
    if (attribute->isMultiValued()) {
      json::array a;
      for (const Entry& e : v.getEntries()) a.push_back(entryJson(e, et, t));
      o[utf8(attribute->getName())] = std::move(a);
    } else {
      o[utf8(attribute->getName())] = entryJson(v.getEntries().front(), et, t);
    }
  }
  return o;
}

json::value entryJson(const Entry& entry, EntryType et, const meta::Type& type) {
  switch (et) {
    case EntryType::Integer: return std::get<std::int32_t>(entry);
    case EntryType::UnlimitedNatural: return std::get<std::uint32_t>(entry);
    case EntryType::Integer64: return std::get<std::int64_t>(entry);
    case EntryType::UInteger8: return std::get<std::uint8_t>(entry);
    case EntryType::UInteger64: return std::get<std::uint64_t>(entry);
    case EntryType::Real: return std::get<double>(entry);
    case EntryType::String: return json::string(utf8(std::get<std::u16string>(entry)));
    case EntryType::StdString: return json::string(std::get<std::string>(entry));
    case EntryType::DateTime: return json::string(dateTimeText(std::get<pt::ptime>(entry)));
    case EntryType::UUID: return json::string(boost::uuids::to_string(std::get<boost::uuids::uuid>(entry)));
    case EntryType::Boolean: return std::get<bool>(entry);
    case EntryType::StringToStringMap: return mapJson(std::get<StringMapEntry>(entry).get());
    case EntryType::EnumLiteral: {
      std::int32_t n = std::get<std::int32_t>(entry);
      auto name = meta::Enum::downcast(type)->getLiteralName(n);
      if (name) return json::string(utf8(*name));
      return n;
    }
    case EntryType::DataValue: return dataValueJson(std::get<DataValue>(entry));
    default: cannotCast(type);
  }
}

// Text that cannot be read is bad data, not a misuse of the API: it gets the
// framework's own identifier, which hosts catch with the rest of its refusals.
[[noreturn]] void unparsableJson(std::string reason) {
  throwException(qm0::messages::UnparsableText("json", std::move(reason)));
}

[[noreturn]] void badJson(const meta::Type& type) {
  unparsableJson("a value does not fit " + utf8(type ? type->getQualifiedName() : u"?"));
}

DataValue dataValueFromJson(const json::object& o, const meta::DataType& type);

Entry entryFromJson(const json::value& v, EntryType et, const meta::Type& type) {
  auto integer = [&](auto sample) -> decltype(sample) {
    using T = decltype(sample);
    if (v.is_int64()) {
      std::int64_t n = v.get_int64();
      if (n < std::int64_t(std::numeric_limits<T>::min()) ||
          (n > 0 && std::uint64_t(n) > std::uint64_t(std::numeric_limits<T>::max())))
        badJson(type);
      return T(n);
    }
    if (v.is_uint64()) {
      std::uint64_t n = v.get_uint64();
      if (n > std::uint64_t(std::numeric_limits<T>::max())) badJson(type);
      return T(n);
    }
    badJson(type);
  };
  auto string = [&]() -> std::string {
    if (!v.is_string()) badJson(type);
    return std::string(v.get_string());
  };
  switch (et) {
    case EntryType::Integer: return integer(std::int32_t());
    case EntryType::UnlimitedNatural: return integer(std::uint32_t());
    case EntryType::Integer64: return integer(std::int64_t());
    case EntryType::UInteger8: return integer(std::uint8_t());
    case EntryType::UInteger64: return integer(std::uint64_t());
    case EntryType::Real:
      if (v.is_double()) return v.get_double();
      if (v.is_int64()) return double(v.get_int64());
      if (v.is_uint64()) return double(v.get_uint64());
      badJson(type);
    case EntryType::String: return utf16(string());
    case EntryType::StdString: return string();
    case EntryType::DateTime: {
      pt::ptime t;
      if (!parseDateTime(string(), t)) badJson(type);
      return t;
    }
    case EntryType::UUID: {
      boost::uuids::uuid u;
      if (!parseUuid(string(), u)) badJson(type);
      return u;
    }
    case EntryType::Boolean:
      if (!v.is_bool()) badJson(type);
      return v.get_bool();
    case EntryType::StringToStringMap: {
      StringToStringMap map;
      if (!parseMap(v, map)) badJson(type);
      return StringMapEntry(map);
    }
    case EntryType::EnumLiteral: {
      if (!v.is_string()) return integer(std::int32_t());
      auto n = meta::Enum::downcast(type)->getLiteralValue(utf16(v.get_string()));
      if (!n) badJson(type);
      return *n;
    }
    case EntryType::DataValue:
      if (!v.is_object()) badJson(type);
      return dataValueFromJson(v.get_object(), meta::DataType::downcast(type));
    default: badJson(type);
  }
}

DataValue dataValueFromJson(const json::object& o, const meta::DataType& type) {
  DataValue d(type);
  for (const meta::Property& attribute : type->getAllAttributes()) {
    auto it = o.find(utf8(attribute->getName()));
    if (it == o.end() || it->value().is_null()) continue;
    meta::Type t = attribute->getType();
    EntryType et = entryTypeOf(t);
    Entries entries;
    if (attribute->isMultiValued()) {
      if (!it->value().is_array() || it->value().get_array().size() > attribute->getUpper()) badJson(t);
      for (const json::value& item : it->value().get_array()) entries.push_back(entryFromJson(item, et, t));
    } else {
      entries.push_back(entryFromJson(it->value(), et, t));
    }
    d.set(attribute, Value(ValueMeta(t, ValueMeta::Present, et), std::move(entries)));
  }
  return d;
}

class StringOutput final : public io::SerializationOutput {
 public:
  explicit StringOutput(std::u16string& target) : target_(target) {}
  void write(std::u16string_view text) override { target_.append(text); }

 private:
  std::u16string& target_;
};

class JsonSerializer final : public io::Serializer {
 public:
  void serialize(const Value& value, io::SerializationOutput& output) override {
    if (value.getMeta().getEntryType() != EntryType::DataValue) cannotCast(value.getType());
    json::value v;
    if (value.size() == 1) {
      v = dataValueJson(std::get<DataValue>(value.getEntries().front()));
    } else {
      json::array a;
      for (const Entry& e : value.getEntries()) a.push_back(dataValueJson(std::get<DataValue>(e)));
      v = std::move(a);
    }
    output.write(utf16(json::serialize(v)));
  }
};

class JsonParser final : public io::Parser {
 public:
  void parseString(const std::u16string& text) override {
    items_.clear();
    std::error_code ec;
    json::value v = json::parse(utf8(text), ec);
    // Several values are written as one array; documents one after the other
    // are not something a Serializer writes.
    if (ec == json::error::extra_data) unparsableJson("text follows the first JSON document");
    if (ec) unparsableJson("not JSON: " + ec.message());
    std::vector<io::ParseItem> items;
    if (v.is_object()) {
      add(v.get_object(), items);
    } else if (v.is_array()) {
      for (const json::value& item : v.get_array())
        if (item.is_object()) add(item.get_object(), items);
    }
    items_ = std::move(items);
  }
  const std::vector<io::ParseItem>& getCreatedTopLevelItems() const override { return items_; }

 private:
  static void add(const json::object& o, std::vector<io::ParseItem>& items) {
    auto it = o.find("$type");
    if (it == o.end() || !it->value().is_string()) return;
    meta::DataType type =
        meta::DataType::downcast(meta::MetaRegistry::getInstance()->getType(utf16(it->value().get_string())));
    if (!type) return;
    items.emplace_back(type, Value(type, dataValueFromJson(o, type)));
  }
  std::vector<io::ParseItem> items_;
};

}  // namespace

// --- Interfaces -----------------------------------------------------------------

namespace meta {

PropertySerializer::~PropertySerializer() = default;
Value PropertySerializer::defaultValue(const Type& type) const { return Value(type, boost::none); }
void PropertySerializer::releaseValue(const Value&, const Type&) const {}
DatatypeSerializer::~DatatypeSerializer() = default;

struct PropertySerializerRegistry::State {
  struct PropertyEntry {
    Type type;  // keeps the key's type alive
    std::unique_ptr<PropertySerializer> serializer;
  };
  struct DatatypeEntry {
    DataType type;
    std::unique_ptr<DatatypeSerializer> serializer;
  };
  mutable std::mutex mutex;
  std::map<std::pair<const void*, std::string>, PropertyEntry> properties;  // guarded by mutex
  std::map<const void*, DatatypeEntry> datatypes;                           // guarded by mutex
};

PropertySerializerRegistry::PropertySerializerRegistry() : state_(std::make_unique<State>()) {
  for (const PrimitiveType* t :
       {&StandardTypes::integerMeta(), &StandardTypes::unlimitedNaturalMeta(), &StandardTypes::integer64Meta(),
        &StandardTypes::uinteger8Meta(), &StandardTypes::uinteger64Meta(), &StandardTypes::realMeta(),
        &StandardTypes::stringMeta(), &StandardTypes::stdstringMeta(), &StandardTypes::dateTimeMeta(),
        &StandardTypes::uuidMeta(), &StandardTypes::booleanMeta(), &StandardTypes::stringToStringMapMeta()})
    registerPropertySerializer(*t, "", std::make_unique<StandardSerializer>((*t)->getEntryType()));
}

PropertySerializerRegistry::~PropertySerializerRegistry() = default;

PropertySerializerRegistry* PropertySerializerRegistry::getInstance() {
  static PropertySerializerRegistry instance;
  return &instance;
}

PropertySerializer* PropertySerializerRegistry::getPropertySerializer(const Type& type,
                                                                      const std::string& format) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->properties.find({type.get(), format});
  return it == state_->properties.end() ? nullptr : it->second.serializer.get();
}

DatatypeSerializer* PropertySerializerRegistry::getDatatypeSerializer(const DataType& type) const {
  std::lock_guard<std::mutex> lock(state_->mutex);
  auto it = state_->datatypes.find(type.get());
  return it == state_->datatypes.end() ? nullptr : it->second.serializer.get();
}

bool PropertySerializerRegistry::registerPropertySerializer(const Type& type, const std::string& format,
                                                            std::unique_ptr<PropertySerializer> serializer) {
  if (!type || !serializer) throw std::invalid_argument("qm0: null type or serializer");
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->properties.try_emplace({type.get(), format}, State::PropertyEntry{type, std::move(serializer)})
      .second;
}

bool PropertySerializerRegistry::registerDatatypeSerializer(const DataType& type,
                                                            std::unique_ptr<DatatypeSerializer> serializer) {
  if (!type || !serializer) throw std::invalid_argument("qm0: null type or serializer");
  std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->datatypes.try_emplace(type.get(), State::DatatypeEntry{type, std::move(serializer)}).second;
}

}  // namespace meta

namespace io {

SerializationOutput::~SerializationOutput() = default;
std::unique_ptr<SerializationOutput> SerializationOutput::forUTF16String(std::u16string& target) {
  return std::make_unique<StringOutput>(target);
}

Serializer::~Serializer() = default;
std::unique_ptr<Serializer> Serializer::create(const std::string& format) {
  return format == "json" ? std::make_unique<JsonSerializer>() : nullptr;
}

Parser::~Parser() = default;
std::unique_ptr<Parser> Parser::create(const std::string& format) {
  return format == "json" ? std::make_unique<JsonParser>() : nullptr;
}

}  // namespace io
}  // namespace qm::zero
