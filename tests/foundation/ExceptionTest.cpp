#include <foundation/core/except/Exception.hpp>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

// Identifiers declared here the way a component declares its own: a group per
// namespace, identifiers with UTF-8 and UTF-16 arguments written out, the
// argument-less ones through the macro.
namespace exceptiontest::files {
inline constexpr const char* groupName = "exceptiontest:files";

struct FOUNDATION_VISIBLE VersionMismatch : resource_core::BaseMsgID {
  VersionMismatch(std::u16string file, std::u16string family, std::u16string recorded, std::u16string inUse)
      : BaseMsgID(groupName, "VersionMismatch",
                  {std::move(file), std::move(family), std::move(recorded), std::move(inUse)}) {}
};

struct FOUNDATION_VISIBLE CannotOpen : resource_core::BaseMsgID {
  CannotOpen(std::u16string location, std::string detail)
      : BaseMsgID(groupName, "CannotOpen", {std::move(location), std::move(detail)}) {}
};

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

  static void throwMismatch() {
    except::throwException(files::VersionMismatch(u"C:/data/model.db", u"fam", u"1.0", u"2.0"));
  }
};

TEST_F(ExceptionTest, MismatchCaughtAsMsgIdExceptionCarriesIdentifierAndArgumentsInOrder) {
  EXPECT_THROW(throwMismatch(), boost::exception);
  EXPECT_THROW(throwMismatch(), except::IUserException);
  try {
    throwMismatch();
    FAIL() << "nothing thrown";
  } catch (const except::IMsgIDException& e) {
    EXPECT_EQ(e.get_error_id(), "exceptiontest:files:VersionMismatch");
    const resource_core::BaseMsgID& id = e.getMessageID();
    EXPECT_EQ(id.group(), "exceptiontest:files");
    EXPECT_EQ(id.id(), "VersionMismatch");
    const std::vector<resource_core::MsgArgument> expected = {std::u16string(u"C:/data/model.db"),
                                                              std::u16string(u"fam"), std::u16string(u"1.0"),
                                                              std::u16string(u"2.0")};
    EXPECT_EQ(id.arguments(), expected);
  }
}

TEST_F(ExceptionTest, WhatGivesFullIdentifierAndArgumentsOfBothEncodings) {
  try {
    except::throwException(search::RelationNotSupported("starts with", u"Integer \u20AC"));
    FAIL() << "nothing thrown";
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "exceptiontest:search:RelationNotSupported(\"starts with\", \"Integer \xE2\x82\xAC\")");
    const auto* user = dynamic_cast<const except::IUserException*>(&e);
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(user->GetUnicodeMessageTxt(),
              u"exceptiontest:search:RelationNotSupported(\"starts with\", \"Integer \u20AC\")");
  }
}

TEST_F(ExceptionTest, DeclaredIdentifierTakesTheGroupOfItsNamespace) {
  EXPECT_EQ(files::Obsolete().fullId(), "exceptiontest:files:Obsolete");
  EXPECT_TRUE(files::Obsolete().arguments().empty());
  try {
    except::throwException(search::Obsolete());
    FAIL() << "nothing thrown";
  } catch (const except::Exception<files::Obsolete>&) {
    FAIL() << "caught as the other group's identifier";
  } catch (const except::Exception<search::Obsolete>& e) {
    EXPECT_EQ(e.get_error_id(), "exceptiontest:search:Obsolete");
  }
}

TEST_F(ExceptionTest, CloneAndRethrowKeepTheDynamicType) {
  std::unique_ptr<except::IException> copy;
  try {
    except::throwException(files::CannotOpen(u"bad://", ""));
  } catch (const except::IException& e) {
    copy.reset(e.clone());
  }
  ASSERT_TRUE(copy);
  try {
    copy->rethrow();
    FAIL() << "rethrow returned";
  } catch (const except::Exception<files::CannotOpen>& e) {
    const std::vector<resource_core::MsgArgument> expected = {std::u16string(u"bad://"), std::string()};
    EXPECT_EQ(e.getMessageID().arguments(), expected);
  }
}

TEST_F(ExceptionTest, LegacyHookSeesTheExceptionBeforeItIsThrownAndMayPreventTheThrow) {
  EXPECT_EQ(except::setLegacyErrorHook(recordingHook), nullptr);
  EXPECT_THROW(except::throwException(files::Obsolete()), except::IMsgIDException);
  ASSERT_EQ(seenByHook.size(), 1u);
  EXPECT_EQ(seenByHook[0], "exceptiontest:files:Obsolete");
  EXPECT_EQ(except::setLegacyErrorHook(refusingHook), &recordingHook);
  EXPECT_THROW(except::throwException(files::Obsolete()), std::logic_error);
  EXPECT_EQ(except::setLegacyErrorHook(nullptr), &refusingHook);
  EXPECT_THROW(except::throwException(files::Obsolete()), except::IMsgIDException);
}

}  // namespace
