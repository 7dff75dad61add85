// The two families as typed-test parameters: brenn.hpp's traits, with how to bring a family up
// and down and its dump as text.
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "common/harness.h"
#include "include/brenn.hpp"

namespace brenn_test {

struct Local : brenn::LocalFamily {
    static constexpr bool shared = false;
    static constexpr auto gnode_size = &lsq_c_get_gnode_size;
    static bool up() { return true; }  // the table is there when the library is loaded
    static void down() {}
    // The text a dump of `len` bytes leaves in a buffer of 'Z's, or what went wrong.
    static std::string dump(int32_t q, int32_t len = 8192) {
        std::string buf(static_cast<size_t>(len > 0 ? len : 0) + 16, 'Z');
        lsq_c_dump(q, len > 0 ? buf.data() : nullptr, len);
        const size_t end = buf.find('\0'), npos = std::string::npos;
        if (buf.find_first_not_of('Z') == npos) return "<untouched>";
        if (end == npos || static_cast<int32_t>(end) >= len) return "<unterminated>";
        return buf.find_first_not_of('Z', end + 1) == npos ? buf.substr(0, end)
                                                           : "<beyond the text>";
    }
};

struct Shared : brenn::SharedFamily {
    static constexpr bool shared = true;
    static constexpr auto gnode_size = &gsq_c_get_gnode_size;
    // A system of its own for every test, on keys nobody else holds.
    static bool up() { return down(), gsq_c_create() == 0; }
    static void down() { gsq_c_destroy(), remove_shared_objects(); }
    static std::string dump(int32_t q, int32_t = 0) {
        return capture_stdout([q] { gsq_c_dump(q); });
    }
};

using Families = ::testing::Types<Local, Shared>;
struct FamilyName {
    template <class F>
    static std::string GetName(int) {
        return F::name;
    }
};

// Brings the family up before each test and down after it, also when a check fails.
template <class F>
class FamilyTest : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(F::up()) << "cannot bring the shared system up"; }
    void TearDown() override { F::down(); }
    int32_t alloc(uint32_t nodes, int32_t sessions = 8, int32_t reserve = 0, int32_t no_block = 1) {
        return F::alloc_queue(nodes * BRENN_NODE_SIZE, sessions, reserve, no_block, 1);
    }
};

}  // namespace brenn_test
