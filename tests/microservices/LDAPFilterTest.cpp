#include <cppmicroservices/LDAPFilter.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using cppmicroservices::Any;
using cppmicroservices::AnyMap;
using cppmicroservices::LDAPFilter;

// Properties of every kind the filter reads, as a manifest or a service
// registration gives them.
AnyMap properties() {
  return {
      {"name", std::string("Template Provider")},
      {"family", std::string("geo")},
      {"path", std::string("a*b(c)\\d")},
      {"version", std::string("2.10")},
      {"Count", std::int64_t{42}},
      {"small", 7},
      {"huge", std::uint64_t{18446744073709551615ull}},
      {"ratio", 0.5},
      {"enabled", true},
      {"empty", std::string()},
      {"tags", std::vector<Any>{std::string("red"), std::string("green"), std::int64_t{3}}},
      {"objectclass", std::vector<std::string>{"vlt_datasource::TemplateDBService", "Other"}},
      {"nested", AnyMap{{"x", 1}}},
  };
}

struct Case {
  const char* filter;
  bool expected;
};

const Case matchCases[] = {
    // equality and presence
    {"(family=geo)", true}, {"(family=Geo)", false}, {"(family=ge)", false}, {"(missing=geo)", false},
    {"(family=*)", true}, {"(missing=*)", false}, {"(empty=*)", true}, {"(empty=)", true},
    {"(name=Template Provider)", true},
    // keys are case-insensitive, values are not
    {"(FAMILY=geo)", true}, {"(count=42)", true},
    // blanks between filters and around names are skipped; inside a text
    // value they count (a number reads the same with them)
    {" ( & (family=geo) ( small = 7 ) ) ", true}, {"(family= geo)", false},
    // escapes: hexadecimal pairs and the short forms
    {"(path=a\\2ab\\28c\\29\\5cd)", true}, {"(path=a\\*b\\(c\\)\\\\d)", true}, {"(path=a*b\\28c\\29\\5cd)", true},
    {"(path=a\\2a*)", true}, {"(family=g\\65o)", true},
    // substrings, several stars, pieces that must not overlap
    {"(name=Temp*)", true}, {"(name=*Provider)", true}, {"(name=*late*Prov*)", true}, {"(name=T*e*P*r)", true},
    {"(name=*Prov*late*)", false}, {"(family=ge*eo)", false}, {"(family=g*o)", true}, {"(family=**geo**)", true},
    {"(tags=gr*)", true}, {"(small=7*)", false},
    // approximate: case and blanks ignored
    {"(name~=templateprovider)", true}, {"(family~= GEO )", true}, {"(family~=geography)", false},
    // ordered comparisons on numbers
    {"(count>=42)", true}, {"(count>=43)", false}, {"(count<=42)", true}, {"(count<=41)", false},
    {"(small>=10)", false}, {"(small<=10)", true}, {"(small>=6.5)", true}, {"(small= 7 )", true}, {"(small>=-3)", true},
    {"(small>=abc)", false}, {"(huge>=18446744073709551615)", true}, {"(huge>=-1)", true},
    {"(count<=18446744073709551615)", true}, {"(ratio>=0.25)", true}, {"(ratio<=0.25)", false}, {"(ratio=0.5)", true},
    // ordered comparisons on strings: byte order, not numeric
    {"(version>=2.9)", false}, {"(version<=2.9)", true}, {"(family>=geo)", true}, {"(family<=gen)", false},
    // booleans
    {"(enabled=true)", true}, {"(enabled=TRUE)", true}, {"(enabled=false)", false}, {"(enabled=1)", false},
    {"(enabled>=true)", false},
    // lists: one element is enough
    {"(tags=green)", true}, {"(tags=blue)", false}, {"(tags<=3)", true}, {"(tags<=2)", false},
    {"(objectclass=vlt_datasource::TemplateDBService)", true}, {"(objectclass=Oth*)", true},
    // maps are only present
    {"(nested=*)", true}, {"(nested=1)", false},
    // and, or, not, nested
    {"(&(family=geo)(count=42))", true}, {"(&(family=geo)(count=41))", false}, {"(|(family=x)(count=42))", true},
    {"(|(family=x)(count=41))", false}, {"(!(family=x))", true}, {"(!(family=geo))", false}, {"(!(missing=1))", true},
    {"(&(|(family=x)(family=geo))(!(&(enabled=true)(small<=6))))", true},
    {"(&(|(family=x)(family=geo))(!(&(enabled=true)(small<=7))))", false}, {"(|(!(|(a=1)(b=2)))(zzz=*))", true},
    {"(&(family=geo))", true},
};

TEST(LDAPFilter, FiltersMatchAsExpected) {
  for (const Case& c : matchCases) EXPECT_EQ(LDAPFilter(c.filter).Match(properties()), c.expected) << c.filter;
}

struct Malformed {
  const char* filter;
  const char* message;  // part of the error's text
};

const Malformed malformedCases[] = {
    {"", "the filter is empty"}, {"   ", "the filter is empty"}, {"family=geo", "expected '(' at offset 0"},
    {"(family=geo", "missing ')' after the value at offset 11"},
    {"(family=geo))", "unexpected text after the filter at offset 12"},
    {"(=geo)", "expected an attribute name at offset 1"}, {"(family)", "expected an operator"},
    {"(family>geo)", "expected '=' after '>'"}, {"(family~geo)", "expected '=' after '~'"},
    {"(&)", "expected a filter after"}, {"(|family=geo)", "expected a filter after"},
    {"(!(a=1)(b=2))", "expected ')' at offset 7"}, {"(a=b(c)", "unescaped '('"}, {"(a>=1*)", "takes no wildcards"},
    {"(a=\\zz)", "invalid escape"}, {"(a=\\4)", "invalid escape"},
    {"(a*b=1)", "invalid character in the attribute name"}, {"(&(a=1)", "expected ')' at offset 7"},
};

TEST(LDAPFilter, AMalformedFilterIsAClearError) {
  for (const Malformed& c : malformedCases)
    EXPECT_THAT([&] { LDAPFilter{c.filter}; },
                testing::ThrowsMessage<std::invalid_argument>(testing::AllOf(
                    testing::HasSubstr(std::string("\"") + c.filter + "\""), testing::HasSubstr(c.message))));
}

// The default filter matches everything; Match ignores the case of keys
// unless a key matches exactly, MatchCase never; a filter keeps its text.
TEST(LDAPFilter, DefaultFilterKeyCaseAndText) {
  EXPECT_TRUE(LDAPFilter().Match(AnyMap{}));
  EXPECT_TRUE(LDAPFilter().Match(properties()));
  const LDAPFilter filter("(FAMILY=geo)");
  EXPECT_TRUE(filter.Match(properties()));
  EXPECT_FALSE(filter.MatchCase(properties()));
  EXPECT_TRUE(LDAPFilter("(family=geo)").MatchCase(properties()));
  const AnyMap both{{"Key", std::string("upper")}, {"key", std::string("lower")}};
  EXPECT_TRUE(LDAPFilter("(key=lower)").Match(both));
  EXPECT_TRUE(LDAPFilter("(Key=upper)").Match(both));
  EXPECT_EQ(LDAPFilter("(a=1)").ToString(), "(a=1)");
  EXPECT_EQ(LDAPFilter("(a=1)"), LDAPFilter("(a=1)"));
}

}  // namespace
