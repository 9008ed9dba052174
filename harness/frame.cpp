#include "frame.hpp"

#include "render_math.hpp"
#include "state.hpp"
#include "window_reports.hpp"

#include <GL/freeglut.h>
#include <GL/glu.h>
#include <mpi.h>

#include <cmath>

void setup_render_state() {
    const ProgramProfile& profile = *state::profile;
    glShadeModel(GL_SMOOTH);
    glEnable(GL_POINT_SMOOTH);
    glEnable(GL_FOG);
    glEnable(GL_LIGHT0);
    glEnable(GL_LIGHTING);
    glHint(GL_POINT_SMOOTH_HINT, GL_NICEST);
    glHint(GL_FOG_HINT, GL_NICEST);
    glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
    for (GLenum cap :
         {GL_BLEND, GL_ALPHA_TEST, GL_AUTO_NORMAL, GL_COLOR_MATERIAL, GL_DITHER, GL_SCISSOR_TEST,
          GL_STENCIL_TEST, GL_DEPTH_TEST, GL_NORMALIZE, GL_LINE_STIPPLE}) {
        glEnable(cap);
    }
    glPolygonMode(GL_FRONT, GL_FILL);
    glPolygonMode(GL_BACK, GL_LINE);
    if (profile.point_mode_faces) {
        glPolygonMode(GL_FRONT_AND_BACK, GL_POINT);
        // Counter-clockwise, then clockwise: the second call decides, front faces are clockwise.
        glFrontFace(GL_CCW);
        glFrontFace(GL_CW);
    }
    glEnable(GL_CULL_FACE);
    glEnable(GL_POLYGON_STIPPLE);
    glEnableClientState(GL_COLOR_ARRAY);
    glEnableClientState(GL_NORMAL_ARRAY);
    glEnableClientState(GL_VERTEX_ARRAY);
    if (profile.bind_scene_arrays != nullptr) {
        profile.bind_scene_arrays();
    }
    glDrawBuffer(GL_FRONT_AND_BACK);
    glBlendFunc(GL_SRC_ALPHA, GL_ONE_MINUS_SRC_ALPHA);
}

namespace {

void clear_frame(bool clear_first) {
    constexpr GLbitfield all =
        GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT | GL_STENCIL_BUFFER_BIT | GL_ACCUM_BUFFER_BIT;
    if (clear_first) {
        glClear(all);
    }
    glClearColor(0, 0, 0, 0);
    glClearDepth(1);
    glClearStencil(0);
    glClearAccum(0, 0, 0, 0);
    if (!clear_first) {
        glClear(all);
    }
}

void set_lighting(const LightSet& l) {
    glLightfv(GL_LIGHT0, GL_POSITION, l.position.data());
    glLightfv(GL_LIGHT0, GL_SPOT_DIRECTION, l.spot_direction.data());
    glLightfv(GL_LIGHT0, GL_AMBIENT, l.ambient.data());
    glLightfv(GL_LIGHT0, GL_DIFFUSE, l.diffuse.data());
    glMaterialfv(GL_FRONT_AND_BACK, GL_SPECULAR, l.specular.data());
    glMaterialf(GL_FRONT_AND_BACK, GL_SHININESS, l.shininess);
    glMaterialfv(GL_FRONT_AND_BACK, GL_AMBIENT, l.ambient.data());
    glMaterialfv(GL_FRONT_AND_BACK, GL_DIFFUSE, l.diffuse.data());
    glMaterialfv(GL_FRONT_AND_BACK, GL_EMISSION, l.emission.data());
    glLightModelfv(GL_LIGHT_MODEL_AMBIENT, l.model_ambient.data());
    glLightModeli(GL_LIGHT_MODEL_LOCAL_VIEWER, 1);
    glLightModeli(GL_LIGHT_MODEL_TWO_SIDE, 1);
    glLogicOp(GL_XOR);
    glLightf(GL_LIGHT0, GL_CONSTANT_ATTENUATION, l.constant_attenuation);
    glLightf(GL_LIGHT0, GL_LINEAR_ATTENUATION, l.linear_attenuation);
    glLightf(GL_LIGHT0, GL_QUADRATIC_ATTENUATION, l.quadratic_attenuation);
}

void draw_help_overlay() {
    glDisable(GL_LIGHTING);
    glDisable(GL_DEPTH_TEST);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    glOrtho(0, glutGet(GLUT_WINDOW_WIDTH), 0, glutGet(GLUT_WINDOW_HEIGHT), -1, 1);
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();

    const auto colour = overlay_colour(state::angle_step, state::channel_bits);
    glColor3f(colour[0], colour[1], colour[2]);
    glRasterPos2i(10, overlay_line_y(0));
    int line_feeds = 0;
    for (const char* c = state::hud_text; *c != '\0'; ++c) {
        if (*c == '\n') {
            ++line_feeds;
            glRasterPos2i(10, overlay_line_y(line_feeds));
        }
        glutBitmapCharacter(GLUT_BITMAP_HELVETICA_18, static_cast<unsigned char>(*c));
    }

    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
    glColor4f(1, 1, 1, 1);
    glEnable(GL_DEPTH_TEST);
    glEnable(GL_LIGHTING);
}

} // namespace

void on_display() {
    const ProgramProfile& profile = *state::profile;
    const int w = state::window_index;
    WindowStats& stats = state::window_stats;

    stats.frame_start[w] = MPI_Wtime();
    clear_frame(profile.clear_before_clear_values);
    glPushMatrix();
    glPushClientAttrib(GL_CLIENT_ALL_ATTRIB_BITS);

    const double a = static_cast<double>(state::angle_step);
    // A unit scale changes nothing; it is part of the frame's transform sequence all the same.
    glScaled(1, 1, 1);
    glRotated(a + 45, 1, 1, 1);
    glTranslated(-0.5, -0.5, -0.5);
    set_lighting(light_set(state::angle_step));

    profile.draw_scene();
    draw_help_overlay();

    for (int i = 0; i <= profile.scene_pushes_left_open; ++i) {
        glPopClientAttrib();
        glPopMatrix();
    }
    glutSwapBuffers();
    stats.frame_time[w] = MPI_Wtime() - stats.frame_start[w];

    if (state::angle_step != 0) {
        record_frame();
    }
}

void on_reshape(int width, int height) {
    glViewport(0, 0, width, height);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    const OrthoBox box = reshape_box(width, height);
    glOrtho(box.left, box.right, box.bottom, box.top, -1, 1);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    const double a = static_cast<double>(state::angle_step);
    gluLookAt(0.5, -0.5, 0.5, 0, std::sin(a), 0, 0.5, 0.5, 0.5);
}
