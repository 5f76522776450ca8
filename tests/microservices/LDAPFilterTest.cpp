#include <cppmicroservices/LDAPFilter.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
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

void PrintTo(const Case& c, std::ostream* os) { *os << c.filter << (c.expected ? " matches" : " does not match"); }

class LDAPFilterMatch : public testing::TestWithParam<Case> {};

TEST_P(LDAPFilterMatch, MatchesAsExpected) {
  const Case& c = GetParam();
  EXPECT_EQ(LDAPFilter(c.filter).Match(properties()), c.expected) << c.filter;
}

INSTANTIATE_TEST_SUITE_P(
    Filters, LDAPFilterMatch,
    testing::Values(
        // equality and presence
        Case{"(family=geo)", true}, Case{"(family=Geo)", false}, Case{"(family=ge)", false},
        Case{"(missing=geo)", false}, Case{"(family=*)", true}, Case{"(missing=*)", false},
        Case{"(empty=*)", true}, Case{"(empty=)", true}, Case{"(name=Template Provider)", true},
        // keys are case-insensitive, values are not
        Case{"(FAMILY=geo)", true}, Case{"(count=42)", true},
        // blanks between filters and around names are skipped; inside a text
        // value they count (a number reads the same with them)
        Case{" ( & (family=geo) ( small = 7 ) ) ", true}, Case{"(family= geo)", false},
        // escapes: hexadecimal pairs and the short forms
        Case{"(path=a\\2ab\\28c\\29\\5cd)", true}, Case{"(path=a\\*b\\(c\\)\\\\d)", true},
        Case{"(path=a*b\\28c\\29\\5cd)", true}, Case{"(path=a\\2a*)", true}, Case{"(family=g\\65o)", true},
        // substrings, several stars, pieces that must not overlap
        Case{"(name=Temp*)", true}, Case{"(name=*Provider)", true}, Case{"(name=*late*Prov*)", true},
        Case{"(name=T*e*P*r)", true}, Case{"(name=*Prov*late*)", false}, Case{"(family=ge*eo)", false},
        Case{"(family=g*o)", true}, Case{"(family=**geo**)", true}, Case{"(tags=gr*)", true},
        Case{"(small=7*)", false},
        // approximate: case and blanks ignored
        Case{"(name~=templateprovider)", true}, Case{"(family~= GEO )", true}, Case{"(family~=geography)", false},
        // ordered comparisons on numbers
        Case{"(count>=42)", true}, Case{"(count>=43)", false}, Case{"(count<=42)", true}, Case{"(count<=41)", false},
        Case{"(small>=10)", false}, Case{"(small<=10)", true}, Case{"(small>=6.5)", true}, Case{"(small= 7 )", true},
        Case{"(small>=-3)", true}, Case{"(small>=abc)", false}, Case{"(huge>=18446744073709551615)", true},
        Case{"(huge>=-1)", true}, Case{"(count<=18446744073709551615)", true}, Case{"(ratio>=0.25)", true},
        Case{"(ratio<=0.25)", false}, Case{"(ratio=0.5)", true},
        // ordered comparisons on strings: byte order, not numeric
        Case{"(version>=2.9)", false}, Case{"(version<=2.9)", true}, Case{"(family>=geo)", true},
        Case{"(family<=gen)", false},
        // booleans
        Case{"(enabled=true)", true}, Case{"(enabled=TRUE)", true}, Case{"(enabled=false)", false},
        Case{"(enabled=1)", false}, Case{"(enabled>=true)", false},
        // lists: one element is enough
        Case{"(tags=green)", true}, Case{"(tags=blue)", false}, Case{"(tags<=3)", true}, Case{"(tags<=2)", false},
        Case{"(objectclass=vlt_datasource::TemplateDBService)", true}, Case{"(objectclass=Oth*)", true},
        // maps are only present
        Case{"(nested=*)", true}, Case{"(nested=1)", false},
        // and, or, not, nested
        Case{"(&(family=geo)(count=42))", true}, Case{"(&(family=geo)(count=41))", false},
        Case{"(|(family=x)(count=42))", true}, Case{"(|(family=x)(count=41))", false},
        Case{"(!(family=x))", true}, Case{"(!(family=geo))", false}, Case{"(!(missing=1))", true},
        Case{"(&(|(family=x)(family=geo))(!(&(enabled=true)(small<=6))))", true},
        Case{"(&(|(family=x)(family=geo))(!(&(enabled=true)(small<=7))))", false},
        Case{"(|(!(|(a=1)(b=2)))(zzz=*))", true}, Case{"(&(family=geo))", true}));

struct Malformed {
  const char* filter;
  const char* message;  // part of the error's text
};

void PrintTo(const Malformed& c, std::ostream* os) { *os << '"' << c.filter << '"'; }

class LDAPFilterSyntax : public testing::TestWithParam<Malformed> {};

TEST_P(LDAPFilterSyntax, MalformedFilterIsAClearError) {
  const Malformed& c = GetParam();
  try {
    LDAPFilter filter(c.filter);
    FAIL() << "no error for " << c.filter;
  } catch (const std::invalid_argument& e) {
    const std::string text = e.what();
    EXPECT_NE(text.find(std::string("\"") + c.filter + "\""), std::string::npos) << text;
    EXPECT_NE(text.find(c.message), std::string::npos) << text;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Filters, LDAPFilterSyntax,
    testing::Values(Malformed{"", "the filter is empty"}, Malformed{"   ", "the filter is empty"},
                    Malformed{"family=geo", "expected '(' at offset 0"},
                    Malformed{"(family=geo", "missing ')' after the value at offset 11"},
                    Malformed{"(family=geo))", "unexpected text after the filter at offset 12"},
                    Malformed{"(=geo)", "expected an attribute name at offset 1"},
                    Malformed{"(family)", "expected an operator"}, Malformed{"(family>geo)", "expected '=' after '>'"},
                    Malformed{"(family~geo)", "expected '=' after '~'"}, Malformed{"(&)", "expected a filter after"},
                    Malformed{"(|family=geo)", "expected a filter after"},
                    Malformed{"(!(a=1)(b=2))", "expected ')' at offset 7"},
                    Malformed{"(a=b(c)", "unescaped '('"}, Malformed{"(a>=1*)", "takes no wildcards"},
                    Malformed{"(a=\\zz)", "invalid escape"}, Malformed{"(a=\\4)", "invalid escape"},
                    Malformed{"(a*b=1)", "invalid character in the attribute name"},
                    Malformed{"(&(a=1)", "expected ')' at offset 7"}));

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
