#include "lattice.hpp"

#include "reports.hpp"

#include <ostream>
#include <sstream>

bool lattice_bits_supported(ChannelBits bits) {
    for (int b : {bits.red, bits.green, bits.blue}) {
        if (b < 0 || b > MaxLatticeChannelBits) {
            return false;
        }
    }
    return true;
}

void write_lattice_bits_refusal(std::ostream& out, int window_index, ChannelBits bits) {
    std::ostringstream line;
    line << "latticeglow: window " << window_index << ": channel bits " << bits.red << "/"
         << bits.green << "/" << bits.blue << " (red/green/blue) are beyond the lattice's limit of "
         << MaxLatticeChannelBits << " bits per channel; no lattice is built\n";
    write_whole_line(out, line.str());
}

double lattice_vertex_count(const ChannelBits& bits) {
    return std::pow(2.0, bits.green) * std::pow(2.0, bits.red) * std::pow(2.0, bits.blue);
}
