#pragma once

#include <ostream>

// Where a window goes on the screen. Window w belongs at (100 w, 100 w), each window 100
// pixels further down the diagonal than the one before. A place fits when the window's
// first 100 x 100 pixels lie on the screen and its corner within X's 16-bit coordinates
// (up to 32,767; on a screen of unknown size only that bounds the diagonal, so the last
// place, 32,700, has its corner inside and the rest of those pixels beyond): windows whose
// own place fits keep it exactly; the others continue the diagonal from its top, window w at
// 100 x (w mod P) where P is the number of places that fit. A window that lay off the screen
// would never be drawn (it is never visible), and a corner past 32,767 would wrap to an
// unrelated place.

inline constexpr int WindowSize = 1440; // width and height of every window
inline constexpr int WindowStep = 100;
inline constexpr int XCoordinateMax = 32767;

struct WindowPlace {
    int x;
    int y;
    bool moved; // not the window's own place (100 w, 100 w)
};

// The places on the diagonal that fit a screen of this size; a size of 0 or less is taken
// as unknown, and then only X's coordinates bound the diagonal.
int places_that_fit(int screen_width, int screen_height);

WindowPlace window_place(int window_index, int screen_width, int screen_height);

// The one line a moved window writes: "Window 330's place (33000, 33000) does not fit the
// 32767 x 32767 screen: it is drawn at (200, 200)."
void report_moved_window(std::ostream& out, int window_index, const WindowPlace& place,
                         int screen_width, int screen_height);
