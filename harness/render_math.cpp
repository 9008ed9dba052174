#include "render_math.hpp"

#include <cmath>

LightSet light_set(std::int64_t angle_step) {
    const double a = static_cast<double>(angle_step);
    const double t = std::atan(a);
    const double s = std::sin(a);
    const double c = std::cos(a);
    const auto f = [](double v) { return static_cast<float>(v); };
    const float ht = f(t * 0.5);
    const float hs = f(s * 0.5);
    const float hc = f(c * 0.5);

    LightSet l{};
    l.position = {f(t), f(s), f(c), 1.0F};
    l.spot_direction = {f(t), f(s), f(c)};
    l.ambient = {hc, hs, ht, 1.0F};
    l.diffuse = {ht, hs, hc, 1.0F};
    l.emission = {hs, ht, hc, 1.0F};
    l.specular = {ht, hs, hc, 1.0F};
    l.model_ambient = {hc, hs, ht, 1.0F};
    // The low 32 bits as a signed value, C's truncating remainder: negative from 2^31 on.
    const auto low = static_cast<std::int32_t>(static_cast<std::uint32_t>(angle_step));
    l.shininess = static_cast<float>(low % 64);
    l.constant_attenuation = f(c);
    l.linear_attenuation = f(s);
    l.quadratic_attenuation = f(c);
    return l;
}

std::array<float, 3> overlay_colour(std::int64_t angle_step, ChannelBits bits) {
    const double a = static_cast<double>(angle_step);
    const auto channel = [a](int b) { return static_cast<float>((1 / std::pow(2.0, b)) * a); };
    return {channel(bits.red), channel(bits.green), channel(bits.blue)};
}

OrthoBox reshape_box(int width, int height) {
    // The projection's sides come from the sizes converted to single precision, then to
    // double: a size above 2^24 is rounded before the division. Keep the float cast.
    const double fw = static_cast<float>(width);
    const double fh = static_cast<float>(height);
    if (width > height) {
        return {-fw / fh, fw / fh, -1, 1};
    }
    return {-1, 1, -fh / fw, fh / fw};
}
