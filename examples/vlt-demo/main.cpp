// vlt-demo: a small host program of the repository. It creates a repository
// from the base metamodel file, defines a library of books, writes a few
// objects in one transaction, closes, reopens and reads them back, checking
// every value against what it wrote.
//
// usage: vlt-demo BASE_METAMODEL_FILE REPOSITORY
// REPOSITORY is a file that must not exist yet, or a postgresql:// URI of a
// database (or schema, through options=-csearch_path%3Dname) that holds
// nothing yet. Exit code 0 when everything read back is what was written, 1
// otherwise or on any error, 2 for bad usage.

#include <vlt/Repository.hpp>
#include <vlt/Uri.hpp>

#include <fl/i18n/Unicode.hpp>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/uuid/string_generator.hpp>
#include <boost/uuid/uuid_io.hpp>

#include <sys/stat.h>

#include <cstdint>
#include <exception>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using boost::posix_time::ptime;
using boost::posix_time::time_from_string;

// Fixed uuids, so that every run gives the same repository content.
const boost::uuids::uuid libraryUuid = boost::uuids::string_generator()("6c1b2a00-0d3e-4f5a-8b6c-000000000001");
const boost::uuids::uuid packageInfoUuid = boost::uuids::string_generator()("6c1b2a00-0d3e-4f5a-8b6c-000000000002");

struct Book {
  const char* uuid;
  std::u16string title;
  std::string isbn;
  std::int32_t pages;
  double price;
  bool onLoan;
  int genre;
  boost::optional<std::int64_t> copiesSold;
  std::vector<std::string> keywords;
  const char* catalogueId;
  std::vector<std::size_t> seeAlso;  // indexes of other books
};

const std::vector<Book> books = {
    {"6c1b2a00-0d3e-4f5a-8b6c-000000000011", u"Der Zauberberg", "978-3-10-048160-0", 1008, 28.0, false, 0,
     std::int64_t{2500000}, {"sanatorium", "Davos", "time"}, "0f6a9c1e-4b2d-4e8f-9a7b-3c5d1e2f4a6b", {2, 1}},
    {"6c1b2a00-0d3e-4f5a-8b6c-000000000012", u"Leaves of Grass \u2014 1855", "978-0-14-042199-8", 145, 12.5, true, 1,
     boost::none, {"poetry", "America"}, "5d2e8b47-1c9a-4f3e-b6d0-7a8c9e1f2b3d", {}},
    {"6c1b2a00-0d3e-4f5a-8b6c-000000000013", u"On the \"Origin\" of Species", "978-0-19-921922-6", 502, 9.99, false, 2,
     std::int64_t{1250}, {}, "a3c7e9f1-2b4d-4a6c-8e0f-1b3d5f7a9c2e", {0}},
};

const std::u16string libraryName = u"City Library";
const ptime libraryFounded = time_from_string("1901-05-04 09:30:00");

std::string utf8(const std::u16string& text) { return fl::i18n::ustring_to_utf8(text); }

void check(bool condition, const std::string& what) {
  if (!condition) throw std::runtime_error("read back differs from what was written: " + what);
}

vlt::PropertyRef addProperty(vlt::DataModelRepository& repo, const vlt::ClassRef& cls, const std::string& name,
                             const std::string& type, std::uint32_t lower, std::uint32_t upper, bool composite = false,
                             bool ordered = false, bool optional = false) {
  return repo.appendPropertyToClass(cls, name, type, "", lower, upper, composite, ordered, optional, "",
                                    vlt::DataModelRepository::byReference, "", boost::uuids::uuid{}, true);
}

constexpr std::uint32_t many = std::numeric_limits<std::uint32_t>::max();

// A repository as the demo prints it: never with a password.
std::string shown(const std::string& repository) {
  const std::unique_ptr<vlt::Uri> uri = vlt::Uri::parse(repository);
  return uri ? uri->redacted() : repository;
}

void create(const std::string& basePath, const std::string& path) {
  std::cout << "creating " << shown(path) << " from the base metamodel file\n";
  vlt::DataModelRepository::ServiceOptions options;
  options.createIfMissing = 1;
  vlt::DataModelRepository repo;
  repo.open(path, basePath, options);

  repo.beginTransaction();
  try {
    const vlt::ClassRef modelElement = repo.metamodel().findClass("ModelElement");
    if (modelElement.isNull()) throw std::runtime_error("the base metamodel has no class ModelElement");

    const vlt::EnumerationRef genre =
        repo.createEnumeration("demo.library.Genre", {{"novel", 0}, {"poetry", 1}, {"science", 2}});
    const vlt::ClassRef bookClass = repo.createClass("demo.library.Book", {modelElement});
    const vlt::PropertyRef title = addProperty(repo, bookClass, "title", "ustring", 1, 1);
    const vlt::PropertyRef isbn = addProperty(repo, bookClass, "isbn", "string", 1, 1);
    const vlt::PropertyRef pages = addProperty(repo, bookClass, "pages", "int32", 1, 1);
    const vlt::PropertyRef price = addProperty(repo, bookClass, "price", "real64", 1, 1);
    const vlt::PropertyRef onLoan = addProperty(repo, bookClass, "onLoan", "bool", 1, 1);
    const vlt::PropertyRef bookGenre = addProperty(repo, bookClass, "genre", "demo.library.Genre", 1, 1);
    const vlt::PropertyRef copiesSold = addProperty(repo, bookClass, "copiesSold", "int64", 0, 1, false, false, true);
    const vlt::PropertyRef keywords = addProperty(repo, bookClass, "keywords", "string", 0, many, false, true);
    const vlt::PropertyRef catalogueId = addProperty(repo, bookClass, "catalogueId", "UUID", 1, 1);
    // Links between books: not composite, so a book refers to others it does not own.
    const vlt::PropertyRef seeAlso = addProperty(repo, bookClass, "seeAlso", "demo.library.Book", 0, many);
    const vlt::ClassRef libraryClass = repo.createClass("demo.library.Library", {modelElement});
    const vlt::PropertyRef name = addProperty(repo, libraryClass, "name", "ustring", 1, 1);
    const vlt::PropertyRef founded = addProperty(repo, libraryClass, "founded", "DateTime", 1, 1);
    const vlt::PropertyRef shelf = addProperty(repo, libraryClass, "books", "demo.library.Book", 0, many, true, true);
    std::cout << "  defined enumeration demo.library.Genre, classes demo.library.Book (10 properties) and "
                 "demo.library.Library (3 properties)\n";

    // The library's id is reserved first, so that the books can be created
    // owned by it before it exists.
    vlt::ObjectId libraryId = 0;
    repo.allocateObjectIds(1, libraryId);

    std::u16string titleCell;
    std::string isbnCell;
    std::int32_t pagesCell = 0;
    double priceCell = 0;
    bool onLoanCell = false;
    vlt::EnumeralRef genreCell;
    boost::optional<std::int64_t> copiesSoldCell;
    boost::uuids::uuid catalogueIdCell{};
    std::int32_t ordinalCell = 0;
    vlt::ObjectConstructor bookConstructor(bookClass);
    bookConstructor.setPropertyValueSource(title, &titleCell);
    bookConstructor.setPropertyValueSource(isbn, &isbnCell);
    bookConstructor.setPropertyValueSource(pages, &pagesCell);
    bookConstructor.setPropertyValueSource(price, &priceCell);
    bookConstructor.setPropertyValueSource(onLoan, &onLoanCell);
    bookConstructor.setPropertyValueSource(bookGenre, &genreCell);
    bookConstructor.setPropertyValueSource(copiesSold, &copiesSoldCell);
    bookConstructor.setPropertyValueSource(catalogueId, &catalogueIdCell);
    bookConstructor.setCompositionMembershipSource(&shelf, &libraryId, &ordinalCell);
    std::vector<vlt::ObjectRef> created;
    for (const Book& book : books) {
      titleCell = book.title;
      isbnCell = book.isbn;
      pagesCell = book.pages;
      priceCell = book.price;
      onLoanCell = book.onLoan;
      genreCell = genre.findEnumeral(book.genre);
      copiesSoldCell = book.copiesSold;
      catalogueIdCell = boost::uuids::string_generator()(book.catalogueId);
      bookConstructor.setObjectUUID(boost::uuids::string_generator()(book.uuid));
      created.push_back(bookConstructor.createObject(repo.defaultDataModel()));
      // The keywords go into the live collection, one at a time.
      vlt::BuiltinTypeCollectionRef<std::string> words;
      created.back().getPropertyValue(keywords, words);
      for (const std::string& word : book.keywords) words.push_back(word);
      std::cout << "  wrote book " << book.uuid << " \"" << utf8(book.title) << "\" at position " << ordinalCell
                << " of the library, with " << book.keywords.size() << " keywords\n";
      ++ordinalCell;
    }
    // Once all books exist, each one's links are written as a whole collection.
    for (std::size_t i = 0; i < books.size(); ++i) {
      if (books[i].seeAlso.empty()) continue;
      std::vector<vlt::ObjectRef> targets;
      for (const std::size_t j : books[i].seeAlso) targets.push_back(created[j]);
      created[i].setPropertyValue(seeAlso, targets, true);
      std::cout << "  linked book " << books[i].uuid << " to " << targets.size() << " other book(s)\n";
    }

    std::u16string nameCell = libraryName;
    ptime foundedCell = libraryFounded;
    vlt::ObjectConstructor libraryConstructor(libraryClass);
    libraryConstructor.setPropertyValueSource(name, &nameCell);
    libraryConstructor.setPropertyValueSource(founded, &foundedCell);
    libraryConstructor.setObjectID(libraryId);
    libraryConstructor.setObjectUUID(libraryUuid);
    libraryConstructor.createObject(repo.defaultDataModel());
    std::cout << "  wrote library " << boost::uuids::to_string(libraryUuid) << " \"" << utf8(libraryName)
              << "\" owning the " << books.size() << " books\n";

    // The base metamodel's package record, as the data source keeps one.
    const vlt::ClassRef packageInfo = repo.metamodel().findClass("qm.zero.vlt_datasource.PackageInfo");
    std::u16string family = u"demo.library";
    std::u16string version = u"1.0";
    vlt::ObjectConstructor packageConstructor(packageInfo);
    packageConstructor.setPropertyValueSource(packageInfo.findProperty("family"), &family);
    packageConstructor.setPropertyValueSource(packageInfo.findProperty("version"), &version);
    packageConstructor.setObjectUUID(packageInfoUuid);
    packageConstructor.createObject(repo.defaultDataModel());
    std::cout << "  wrote package record " << boost::uuids::to_string(packageInfoUuid) << " (demo.library 1.0)\n";

    repo.commitTransaction();
  } catch (...) {
    if (repo.inTransaction()) repo.rollbackTransaction();
    throw;
  }
  std::cout << "  committed\n";
  repo.close();
  std::cout << "  closed\n";
}

void readBack(const std::string& path) {
  std::cout << "reopening " << shown(path) << '\n';
  vlt::DataModelRepository::ServiceOptions options;
  vlt::DataModelRepository repo;
  repo.open(path, std::string(), options);  // an existing repository needs no base metamodel file

  const vlt::ClassRef modelElement = repo.metamodel().findClass("ModelElement");
  const vlt::ObjectRef library = repo.defaultDataModel().findObject(libraryUuid, modelElement);
  check(!library.isNull(), "the library is missing");
  const vlt::ClassRef libraryClass = library.objectClass();
  check(libraryClass.qualifiedName() == "demo.library.Library", "the library's class");

  std::u16string name;
  ptime founded;
  vlt::CollectionRef shelf;
  library.getPropertyValue(libraryClass.findProperty("name"), name);
  library.getPropertyValue(libraryClass.findProperty("founded"), founded);
  library.getPropertyValue(libraryClass.findProperty("books"), shelf);
  check(name == libraryName, "the library's name");
  check(founded == libraryFounded, "the library's founding time");
  std::cout << "  library uuid: " << boost::uuids::to_string(libraryUuid) << '\n';
  std::cout << "  library \"" << utf8(name) << "\", founded " << boost::posix_time::to_iso_extended_string(founded)
            << ", " << shelf.size() << " books:\n";
  check(shelf.size() == books.size(), "the number of books");

  for (std::size_t i = 0; i < shelf.size(); ++i) {
    const vlt::ObjectRef book = shelf.at(i);
    const Book& expected = books[i];
    const vlt::ClassRef bookClass = book.objectClass();
    check(book.objectIdentity() == boost::uuids::string_generator()(expected.uuid), "the order of the books");

    std::u16string title;
    std::string isbn;
    std::int32_t pages = 0;
    double price = 0;
    vlt::Boolean onLoan;
    vlt::EnumeralRef genre;
    // Engaged at first only to keep GCC 12 from a false "may be used uninitialized".
    boost::optional<std::int64_t> copiesSold = std::int64_t{0};
    std::vector<std::string> keywords;
    boost::uuids::uuid catalogueId{};
    std::vector<vlt::ObjectRef> seeAlso;
    book.getPropertyValue(bookClass.findProperty("title"), title);
    book.getPropertyValue(bookClass.findProperty("isbn"), isbn);
    book.getPropertyValue(bookClass.findProperty("pages"), pages);
    book.getPropertyValue(bookClass.findProperty("price"), price);
    book.getPropertyValue(bookClass.findProperty("onLoan"), onLoan);
    book.getPropertyValue(bookClass.findProperty("genre"), genre);
    book.getPropertyValue(bookClass.findProperty("copiesSold"), copiesSold);
    book.getPropertyValue(bookClass.findProperty("keywords"), keywords);
    book.getPropertyValue(bookClass.findProperty("catalogueId"), catalogueId);
    book.getPropertyValue(bookClass.findProperty("seeAlso"), seeAlso);
    const std::string which = "book " + std::string(expected.uuid);
    check(title == expected.title, which + ": title");
    check(isbn == expected.isbn, which + ": isbn");
    check(pages == expected.pages, which + ": pages");
    check(price == expected.price, which + ": price");
    check(bool(onLoan) == expected.onLoan, which + ": onLoan");
    check(genre.id() == expected.genre, which + ": genre");
    check(copiesSold == expected.copiesSold, which + ": copiesSold");
    check(keywords == expected.keywords, which + ": keywords");
    check(catalogueId == boost::uuids::string_generator()(expected.catalogueId), which + ": catalogueId");
    check(seeAlso.size() == expected.seeAlso.size(), which + ": the number of linked books");
    for (std::size_t k = 0; k < seeAlso.size(); ++k) {
      check(seeAlso[k].objectIdentity() == boost::uuids::string_generator()(books[expected.seeAlso[k]].uuid),
            which + ": linked book " + std::to_string(k));
    }

    vlt::ObjectRef owner;
    vlt::PropertyRef through;
    std::uint64_t ordinal = 0;
    book.getOwnership(owner, through, ordinal);
    check(owner == library && through.name() == "books" && ordinal == i, which + ": ownership");

    std::cout << "    [" << i << "] \"" << utf8(title) << "\" isbn " << isbn << ", " << pages << " pages, price "
              << price << ", " << genre.name() << (onLoan ? ", on loan" : "") << ", copies sold ";
    if (copiesSold.has_value()) {
      std::cout << copiesSold.value();
    } else {
      std::cout << "unknown";
    }
    std::cout << ", keywords:";
    for (const std::string& k : keywords) std::cout << ' ' << k;
    std::cout << (keywords.empty() ? " none" : "") << ", linked to " << seeAlso.size() << " book(s)\n";
  }
  repo.close();
  std::cout << "  every value read back is what was written\n";
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::cerr << "usage: vlt-demo BASE_METAMODEL_FILE REPOSITORY\n"
                 "Creates the repository REPOSITORY (a file that must not exist, or a postgresql:// URI of an\n"
                 "empty database) from the base metamodel file, writes a library of books, reopens it and\n"
                 "checks what it reads back.\n";
    return 2;
  }
  const std::string basePath = argv[1];
  const std::string path = argv[2];
  const bool server = path.rfind("postgresql://", 0) == 0 || path.rfind("postgres://", 0) == 0;
  struct stat info {};
  if (!server && ::stat(path.c_str(), &info) == 0) {
    std::cerr << "vlt-demo: " << path << " exists already; the demo writes a new repository\n";
    return 1;
  }
  try {
    create(basePath, path);
    readBack(path);
    return 0;
  } catch (const std::exception& e) {
    std::cerr << "vlt-demo: " << e.what() << '\n';
    return 1;
  }
}
