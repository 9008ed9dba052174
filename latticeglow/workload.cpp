#include "workload.hpp"

#include "lattice.hpp"
#include "state.hpp"

#include <GL/gl.h>
#include <mpi.h>

#include <iostream>

namespace {
struct GlPointSink {
    static void normal(double x, double y, double z) { glNormal3d(x, y, z); }
    static void colour(double r, double g, double b) { glColor3d(r, g, b); }
    static void vertex(double x, double y, double z) { glVertex3d(x, y, z); }
};
} // namespace

void build_scene() {
    const int w = state::window_index;
    if (!lattice_bits_supported(state::channel_bits)) {
        // Every window on this display would refuse too: nothing can be measured.
        write_lattice_bits_refusal(std::cerr, w, state::channel_bits);
        MPI_Abort(MPI_COMM_WORLD, 1);
    }
    const GLuint list = glGenLists(1);
    state::scene_lists[w] = list;
    glNewList(list, GL_COMPILE);
    glPushMatrix();
    glPushClientAttrib(GL_CLIENT_ALL_ATTRIB_BITS);
    glBegin(GL_POINTS);
    GlPointSink sink;
    walk_lattice(state::channel_bits, sink);
    glEnd();
    glPopClientAttrib();
    glPopMatrix();
    glEndList();
}

// Both pushes stay open: the frame pops them after the help overlay.
void draw_scene() {
    glPushMatrix();
    glPushClientAttrib(GL_CLIENT_ALL_ATTRIB_BITS);
    glCallList(state::scene_lists[state::window_index]);
}

double vertices_per_frame() {
    return lattice_vertex_count(state::channel_bits);
}
