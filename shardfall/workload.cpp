#include "workload.hpp"

#include "draw_count.hpp"
#include "scene_fill.hpp"
#include "scene_memory.hpp"
#include "state.hpp"

#include <GL/gl.h>

#include <cstdio>
#include <cstdlib>

namespace {

// Reserved as the process starts, before main and MPI, and never freed: GL keeps pointers
// into it for as long as the window exists. Only the address range is taken here; backing it
// with pages is part of the fill.
double* allocate_scene_buffer() {
    double* buffer = reserve_scene_memory(SceneBufferBytes, default_page_strategy());
    if (buffer == nullptr) {
        std::fprintf(stderr, "%s\n",
                     allocation_failure_message("shardfall", SceneBufferBytes).c_str());
        std::_Exit(1);
    }
    return buffer;
}

double* const scene_buffer = allocate_scene_buffer();

RankTable<std::int64_t> draw_counts{};

} // namespace

void bind_scene_arrays() {
    glColorPointer(3, GL_DOUBLE, 0, scene_buffer);
    glVertexPointer(3, GL_DOUBLE, 0, scene_buffer);
    glNormalPointer(GL_DOUBLE, 0, scene_buffer);
}

// The fill runs while the list is being compiled; the client-attribute push and pop execute
// at once, so the list keeps only the matrix push and pop.
void build_scene() {
    const GLuint list = glGenLists(1);
    state::scene_lists[state::window_index] = list;
    glNewList(list, GL_COMPILE);
    glPushMatrix();
    glPushClientAttrib(GL_CLIENT_ALL_ATTRIB_BITS);
    fill_scene_buffer(scene_buffer);
    glPopClientAttrib();
    glPopMatrix();
    glEndList();
}

void draw_scene() {
    const int w = state::window_index;
    draw_counts[w] = draw_count(w, state::angle_step);
    glCallList(state::scene_lists[w]);
    glDrawElements(GL_TRIANGLES, static_cast<GLsizei>(draw_counts[w]), GL_UNSIGNED_BYTE,
                   scene_buffer);
}

std::int64_t triangles_per_frame() {
    return triangles_for_draw_count(draw_counts[state::window_index]);
}
