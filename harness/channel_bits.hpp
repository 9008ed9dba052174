#pragma once

// Red, green and blue bit depths of the created window.
struct ChannelBits {
    int red = 0;
    int green = 0;
    int blue = 0;
};
