#pragma once
// Seeds of the random tests: fixed, so that a run repeats the last one,
// unless QM0_TEST_SEED gives another. Each test prints the seed it used
// when it fails.

#include <cstdlib>
#include <string>

namespace qm0test {

inline unsigned testSeed(unsigned fallback) {
  const char* text = std::getenv("QM0_TEST_SEED");
  return text != nullptr ? static_cast<unsigned>(std::stoul(text)) : fallback;
}

}  // namespace qm0test
