#include <foundation/core/except/MessageIds.hpp>

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>

namespace except = foundation::core::except;

namespace {

std::vector<std::string> seenByHook;

void recordingHook(const except::IUserException& e) { seenByHook.emplace_back(e.what()); }

void refusingHook(const except::IUserException&) { throw std::logic_error("the hook reported it"); }

class ExceptionTest : public ::testing::Test {
 protected:
  void SetUp() override { seenByHook.clear(); }
  void TearDown() override { except::setLegacyErrorHook(nullptr); }

  static void throwMismatch() {
    except::throwException(m2t_vlt::datasource::PackageVersionMismatch(u"C:/data/model.db", u"fam", u"1.0", u"2.0"));
  }
};

TEST_F(ExceptionTest, MismatchCaughtAsMsgIdExceptionCarriesIdentifierAndArgumentsInOrder) {
  try {
    throwMismatch();
    FAIL() << "nothing thrown";
  } catch (const except::IMsgIDException& e) {
    EXPECT_EQ(e.get_error_id(), "m2t_vlt:datasource:PackageVersionMismatch");
    const resource_core::BaseMsgID& id = e.getMessageID();
    EXPECT_EQ(id.group(), "m2t_vlt:datasource");
    EXPECT_EQ(id.id(), "PackageVersionMismatch");
    const std::vector<resource_core::MsgArgument> expected = {std::u16string(u"C:/data/model.db"),
                                                              std::u16string(u"fam"), std::u16string(u"1.0"),
                                                              std::u16string(u"2.0")};
    EXPECT_EQ(id.arguments(), expected);
  }
}

TEST_F(ExceptionTest, SameObjectIsStdAndBoostException) {
  EXPECT_THROW(throwMismatch(), std::exception);
  EXPECT_THROW(throwMismatch(), boost::exception);
  EXPECT_THROW(throwMismatch(), except::IUserException);
  EXPECT_THROW(throwMismatch(), except::Exception<m2t_vlt::datasource::PackageVersionMismatch>);
}

TEST_F(ExceptionTest, WhatGivesFullIdentifierAndArgumentsOfBothEncodings) {
  try {
    except::throwException(qm0::query::RelationAndTypeNotSupported("starts with", u"Integer \u20AC"));
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "qm0:query:RelationAndTypeNotSupported(\"starts with\", \"Integer \xE2\x82\xAC\")");
    const auto* user = dynamic_cast<const except::IUserException*>(&e);
    ASSERT_NE(user, nullptr);
    EXPECT_EQ(user->GetUnicodeMessageTxt(), u"qm0:query:RelationAndTypeNotSupported(\"starts with\", \"Integer \u20AC\")");
  }
  try {
    except::throwException(m2t_vlt::messages::ObsoleteSchema());
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "m2t_vlt:messages:ObsoleteSchema");
  }
}

TEST_F(ExceptionTest, CloneAndRethrowKeepTheDynamicType) {
  std::unique_ptr<except::IException> copy;
  try {
    except::throwException(m2t_vlt::messages::CannotOpenVLTRepository(u"bad://", ""));
  } catch (const except::IException& e) {
    copy.reset(e.clone());
  }
  ASSERT_TRUE(copy);
  try {
    copy->rethrow();
    FAIL() << "rethrow returned";
  } catch (const except::Exception<m2t_vlt::messages::CannotOpenVLTRepository>& e) {
    const std::vector<resource_core::MsgArgument> expected = {std::u16string(u"bad://"), std::string()};
    EXPECT_EQ(e.getMessageID().arguments(), expected);
  }
}

TEST_F(ExceptionTest, LegacyHookSeesTheExceptionBeforeItIsThrown) {
  EXPECT_EQ(except::setLegacyErrorHook(recordingHook), nullptr);
  EXPECT_THROW(except::throwException(qm0::messages::InvalidValue()), except::IMsgIDException);
  ASSERT_EQ(seenByHook.size(), 1u);
  EXPECT_EQ(seenByHook[0], "qm0:messages:InvalidValue");
}

TEST_F(ExceptionTest, HookThatDoesNotReturnPreventsTheThrow) {
  except::setLegacyErrorHook(refusingHook);
  EXPECT_THROW(except::throwException(qm0::messages::InvalidValue()), std::logic_error);
  EXPECT_EQ(except::setLegacyErrorHook(nullptr), &refusingHook);
  EXPECT_THROW(except::throwException(qm0::messages::InvalidValue()), except::IMsgIDException);
}

TEST_F(ExceptionTest, IdentifiersCarryTheirGroups) {
  EXPECT_EQ(m2t_vlt::messages::ObsoleteSchema().fullId(), "m2t_vlt:messages:ObsoleteSchema");
  EXPECT_EQ(m2t_vlt::datasource::CannotAttachInsideTransaction().fullId(),
            "m2t_vlt:datasource:CannotAttachInsideTransaction");
  EXPECT_EQ(m2t_vlt::datasource::VltObjectNotFound().fullId(), "m2t_vlt:datasource:VltObjectNotFound");
  EXPECT_EQ(m2t_vlt::datasource::UnsupportedPrimitiveType(u"T").fullId(),
            "m2t_vlt:datasource:UnsupportedPrimitiveType");
  EXPECT_EQ(qm0::messages::CannotCastIncompatibleTypes(u"T").fullId(), "qm0:messages:CannotCastIncompatibleTypes");
  EXPECT_EQ(qm0::query::InvalidLimitOffsetValue().fullId(), "qm0:query:InvalidLimitOffsetValue");
  EXPECT_EQ(qm0::query::UnsupportedSorting().fullId(), "qm0:query:UnsupportedSorting");
}

}  // namespace
