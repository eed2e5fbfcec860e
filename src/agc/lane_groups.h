// Lane operations over a group of vectors: for the instruction sets whose
// registers hold fewer lanes than a chunk of simd_kernel.inc, a vec is a
// struct with an array `val` of registers, and a one-register operation is
// applied to each.
#ifndef AGC_LANE_GROUPS_H
#define AGC_LANE_GROUPS_H

#include <cstddef>
#include <iterator>

namespace agc {

template <typename Group, typename Op> inline Group each(Group a, Op op) {
    for (auto& v : a.val) v = op(v);
    return a;
}
template <typename Group, typename Op> inline Group each(Group a, const Group& b, Op op) {
    for (std::size_t k = 0; k < std::size(a.val); ++k) a.val[k] = op(a.val[k], b.val[k]);
    return a;
}

} // namespace agc

#endif
