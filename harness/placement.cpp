#include "placement.hpp"

#include <algorithm>

int places_that_fit(int screen_width, int screen_height) {
    int places = XCoordinateMax / WindowStep + 1;
    if (screen_width > 0 && screen_height > 0) {
        places = std::min(places, std::min(screen_width, screen_height) / WindowStep);
    }
    return std::max(places, 1);
}

WindowPlace window_place(int window_index, int screen_width, int screen_height) {
    const int slot = window_index % places_that_fit(screen_width, screen_height);
    return {WindowStep * slot, WindowStep * slot, slot != window_index};
}

void report_moved_window(std::ostream& out, int window_index, const WindowPlace& place,
                         int screen_width, int screen_height) {
    const long own = static_cast<long>(WindowStep) * window_index;
    out << "Window " << window_index << "'s place (" << own << ", " << own << ") does not fit the "
        << screen_width << " x " << screen_height << " screen: it is drawn at (" << place.x << ", "
        << place.y << ")." << std::endl;
}
