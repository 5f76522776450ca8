#include <matrix/Array.hpp>

#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>

namespace matrix {

struct qxArray_tag {
  ClassId id;
  std::vector<std::size_t> dimensions;
  std::size_t count;
  std::unique_ptr<unsigned char[]> bytes;
};

namespace {

constexpr std::size_t classCount = static_cast<std::size_t>(ClassId::Char) + 1;
constexpr std::size_t sizes[classCount] = {8, 4, 1, 1, 2, 2, 4, 4, 8, 8, 1, 2};

// Serialized form: magic "QXA1", class byte, dimension count (u32), each
// dimension (u64), then the element bytes, all little-endian.
constexpr char magic[4] = {'Q', 'X', 'A', '1'};

bool validClass(ClassId id) { return static_cast<std::size_t>(id) < classCount; }

std::size_t countOf(const std::vector<std::size_t>& dimensions) {
  std::size_t count = 1;
  for (std::size_t d : dimensions) {
    if (d != 0 && count > std::numeric_limits<std::size_t>::max() / d) throw std::length_error("array too large");
    count *= d;
  }
  return count;
}

void putUnsigned(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((value >> (8 * i)) & 0xFF));
}

std::uint64_t getUnsigned(std::string_view& in, int bytes) {
  if (in.size() < static_cast<std::size_t>(bytes)) throw std::invalid_argument("truncated array data");
  std::uint64_t value = 0;
  for (int i = 0; i < bytes; ++i) value |= std::uint64_t(static_cast<unsigned char>(in[i])) << (8 * i);
  in.remove_prefix(bytes);
  return value;
}

// Element bytes are kept in the machine's order; storage is little-endian.
void copyLittleEndian(unsigned char* to, const unsigned char* from, std::size_t count, std::size_t width) {
  const bool little = [] {
    const std::uint16_t probe = 1;
    unsigned char first;
    std::memcpy(&first, &probe, 1);
    return first == 1;
  }();
  if (little || width == 1) {
    std::memcpy(to, from, count * width);
    return;
  }
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t b = 0; b < width; ++b) to[i * width + b] = from[i * width + width - 1 - b];
  }
}

}  // namespace

std::size_t elementSize(ClassId id) {
  if (!validClass(id)) throw std::invalid_argument("unknown array class");
  return sizes[static_cast<std::size_t>(id)];
}

qxArray_tag* createNumericArray(ClassId id, const std::vector<std::size_t>& dims) {
  const std::size_t width = elementSize(id);
  std::vector<std::size_t> padded = dims;
  while (padded.size() < 2) padded.push_back(1);
  const std::size_t count = countOf(padded);
  if (count > std::numeric_limits<std::size_t>::max() / width) throw std::length_error("array too large");
  auto array = std::make_unique<qxArray_tag>();
  array->id = id;
  array->dimensions = std::move(padded);
  array->count = count;
  array->bytes.reset(new unsigned char[count * width == 0 ? 1 : count * width]());
  return array.release();
}

qxArray_tag* duplicateArray(const qxArray_tag* array) {
  if (array == nullptr) return nullptr;
  qxArray_tag* copy = createNumericArray(array->id, array->dimensions);
  std::memcpy(copy->bytes.get(), array->bytes.get(), array->count * elementSize(array->id));
  return copy;
}

void destroyArray(qxArray_tag* array) noexcept { delete array; }

ClassId classId(const qxArray_tag* array) noexcept { return array->id; }
const std::vector<std::size_t>& dimensions(const qxArray_tag* array) noexcept { return array->dimensions; }
std::size_t numberOfElements(const qxArray_tag* array) noexcept { return array->count; }
void* data(qxArray_tag* array) noexcept { return array->bytes.get(); }
const void* data(const qxArray_tag* array) noexcept { return array->bytes.get(); }

bool arraysEqual(const qxArray_tag* a, const qxArray_tag* b) noexcept {
  if (a == nullptr || b == nullptr) return a == b;
  return a->id == b->id && a->dimensions == b->dimensions &&
         std::memcmp(a->bytes.get(), b->bytes.get(), a->count * sizes[static_cast<std::size_t>(a->id)]) == 0;
}

std::string serializeArray(const qxArray_tag* array) {
  if (array == nullptr) throw std::invalid_argument("null array");
  const std::size_t width = elementSize(array->id);
  std::string out(magic, sizeof magic);
  out.push_back(static_cast<char>(array->id));
  putUnsigned(out, array->dimensions.size(), 4);
  for (std::size_t d : array->dimensions) putUnsigned(out, d, 8);
  const std::size_t start = out.size();
  out.resize(start + array->count * width);
  copyLittleEndian(reinterpret_cast<unsigned char*>(&out[start]), array->bytes.get(), array->count, width);
  return out;
}

qxArray_tag* deserializeArray(std::string_view bytes) {
  if (bytes.size() < sizeof magic + 1 || std::memcmp(bytes.data(), magic, sizeof magic) != 0) {
    throw std::invalid_argument("not a serialized array");
  }
  bytes.remove_prefix(sizeof magic);
  const auto id = static_cast<ClassId>(static_cast<unsigned char>(bytes[0]));
  bytes.remove_prefix(1);
  if (!validClass(id)) throw std::invalid_argument("serialized array of unknown class");
  const std::uint64_t rank = getUnsigned(bytes, 4);
  if (rank < 2 || rank > bytes.size() / 8) throw std::invalid_argument("serialized array with a bad rank");
  std::vector<std::size_t> dims;
  for (std::uint64_t i = 0; i < rank; ++i) dims.push_back(static_cast<std::size_t>(getUnsigned(bytes, 8)));
  const std::size_t width = elementSize(id);
  std::size_t count = 0;
  try {
    count = countOf(dims);
  } catch (const std::length_error&) {
    throw std::invalid_argument("serialized array too large");
  }
  if (count > bytes.size() / width || count * width != bytes.size()) {
    throw std::invalid_argument("serialized array data has the wrong length");
  }
  ArrayPtr array(createNumericArray(id, dims));
  copyLittleEndian(array->bytes.get(), reinterpret_cast<const unsigned char*>(bytes.data()), count, width);
  return array.release();
}

}  // namespace matrix
