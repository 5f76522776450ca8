#include "Slot.hpp"

#include <boost/date_time/posix_time/ptime.hpp>

#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

namespace qm::zero::detail {

namespace {

// The alternatives of Entry a slot keeps in place.
template <class T>
constexpr std::size_t alt = AlternativeIndex<T, Entry>::value;

static_assert(std::is_trivially_copyable_v<boost::posix_time::ptime> && sizeof(boost::posix_time::ptime) <= 8,
              "a date-time is kept in place as its bytes");
static_assert(sizeof(ModelElement) == sizeof(void*), "a reference is kept in place as its handle");

// A heap text: the characters, and their count in raw_[8..12).
constexpr std::size_t heapLength = 8;

template <class T>
void put(unsigned char* raw, const T& v) noexcept {
  std::memcpy(raw, &v, sizeof v);
}
template <class T>
T take(const unsigned char* raw) noexcept {
  T v;
  std::memcpy(&v, raw, sizeof v);
  return v;
}

bool keptInPlace(std::size_t alternative) {
  switch (alternative) {
    case alt<std::int32_t>:
    case alt<std::uint32_t>:
    case alt<std::int64_t>:
    case alt<std::uint8_t>:
    case alt<std::uint64_t>:
    case alt<double>:
    case alt<boost::posix_time::ptime>:
    case alt<bool>:
    case alt<ModelElement>:
      return true;
    default:
      return false;
  }
}

// Copies a scalar alternative's bytes into raw.
template <class T>
bool putScalar(unsigned char* raw, const Entry& entry) {
  if (const T* v = std::get_if<T>(&entry)) {
    put(raw, *v);
    return true;
  }
  return false;
}

// The handle constructed in place in raw.
const ModelElement* element(const unsigned char* raw) noexcept {
  return std::launder(reinterpret_cast<const ModelElement*>(raw));
}

template <class T>
Entry scalarEntry(const unsigned char* raw) {
  return Entry(std::in_place_type<T>, take<T>(raw));
}

}  // namespace

Slot::Slot(const Slot& other) { copyFrom(other); }

// The contents move bitwise: a handle and heap pointers relocate.
Slot::Slot(Slot&& other) noexcept : length_(other.length_), tag_(other.tag_) {
  std::memcpy(raw_, other.raw_, sizeof raw_);
  other.setKind(Kind::Empty);
}

Slot& Slot::operator=(const Slot& other) {
  if (this != &other) {
    Slot copy(other);
    *this = std::move(copy);
  }
  return *this;
}

Slot& Slot::operator=(Slot&& other) noexcept {
  if (this != &other) {
    clear();
    std::memcpy(raw_, other.raw_, sizeof raw_);
    length_ = other.length_;
    tag_ = other.tag_;
    other.setKind(Kind::Empty);
  }
  return *this;
}

void Slot::copyFrom(const Slot& other) {
  const Kind k = other.kind();
  tag_ = other.tag_ & unloadedBit;
  if (k == Kind::Empty) return;
  if (k == Kind::List) {
    put(raw_, new Entries(*other.list()));
  } else if (k == Kind::HeapString || k == Kind::HeapStdString) {
    const auto n = take<std::uint32_t>(other.raw_ + heapLength);
    const std::size_t bytes = k == Kind::HeapString ? n * sizeof(char16_t) : n;
    auto* copy = new unsigned char[bytes];
    std::memcpy(copy, take<unsigned char*>(other.raw_), bytes);
    put(raw_, copy);
    put(raw_ + heapLength, n);
  } else if (static_cast<std::size_t>(k) == alt<ModelElement>) {
    new (raw_) ModelElement(*element(other.raw_));
  } else {
    std::memcpy(raw_, other.raw_, sizeof raw_);
    length_ = other.length_;
  }
  setKind(k);
}

void Slot::clear() noexcept {
  switch (kind()) {
    case Kind::Empty:
      return;
    case Kind::List:
      delete list();
      break;
    case Kind::HeapString:
    case Kind::HeapStdString:
      delete[] take<unsigned char*>(raw_);
      break;
    default:
      if (static_cast<std::size_t>(kind()) == alt<ModelElement>) std::launder(reinterpret_cast<ModelElement*>(raw_))->~ModelElement();
      break;
  }
  setKind(Kind::Empty);
}

Entries* Slot::list() const noexcept { return take<Entries*>(raw_); }

std::size_t Slot::size() const noexcept {
  switch (kind()) {
    case Kind::Empty:
      return 0;
    case Kind::List:
      return list()->size();
    default:
      return 1;
  }
}

Entry Slot::at(std::size_t index) const {
  const Kind k = kind();
  if (k == Kind::List) return (*list())[index];
  if (k == Kind::HeapString) {
    const auto* chars = take<const char16_t*>(raw_);
    return Entry(std::in_place_type<std::u16string>, chars, take<std::uint32_t>(raw_ + heapLength));
  }
  if (k == Kind::HeapStdString) {
    const auto* chars = take<const char*>(raw_);
    return Entry(std::in_place_type<std::string>, chars, take<std::uint32_t>(raw_ + heapLength));
  }
  switch (static_cast<std::size_t>(k)) {
    case alt<std::int32_t>:
      return scalarEntry<std::int32_t>(raw_);
    case alt<std::uint32_t>:
      return scalarEntry<std::uint32_t>(raw_);
    case alt<std::int64_t>:
      return scalarEntry<std::int64_t>(raw_);
    case alt<std::uint8_t>:
      return scalarEntry<std::uint8_t>(raw_);
    case alt<std::uint64_t>:
      return scalarEntry<std::uint64_t>(raw_);
    case alt<double>:
      return scalarEntry<double>(raw_);
    case alt<boost::posix_time::ptime>:
      return scalarEntry<boost::posix_time::ptime>(raw_);
    case alt<bool>:
      return scalarEntry<bool>(raw_);
    case alt<ModelElement>:
      return Entry(std::in_place_type<ModelElement>, *element(raw_));
    case alt<std::u16string>: {
      char16_t chars[inlineText / sizeof(char16_t)];
      std::memcpy(chars, raw_, length_ * sizeof(char16_t));
      return Entry(std::in_place_type<std::u16string>, chars, length_);
    }
    case alt<std::string>:
      return Entry(std::in_place_type<std::string>, reinterpret_cast<const char*>(raw_), length_);
    default:
      return Entry();
  }
}

ModelElement::Impl* Slot::elementAt(std::size_t index) const noexcept {
  if (kind() == Kind::List) return std::get<ModelElement>((*list())[index]).get();
  return element(raw_)->get();
}

Entries Slot::entries() const {
  if (kind() == Kind::List) return *list();
  Entries out;
  if (!empty()) out.push_back(at(0));
  return out;
}

bool Slot::equals(const Entries& entries) const {
  if (kind() == Kind::List) return *list() == entries;
  if (entries.size() != size()) return false;
  return entries.empty() || equalsAt(0, entries.front());
}

bool Slot::equalsAt(std::size_t index, const Entry& entry) const {
  if (kind() == Kind::List) return (*list())[index] == entry;
  if (static_cast<std::size_t>(kind()) == alt<ModelElement>) {
    const ModelElement* e = std::get_if<ModelElement>(&entry);
    return e != nullptr && e->get() == elementAt(0);
  }
  return at(index) == entry;
}

void Slot::setSingle(Entry entry) {
  const std::size_t a = entry.index();
  if (a == alt<ModelElement>) {
    new (raw_) ModelElement(std::move(std::get<ModelElement>(entry)));
    setKind(a);
    return;
  }
  if (keptInPlace(a)) {
    (void)(putScalar<std::int32_t>(raw_, entry) || putScalar<std::uint32_t>(raw_, entry) ||
        putScalar<std::int64_t>(raw_, entry) || putScalar<std::uint8_t>(raw_, entry) ||
        putScalar<std::uint64_t>(raw_, entry) || putScalar<double>(raw_, entry) ||
        putScalar<boost::posix_time::ptime>(raw_, entry) || putScalar<bool>(raw_, entry));
    setKind(a);
    return;
  }
  if (const auto* s = std::get_if<std::u16string>(&entry)) {
    if (s->size() * sizeof(char16_t) <= inlineText) {
      std::memcpy(raw_, s->data(), s->size() * sizeof(char16_t));
      length_ = static_cast<std::uint8_t>(s->size());
      setKind(a);
      return;
    }
    if (s->size() <= std::numeric_limits<std::uint32_t>::max()) {
      auto* chars = new char16_t[s->size()];
      std::memcpy(chars, s->data(), s->size() * sizeof(char16_t));
      put(raw_, chars);
      put(raw_ + heapLength, static_cast<std::uint32_t>(s->size()));
      setKind(Kind::HeapString);
      return;
    }
  }
  if (const auto* s = std::get_if<std::string>(&entry)) {
    if (s->size() <= inlineText) {
      std::memcpy(raw_, s->data(), s->size());
      length_ = static_cast<std::uint8_t>(s->size());
      setKind(a);
      return;
    }
    if (s->size() <= std::numeric_limits<std::uint32_t>::max()) {
      auto* chars = new char[s->size()];
      std::memcpy(chars, s->data(), s->size());
      put(raw_, chars);
      put(raw_ + heapLength, static_cast<std::uint32_t>(s->size()));
      setKind(Kind::HeapStdString);
      return;
    }
  }
  // A uuid, an array, a map, a data value, a text too long to count in
  // 32 bits: a list of one.
  auto* l = new Entries;
  try {
    l->push_back(std::move(entry));
  } catch (...) {
    delete l;
    throw;
  }
  put(raw_, l);
  setKind(Kind::List);
}

Entries& Slot::makeList() {
  if (kind() == Kind::List) return *list();
  auto* l = new Entries;
  try {
    if (!empty()) l->push_back(at(0));
  } catch (...) {
    delete l;
    throw;
  }
  clear();
  put(raw_, l);
  setKind(Kind::List);
  return *l;
}

void Slot::shrink() {
  Entries* l = list();
  if (l->size() > 1) return;
  if (l->empty()) {
    clear();
    return;
  }
  if (!keptInPlace(l->front().index()) && l->front().index() != alt<std::u16string> &&
      l->front().index() != alt<std::string>)
    return;
  Entry only = std::move(l->front());
  clear();
  setSingle(std::move(only));
}

bool Slot::assignInPlace(const Entry& entry) {
  const std::size_t a = entry.index();
  if (a == alt<ModelElement>) {
    ModelElement copy = std::get<ModelElement>(entry);  // before clear(): it may drop the same element
    clear();
    new (raw_) ModelElement(std::move(copy));
  } else if (keptInPlace(a)) {
    clear();
    (void)(putScalar<std::int32_t>(raw_, entry) || putScalar<std::uint32_t>(raw_, entry) ||
        putScalar<std::int64_t>(raw_, entry) || putScalar<std::uint8_t>(raw_, entry) ||
        putScalar<std::uint64_t>(raw_, entry) || putScalar<double>(raw_, entry) ||
        putScalar<boost::posix_time::ptime>(raw_, entry) || putScalar<bool>(raw_, entry));
  } else if (const auto* s16 = std::get_if<std::u16string>(&entry); s16 && s16->size() * sizeof(char16_t) <= inlineText) {
    clear();
    std::memcpy(raw_, s16->data(), s16->size() * sizeof(char16_t));
    length_ = static_cast<std::uint8_t>(s16->size());
  } else if (const auto* s8 = std::get_if<std::string>(&entry); s8 && s8->size() <= inlineText) {
    clear();
    std::memcpy(raw_, s8->data(), s8->size());
    length_ = static_cast<std::uint8_t>(s8->size());
  } else {
    return false;
  }
  setKind(a);
  return true;
}

void Slot::assign(const Entries& entries) {
  // The common case, one small entry, is stored straight from the caller's
  // entry: no copy of it to store and then drop.
  if (entries.size() == 1 && assignInPlace(entries.front())) return;
  if (entries.size() == 1) {
    Entry only = entries.front();
    clear();
    setSingle(std::move(only));
    return;
  }
  if (entries.empty()) {
    clear();
    return;
  }
  adoptList(new Entries(entries));
}

void Slot::assign(Entries&& entries) {
  if (entries.size() <= 1) {
    assign(static_cast<const Entries&>(entries));
    return;
  }
  adoptList(new Entries(std::move(entries)));
}

void Slot::adoptList(Entries* list) noexcept {
  clear();
  put(raw_, list);
  setKind(Kind::List);
}

void Slot::insert(std::size_t index, Entry entry) {
  if (empty()) {
    setSingle(std::move(entry));
    return;
  }
  Entries& l = makeList();
  l.insert(l.begin() + static_cast<std::ptrdiff_t>(index), std::move(entry));
}

void Slot::erase(std::size_t index) {
  if (kind() != Kind::List) {
    clear();
    return;
  }
  Entries& l = *list();
  l.erase(l.begin() + static_cast<std::ptrdiff_t>(index));
  shrink();
}

void Slot::replace(std::size_t index, Entry entry) {
  if (kind() == Kind::List && list()->size() > 1) {
    (*list())[index] = std::move(entry);
    return;
  }
  clear();
  setSingle(std::move(entry));
}

}  // namespace qm::zero::detail
