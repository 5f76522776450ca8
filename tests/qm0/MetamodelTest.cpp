#include "ModelTestSupport.hpp"

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using namespace qm0test;
using MetamodelTest = ModelTest;

std::vector<std::u16string> names(const meta::ElementMap<meta::Property>& map) {
  std::vector<std::u16string> out;
  for (const auto& [name, property] : map) {
    EXPECT_EQ(name, property->getName());
    out.push_back(name);
  }
  return out;
}

TEST_F(MetamodelTest, ClassesAndPropertiesKnowTheirNamesSuperclassesAttributesOppositesAndPositions) {
  EXPECT_EQ(mm.named->getSuperclass(), ModelElement::metaClass());
  EXPECT_FALSE(ModelElement::metaClass()->getSuperclass());
  EXPECT_TRUE(mm.ebook->conformsTo(mm.named));
  EXPECT_TRUE(mm.ebook->conformsTo(ModelElement::metaClass()));
  EXPECT_FALSE(mm.book->conformsTo(mm.ebook));
  // Owned attributes are walked in name order, inherited ones are found.
  EXPECT_EQ(names(mm.book->getOwnedAttributes()),
            (std::vector<std::u16string>{u"authors", u"genre", u"library", u"pages", u"prequel", u"ratings", u"related",
                                          u"sequel"}));
  EXPECT_EQ(names(mm.ebook->getOwnedAttributes()), (std::vector<std::u16string>{u"cover", u"formats", u"size", u"url"}));
  EXPECT_EQ(mm.ebook->getOwnedAttributes().find(u"name"), meta::Property());
  EXPECT_EQ(mm.ebook->findProperty(u"name"), mm.name);
  EXPECT_FALSE(mm.book->findProperty(u"url"));
  EXPECT_EQ(mm.ebook->getAttributeCount(), 13u);
  // Inherited attributes keep their place in every subclass.
  std::vector<meta::Property> all = mm.ebook->getAllAttributes();
  ASSERT_EQ(all.size(), 13u);
  EXPECT_EQ(all[0], mm.name);
  for (std::uint32_t i = 0; i < all.size(); ++i) EXPECT_EQ(all[i]->getSlotIndex(), i);
  EXPECT_EQ(mm.books->getQualifiedName(), u"lib.Library.books");
  EXPECT_TRUE(mm.books->isReference());
  EXPECT_FALSE(mm.pages->isReference());
  EXPECT_EQ(mm.books->getOpposite(), mm.bookLibrary);
  EXPECT_EQ(mm.bookLibrary->getOpposite(), mm.books);
  EXPECT_FALSE(mm.related->hasOpposite());
  // Position: declaration order unless given.
  EXPECT_EQ(mm.books->getPositionIndex(), 0);
  EXPECT_EQ(mm.tags->getPositionIndex(), 2);
  EXPECT_EQ(mm.url->getPositionIndex(), 7);
  EXPECT_EQ(mm.formats->getPositionIndex(), 1);
  EXPECT_EQ(mm.cover->getPositionIndex(), 3);
}

TEST_F(MetamodelTest, StandardTypesAreFoundByRegistryNameAndEnumerationLiteralsByName) {
  const std::pair<const char16_t*, const meta::PrimitiveType& (*)()> standard[] = {
      {u"Integer", &meta::StandardTypes::integerMeta},
      {u"UnlimitedNatural", &meta::StandardTypes::unlimitedNaturalMeta},
      {u"Integer64", &meta::StandardTypes::integer64Meta},
      {u"UInteger8", &meta::StandardTypes::uinteger8Meta},
      {u"UInteger64", &meta::StandardTypes::uinteger64Meta},
      {u"Real", &meta::StandardTypes::realMeta},
      {u"String", &meta::StandardTypes::stringMeta},
      {u"StdString", &meta::StandardTypes::stdstringMeta},
      {u"DateTime", &meta::StandardTypes::dateTimeMeta},
      {u"UUID", &meta::StandardTypes::uuidMeta},
      {u"Boolean", &meta::StandardTypes::booleanMeta},
      {u"QxArray", &meta::StandardTypes::qxArrayMeta},
      {u"StringToStringMap", &meta::StandardTypes::stringToStringMapMeta}};
  // A type has one name, so no two of them can be the same type.
  for (const auto& [name, fn] : standard) {
    meta::PrimitiveType t = meta::internal::getPrimitiveTypeFromMetaRegistry(name);
    ASSERT_TRUE(t);
    EXPECT_EQ(t, fn());
    EXPECT_EQ(t->getName(), name);
    EXPECT_EQ(meta::MetaRegistry::getInstance()->getType(name), t);
  }
  EXPECT_FALSE(meta::internal::getPrimitiveTypeFromMetaRegistry(u"Integer32"));
  // Enumeration literals are walked by name.
  std::vector<std::pair<std::u16string, std::int32_t>> literals(mm.genre->getLiterals().begin(),
                                                                mm.genre->getLiterals().end());
  EXPECT_EQ(literals, (std::vector<std::pair<std::u16string, std::int32_t>>{
                          {u"Fiction", 2}, {u"Poetry", 5}, {u"Science", 1}}));
  EXPECT_EQ(mm.genre->getLiteralValue(u"Poetry").value_or(-1), 5);
  EXPECT_FALSE(mm.genre->getLiteralValue(u"Drama"));
  EXPECT_EQ(mm.genre->getLiteralName(1).value_or(u""), u"Science");
}

TEST_F(MetamodelTest, RegistryFindsClassesAndPackagesAndKnowsCurrentVersionsOfUris) {
  meta::MetaRegistry& registry = *meta::MetaRegistry::getInstance();
  EXPECT_EQ(registry.getClass(u"lib.Book"), mm.book);
  EXPECT_EQ(registry.getClass(u"ext.Ebook"), mm.ebook);
  EXPECT_EQ(registry.getClass(u"ModelElement"), ModelElement::metaClass());
  EXPECT_FALSE(registry.getClass(u"lib.Genre"));  // an enumeration, not a class
  EXPECT_FALSE(registry.getClass(u"lib.Nothing"));
  EXPECT_FALSE(registry.getClass(u"Book"));
  EXPECT_EQ(registry.getPackageForFamily(u"http://example.com/lib"), mm.lib);
  EXPECT_FALSE(registry.getPackageForFamily(u"http://example.com/none"));
  EXPECT_EQ(registry.getPackage(u"http://example.com/ext/2"), mm.ext);
  EXPECT_TRUE(registry.isVersionCurrentForFamily(u"1.0", u"http://example.com/lib"));
  EXPECT_FALSE(registry.isVersionCurrentForFamily(u"1.1", u"http://example.com/lib"));
  EXPECT_FALSE(registry.isVersionCurrentForFamily(u"1.0", u"http://example.com/none"));
  EXPECT_TRUE(registry.isVersionCurrentForFamily(u"http://example.com/lib/1.0"));
  EXPECT_FALSE(registry.isVersionCurrentForFamily(u"http://example.com/lib/0.9"));
  EXPECT_FALSE(registry.isVersionCurrentForFamily(u"http://example.com/none/1.0"));
  // Uris split into version and family.
  EXPECT_EQ(mm.lib->getUri(), u"http://example.com/lib/1.0");
  EXPECT_EQ(meta::MetaRegistry::parseUri(mm.lib->getUri()),
            std::make_pair(std::u16string(u"1.0"), std::u16string(u"http://example.com/lib")));
  EXPECT_EQ(meta::MetaRegistry::composeUri(u"3", u"urn:x"), u"urn:x/3");
  EXPECT_EQ(meta::MetaRegistry::parseUri(u"plain"), std::make_pair(std::u16string(), std::u16string(u"plain")));
}

TEST_F(MetamodelTest, BuilderAndRegistryRefuseInconsistentDefinitionsAndAPackageLivesWhileAnyOfItsObjectsIsHeld) {
  meta::MetaRegistry& registry = *meta::MetaRegistry::getInstance();
  meta::PackageBuilder b(u"bad", u"urn:bad", u"1");
  meta::Class a = b.addClass(u"A");
  meta::Class c = b.addClass(u"C");
  EXPECT_THROW(b.addClass(u"A"), std::invalid_argument);
  EXPECT_THROW(b.addClass(u""), std::invalid_argument);
  EXPECT_THROW(b.addProperty(a, u"x", meta::StandardTypes::integerMeta(), meta::PropertyOptions().bounds(2, 1)),
               std::invalid_argument);
  EXPECT_THROW(b.addProperty(a, u"x", meta::StandardTypes::integerMeta(), meta::PropertyOptions().setComposite()),
               std::invalid_argument);
  meta::Property toC = b.addProperty(a, u"toC", c);
  EXPECT_THROW(b.addProperty(a, u"toC", c), std::invalid_argument);
  meta::Property toA = b.addProperty(c, u"toA", a);
  meta::Property toAAgain = b.addProperty(c, u"toAAgain", c);
  EXPECT_THROW(b.setOpposite(toC, toAAgain), std::invalid_argument);  // toAAgain is not typed by A
  b.setOpposite(toC, toA);
  EXPECT_THROW(b.setOpposite(toC, toA), std::invalid_argument);  // already paired
  // An unfinished package can be neither registered nor extended.
  EXPECT_FALSE(a->getPackage()->isComplete());
  EXPECT_THROW(registry.registerPackage(a->getPackage()), std::invalid_argument);
  meta::PackageBuilder other(u"other", u"urn:other", u"1");
  EXPECT_THROW(other.addClass(u"B", a), std::invalid_argument);
  EXPECT_EQ(a->getPackage()->getOwnedTypes(), (std::vector<meta::Type>{a, c}));
  meta::Package built = b.build();
  EXPECT_TRUE(built->isComplete());
  EXPECT_THROW(b.addClass(u"Late"), std::logic_error);
  // Properties of another package cannot be added.
  EXPECT_THROW(other.addProperty(a, u"y", meta::StandardTypes::integerMeta()), std::invalid_argument);
  // Registered, a package is found until it is unregistered, once.
  registry.registerPackage(built);
  EXPECT_EQ(registry.getClass(u"bad.A"), a);
  EXPECT_TRUE(registry.unregisterPackage(u"urn:bad/1"));
  EXPECT_FALSE(registry.getClass(u"bad.A"));
  EXPECT_FALSE(registry.unregisterPackage(u"urn:bad/1"));
  // A second version of a registered family is refused.
  meta::PackageBuilder second(u"lib2", u"http://example.com/lib", u"2.0");
  second.addClass(u"Thing");
  EXPECT_EQ(errorIdOf([&] { registry.registerPackage(second.build()); }), "qm0:messages:PackageAlreadyRegistered");
  EXPECT_EQ(registry.getPackageForFamily(u"http://example.com/lib"), mm.lib);
  // A package lives while any of its objects is held.
  meta::Property kept;
  {
    meta::PackageBuilder shortLived(u"short", u"urn:short", u"1");
    kept = shortLived.addProperty(shortLived.addClass(u"A"), u"n", meta::StandardTypes::integerMeta());
    shortLived.build();
  }
  EXPECT_EQ(kept->getOwningType()->getQualifiedName(), u"short.A");
  EXPECT_EQ(kept->getOwningType()->getPackage()->getUri(), u"urn:short/1");
}

}  // namespace
