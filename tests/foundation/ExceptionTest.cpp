#include <foundation/core/except/Exception.hpp>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

// Identifiers declared here the way a component declares its own: a group per
// namespace, identifiers with UTF-8 and UTF-16 arguments written out, the
// argument-less ones through the macro.
namespace exceptiontest::files {
inline constexpr const char* groupName = "exceptiontest:files";

FOUNDATION_DECLARE_MSG_ID(FOUNDATION_VISIBLE, Obsolete);
}  // namespace exceptiontest::files

namespace exceptiontest::search {
inline constexpr const char* groupName = "exceptiontest:search";

struct FOUNDATION_VISIBLE RelationNotSupported : resource_core::BaseMsgID {
  RelationNotSupported(std::string relation, std::u16string typeName)
      : BaseMsgID(groupName, "RelationNotSupported", {std::move(relation), std::move(typeName)}) {}
};

// The same name as in the other group: a different identifier and type.
FOUNDATION_DECLARE_MSG_ID(FOUNDATION_VISIBLE, Obsolete);
}  // namespace exceptiontest::search

namespace except = foundation::core::except;
namespace files = exceptiontest::files;
namespace search = exceptiontest::search;

namespace {

std::vector<std::string> seenByHook;

void recordingHook(const except::IUserException& e) { seenByHook.emplace_back(e.what()); }

void refusingHook(const except::IUserException&) { throw std::logic_error("the hook reported it"); }

class ExceptionTest : public ::testing::Test {
 protected:
  void SetUp() override { seenByHook.clear(); }
  void TearDown() override { except::setLegacyErrorHook(nullptr); }

  static void throwRelation() {
    except::throwException(search::RelationNotSupported("starts with", u"Integer \u20AC"));
  }
  // The arguments throwRelation gives, in order, each in its own encoding.
  const std::vector<resource_core::MsgArgument> relationArguments = {std::string("starts with"),
                                                                     std::u16string(u"Integer \u20AC")};
};

// One object is caught as every interface, with the arguments in order whatever
// their encoding, and a text that writes both encodings out; its clone
// rethrows as the same type.
TEST_F(ExceptionTest, ThrownIdentifierCarriesItsIdArgumentsAndTextInBothEncodingsAndItsCloneRethrowsAsItsType) {
  EXPECT_THROW(throwRelation(), boost::exception);
  EXPECT_THROW(throwRelation(), std::exception);
  std::unique_ptr<except::IException> copy;
  try {
    throwRelation();
    FAIL() << "nothing thrown";
  } catch (const except::IMsgIDException& e) {
    EXPECT_EQ(e.get_error_id(), "exceptiontest:search:RelationNotSupported");
    const resource_core::BaseMsgID& id = e.getMessageID();
    EXPECT_EQ(id.group(), "exceptiontest:search");
    EXPECT_EQ(id.id(), "RelationNotSupported");
    EXPECT_EQ(id.arguments(), relationArguments);
    EXPECT_STREQ(e.what(), "exceptiontest:search:RelationNotSupported(\"starts with\", \"Integer \xE2\x82\xAC\")");
    EXPECT_EQ(e.GetUnicodeMessageTxt(),
              u"exceptiontest:search:RelationNotSupported(\"starts with\", \"Integer \u20AC\")");
    copy.reset(e.clone());
  }
  ASSERT_TRUE(copy);
  try {
    copy->rethrow();
    FAIL() << "rethrow returned";
  } catch (const except::Exception<search::RelationNotSupported>& e) {
    EXPECT_EQ(e.getMessageID().arguments(), relationArguments);
  }
}

TEST_F(ExceptionTest, DeclaredIdentifiersTakeTheGroupOfTheirNamespaceAndTheLegacyHookSeesThemBeforeTheThrow) {
  EXPECT_EQ(except::setLegacyErrorHook(recordingHook), nullptr);
  EXPECT_THROW(except::throwException(files::Obsolete()), except::IMsgIDException);
  ASSERT_EQ(seenByHook.size(), 1u);
  // A declared identifier takes the group of its namespace, and has no arguments.
  EXPECT_EQ(seenByHook[0], "exceptiontest:files:Obsolete");
  EXPECT_EQ(search::Obsolete().fullId(), "exceptiontest:search:Obsolete");
  EXPECT_TRUE(search::Obsolete().arguments().empty());
  EXPECT_EQ(except::setLegacyErrorHook(refusingHook), &recordingHook);
  EXPECT_THROW(except::throwException(files::Obsolete()), std::logic_error);
  EXPECT_EQ(except::setLegacyErrorHook(nullptr), &refusingHook);
  EXPECT_THROW(except::throwException(files::Obsolete()), except::IMsgIDException);
}

}  // namespace
