// Skips that cannot pass a run unnoticed: a test that cannot run here (no
// root, no network namespaces) skips, or fails in a run that must run
// everything (the rule tests/conftest.py applies to pytest).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string_view>

namespace valdrin::io::skip_policy {

// Whether this run must run every test: VALDRIN_REQUIRE_ALL=1 (scripts/test
// as root, .ci/run), or CI=true when VALDRIN_REQUIRE_ALL is not set.
inline bool require_all() noexcept {
    if (const char* required = std::getenv("VALDRIN_REQUIRE_ALL")) return std::string_view(required) == "1";
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string_view(ci) == "true";
}

}  // namespace valdrin::io::skip_policy

// Skips the test with `reason`, or fails it with that reason when
// require_all() holds (a skip there would pass the run without running it).
#define VALDRIN_SKIP_OR_FAIL(reason)                                                            \
    do {                                                                                        \
        if (::valdrin::io::skip_policy::require_all()) {                                        \
            FAIL() << (reason) << " (skips are failures here: VALDRIN_REQUIRE_ALL=1 or CI=true)"; \
        }                                                                                       \
        GTEST_SKIP() << (reason);                                                               \
    } while (0)
