#include "merge_measure.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// 0 where the components are equal, two equal infinities included.
double difference(float a, float b) {
    return a == b ? 0.0 : std::fabs(double(a) - double(b));
}

} // namespace

MergeMeasure::MergeMeasure(const float* rows, const float* merged, const int* remap, size_t count,
                           size_t floats, size_t positionFloats)
    : rows_(rows), merged_(merged), remap_(remap), floats_(floats), positionFloats_(positionFloats),
      states_(count, State::unknown) {}

bool MergeMeasure::same_bytes(uint32_t a, uint32_t b) const {
    return a == b || std::memcmp(row(a), row(b), floats_ * sizeof(float)) == 0;
}

bool MergeMeasure::moved(uint32_t v) {
    State& state = states_[v];
    if (state == State::unknown)
        state =
            std::memcmp(row(v), merged_ + size_t(remap_[v]) * floats_, floats_ * sizeof(float)) == 0
                ? State::same
                : State::moved;
    return state != State::same;
}

// A vertex that holds a NaN is its own representative: the vertices measured are finite or
// hold infinities equal to their representative's.
void MergeMeasure::measure(uint32_t v) {
    const float* from = row(v);
    const float* to = merged_ + size_t(remap_[v]) * floats_;
    double squared = 0.0;
    for (size_t c = 0; c < positionFloats_; ++c)
        squared += difference(from[c], to[c]) * difference(from[c], to[c]);
    summary_.farthestPosition = std::max(summary_.farthestPosition, std::sqrt(squared));
    for (size_t c = positionFloats_; c < floats_; ++c)
        summary_.largestOtherDifference =
            std::max(summary_.largestOtherDifference, difference(from[c], to[c]));
    states_[v] = State::measured;
}

void MergeMeasure::add_corner(uint32_t v) {
    if (!moved(v))
        return;
    ++summary_.cornersMoved;
    if (states_[v] == State::moved)
        measure(v);
}

// The corners sorted by their output vertex and then by their bytes: corners on one vertex lie
// next to each other, and among them those that held the same bytes.
void MergeMeasure::add_face(const uint32_t* vertices, size_t corners) {
    faceCorners_.clear();
    for (size_t i = 0; i < corners; ++i)
        faceCorners_.emplace_back(remap_[vertices[i]], vertices[i]);
    std::sort(faceCorners_.begin(), faceCorners_.end(),
              [&](const std::pair<int, uint32_t>& a, const std::pair<int, uint32_t>& b) {
                  if (a.first != b.first)
                      return a.first < b.first;
                  return std::memcmp(row(a.second), row(b.second), floats_ * sizeof(float)) < 0;
              });
    bool shares = false;
    for (size_t i = 1; i < faceCorners_.size(); ++i) {
        if (faceCorners_[i].first != faceCorners_[i - 1].first)
            continue;
        if (same_bytes(faceCorners_[i].second, faceCorners_[i - 1].second))
            return; // degenerate before the merge already
        shares = true;
    }
    if (shares)
        ++summary_.degenerateFaces;
}
