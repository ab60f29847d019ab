// Min/max decimation of a spectrum for drawing: one (min, max) pair per
// pixel column, so a one-bin spike is never lost from view.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

struct DecimatedPoint {
  double x;
  double y;
};

// Returns at most 2 * columns points (x = bin index). When the data has no
// more bins than 2 * columns it is returned point for point.
std::vector<DecimatedPoint> minmax_decimate(std::span<const std::int32_t> data, int columns);
void minmax_decimate(std::span<const std::int32_t> data, int columns,
                     std::vector<DecimatedPoint>& out);
