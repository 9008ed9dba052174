#include "input_callbacks.hpp"

#include "input.hpp"
#include "run.hpp"
#include "state.hpp"

#include <GL/freeglut.h>

static_assert(LeftButton == GLUT_LEFT_BUTTON && RightButton == GLUT_RIGHT_BUTTON &&
              ButtonDown == GLUT_DOWN);

void on_idle() {
    state::angle_step += 1;
    glutPostWindowRedisplay(state::window_handles[state::window_index]);
}

namespace {
void apply(InputAction action) {
    switch (action) {
    case InputAction::FinishRun:
        finish_run();
        break;
    case InputAction::StepOnce:
        state::angle_step += 1;
        glutPostWindowRedisplay(state::window_handles[state::window_index]);
        break;
    case InputAction::Pause:
        glutIdleFunc(nullptr);
        break;
    case InputAction::Animate:
        glutIdleFunc(on_idle);
        break;
    case InputAction::None:
        break;
    }
}
} // namespace

void on_mouse(int button, int button_state, int /*x*/, int /*y*/) {
    apply(mouse_action(button, button_state));
}

void on_keyboard(unsigned char key, int /*x*/, int /*y*/) {
    apply(key_action(key));
}

// A window closed by the user ends its own process the way Esc does, so that the other
// windows of the run go on (a rank that ends without finalising brings the whole job down).
void on_close() {
    finish_run();
}
