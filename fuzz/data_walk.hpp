// The walk that both the Data and the GOOSE targets make over an allData
// content that check_sequence accepted: Values yields every value in
// pre-order, with views inside the input, and the structures and arrays
// close exactly at the end with `top_level` values at the top.
#pragma once

#include <vector>

#include "check.hpp"
#include "data.hpp"

namespace valdrin::fuzz {

inline void check_accepted_values(Bytes values, std::size_t top_level, Bytes input) {
    std::vector<std::size_t> open;  // members still to come, innermost last
    std::size_t top = 0;
    std::size_t yielded = 0;
    for (data::Values walk(values); auto value = walk.next();) {
        ++yielded;
        FUZZ_CHECK(yielded <= values.size() / 2);  // every TLV takes two octets at least
        if (open.empty()) {
            ++top;
        } else {
            --open.back();
        }
        FUZZ_CHECK(inside(value->octets, input));
        if (value->kind == data::Kind::Utc) FUZZ_CHECK(value->utc.fraction <= 0xFFFFFF);
        if (value->kind == data::Kind::Btime) FUZZ_CHECK(value->octets.size() == 6);
        if ((value->kind == data::Kind::Struct || value->kind == data::Kind::Array) && value->members > 0) {
            open.push_back(value->members);
        }
        while (!open.empty() && open.back() == 0) open.pop_back();
    }
    FUZZ_CHECK(open.empty());
    FUZZ_CHECK(top == top_level);
}

}  // namespace valdrin::fuzz
