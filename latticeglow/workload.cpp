#include "workload.hpp"

#include <GL/gl.h>

void build_scene() {}
// The frame pops one more client-attribute and matrix pair than it pushed itself.
void draw_scene() {
    glPushMatrix();
    glPushClientAttrib(GL_CLIENT_ALL_ATTRIB_BITS);
}
double vertices_per_frame() {
    return 0;
}
