#pragma once

#include "state.hpp"

#include <cmath>
#include <cstdint>
#include <iosfwd>

// A channel of more than 30 bits has a side the 32-bit lattice counters cannot reach.
inline constexpr int MaxLatticeChannelBits = 30;

bool lattice_bits_supported(ChannelBits bits);

// One line naming the bits and the limit, for a window that refuses to build its lattice.
void write_lattice_bits_refusal(std::ostream& out, int window_index, ChannelBits bits);

// R x G x B, the points in the lattice, in this order of multiplication.
double lattice_vertex_count(const ChannelBits& bits);

// Visits every lattice point in list order (k fastest, then j, then i), calling
// sink.normal, sink.colour and sink.vertex, in that order, each with three doubles.
//
// The cost of this walk is what the benchmark's initialisation measures, so nothing is
// hoisted: every loop test and every coordinate takes the channel bits and its power of two
// afresh, nine pow calls per point. `bits` is read through the reference each time.
template <typename Sink> void walk_lattice(const ChannelBits& bits, Sink& sink) {
    for (std::int32_t i = 0; i < std::pow(2.0, bits.red); ++i) {
        for (std::int32_t j = 0; j < std::pow(2.0, bits.green); ++j) {
            double blue_side = 0;
            for (std::int32_t k = 0; k < (blue_side = std::pow(2.0, bits.blue)); ++k) {
                const double red_side = std::pow(2.0, bits.red);
                const double green_side = std::pow(2.0, bits.green);
                const double xx = i * (i * (1 / red_side)) * (1 / red_side);
                const double yy = j * (j * (1 / green_side)) * (1 / green_side);
                const double zz = k * (k * (1 / blue_side)) * (1 / blue_side);
                const double length = std::sqrt((zz + yy) + xx);
                const double x = i * (1 / red_side);
                const double y = j * (1 / green_side);
                const double z = k * (1 / blue_side);
                sink.normal(z / length, y / length, x / length);
                sink.colour(k * (1 / std::pow(2.0, bits.red)), j * (1 / std::pow(2.0, bits.green)),
                            i * (1 / std::pow(2.0, bits.blue)));
                sink.vertex(i * (1 / std::pow(2.0, bits.red)), j * (1 / std::pow(2.0, bits.green)),
                            k * (1 / std::pow(2.0, bits.blue)));
            }
        }
    }
}
