#pragma once
// The metamodel the tests share: a library package and an extension package
// of another family whose class derives from one of the library's.
//
//   lib.Named (abstract)      name: String [0..1]
//   lib.Library : Named       books: Book [0..*] composite ordered <-> Book.library
//                             members: Person [0..*] composite unordered
//                             tags: String [0..*] ordered
//   lib.Book : Named          library: Library [0..1]
//                             authors: Person [0..*] ordered <-> Person.wrote [0..*] unordered
//                             genre: Genre [0..1], pages: Integer [1..1], ratings: Integer [0..*] ordered
//                             related: Book [0..1] (one way)
//                             sequel: Book [0..1] <-> Book.prequel [0..1]
//   lib.Person : Named        favorite: Book [0..1] (one way),
//                             reviewed: Book [0..*] (one way, contents deferred)
//                             mentor: Person [0..1] <-> Person.mentees [0..*] ordered, contents deferred
//   lib.Genre                 Science = 1, Fiction = 2, Poetry = 5
//   ext.Ebook : lib.Book      url: StdString [0..1], formats: Genre [0..*] ordered,
//                             size: Dimensions [0..1] stored serialized, cover: QxArray [0..1]
//   ext.Dimensions            width, height: Real

#include <qm/zero/meta/MetaRegistry.hpp>
#include <qm/zero/meta/PackageBuilder.hpp>
#include <qm/zero/meta/StandardTypes.hpp>

namespace qm0test {

namespace meta = qm::zero::meta;

struct TestMetamodel {
  meta::Package lib, ext;
  meta::Class named, library, book, person, ebook;
  meta::Enum genre;
  meta::DataType dimensions;
  meta::Property name, books, members, tags, bookLibrary, authors, wrote, genreProp, pages, ratings, related,
      favorite, reviewed, sequel, prequel, mentor, mentees, url, formats, size, cover, width, height;

  static const TestMetamodel& get() {
    static const TestMetamodel instance;
    return instance;
  }

 private:
  TestMetamodel() {
    using meta::PropertyOptions;
    using meta::StandardTypes;
    const std::uint32_t many = meta::unbounded;
    {
      meta::PackageBuilder b(u"lib", u"http://example.com/lib", u"1.0");
      named = b.addClass(u"Named", meta::Class(), true);
      library = b.addClass(u"Library", named);
      book = b.addClass(u"Book", named);
      person = b.addClass(u"Person", named);
      genre = b.addEnum(u"Genre", {{u"Fiction", 2}, {u"Poetry", 5}, {u"Science", 1}});
      name = b.addProperty(named, u"name", StandardTypes::stringMeta());
      books = b.addProperty(library, u"books", book, PropertyOptions().bounds(0, many).setOrdered().setComposite());
      members = b.addProperty(library, u"members", person, PropertyOptions().bounds(0, many).setComposite());
      tags = b.addProperty(library, u"tags", StandardTypes::stringMeta(), PropertyOptions().bounds(0, many).setOrdered());
      bookLibrary = b.addProperty(book, u"library", library);
      authors = b.addProperty(book, u"authors", person, PropertyOptions().bounds(0, many).setOrdered());
      genreProp = b.addProperty(book, u"genre", genre);
      pages = b.addProperty(book, u"pages", StandardTypes::integerMeta(), PropertyOptions().bounds(1, 1));
      ratings = b.addProperty(book, u"ratings", StandardTypes::integerMeta(),
                              PropertyOptions().bounds(0, many).setOrdered().setUnique(false));
      related = b.addProperty(book, u"related", book);
      wrote = b.addProperty(person, u"wrote", book, PropertyOptions().bounds(0, many));
      favorite = b.addProperty(person, u"favorite", book);
      reviewed = b.addProperty(person, u"reviewed", book, PropertyOptions().bounds(0, many).setDeferredContents());
      sequel = b.addProperty(book, u"sequel", book);
      prequel = b.addProperty(book, u"prequel", book);
      mentor = b.addProperty(person, u"mentor", person);
      mentees = b.addProperty(person, u"mentees", person,
                              PropertyOptions().bounds(0, many).setOrdered().setDeferredContents());
      b.setOpposite(books, bookLibrary);
      b.setOpposite(sequel, prequel);
      b.setOpposite(mentor, mentees);
      b.setOpposite(authors, wrote);
      lib = b.build();
    }
    {
      meta::PackageBuilder b(u"ext", u"http://example.com/ext", u"2");
      ebook = b.addClass(u"Ebook", book);
      dimensions = b.addDataType(u"Dimensions");
      width = b.addProperty(dimensions, u"width", StandardTypes::realMeta());
      height = b.addProperty(dimensions, u"height", StandardTypes::realMeta());
      url = b.addProperty(ebook, u"url", StandardTypes::stdstringMeta(), PropertyOptions().setPositionIndex(7));
      formats = b.addProperty(ebook, u"formats", genre, PropertyOptions().bounds(0, many).setOrdered());
      size = b.addProperty(ebook, u"size", dimensions, PropertyOptions().setStoredSerialized().setValueOptional());
      cover = b.addProperty(ebook, u"cover", StandardTypes::qxArrayMeta());
      ext = b.build();
    }
    meta::MetaRegistry::getInstance()->registerPackage(lib);
    meta::MetaRegistry::getInstance()->registerPackage(ext);
  }
};

}  // namespace qm0test
