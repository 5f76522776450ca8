#pragma once
// Writing and reading datatype values as text. The only format is "json":
// a datatype value is an object whose "$type" member is the datatype's
// qualified name and whose other members are its set attributes (arrays for
// multi-valued ones; enumeration literals by name; uuids, date-times and
// StdString as strings; nested datatype values as objects); a value of
// several entries is an array of such objects.

#include <qm/zero/Value.hpp>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qm::zero::io {

/// Where a serializer writes text.
class QM0_API SerializationOutput {
 public:
  virtual ~SerializationOutput();
  virtual void write(std::u16string_view text) = 0;
  /// An output that appends to `target`, which must outlive it.
  static std::unique_ptr<SerializationOutput> forUTF16String(std::u16string& target);
};

/// Writes values in one format. Not thread-safe; make one per use.
class QM0_API Serializer {
 public:
  virtual ~Serializer();
  /// A writer for `format`; null for an unknown format.
  static std::unique_ptr<Serializer> create(const std::string& format);
  /// Writes `value`, a value of a datatype. Throws
  /// qm0:messages:CannotCastIncompatibleTypes (with the type's qualified
  /// name) for a value of another kind, or holding an attribute value that
  /// has no text form (elements, arrays).
  virtual void serialize(const Value& value, SerializationOutput& output) = 0;
};

/// One datatype value read by a Parser.
class QM0_API ParseItem {
 public:
  ParseItem(meta::StructuredType metaClass, Value value) : metaClass_(std::move(metaClass)), value_(std::move(value)) {}
  /// The datatype of the value.
  const meta::StructuredType& getMetaClass() const noexcept { return metaClass_; }
  const Value& getValue() const noexcept { return value_; }

 private:
  meta::StructuredType metaClass_;
  Value value_;
};

/// Reads values written by a Serializer of the same format. Not
/// thread-safe; make one per use.
class QM0_API Parser {
 public:
  virtual ~Parser();
  /// A reader for `format`; null for an unknown format.
  static std::unique_ptr<Parser> create(const std::string& format);
  /// Reads `text`, one document: an object, or an array of objects (as a
  /// Serializer writes several values). Every such object whose "$type"
  /// names a registered datatype becomes one item, in order (objects of
  /// unknown types and other array members are skipped). Throws
  /// qm0:messages:UnparsableText for text that is not one document in the
  /// format (malformed, or followed by a second document) or an attribute
  /// value that does not fit its attribute; the items are then empty.
  virtual void parseString(const std::u16string& text) = 0;
  /// The items read by the last parseString, in order.
  virtual const std::vector<ParseItem>& getCreatedTopLevelItems() const = 0;
};

}  // namespace qm::zero::io
