#include "input.hpp"

InputAction key_action(unsigned char key) {
    switch (key) {
    case 27:
        return InputAction::FinishRun;
    case 'C':
    case 'c':
        return InputAction::StepOnce;
    case 'P':
    case 'p':
        return InputAction::Pause;
    case 'R':
    case 'r':
        return InputAction::Animate;
    default:
        return InputAction::None;
    }
}

InputAction mouse_action(int button, int state) {
    if (state != ButtonDown) {
        return InputAction::None;
    }
    if (button == LeftButton) {
        return InputAction::Animate;
    }
    if (button == RightButton) {
        return InputAction::Pause;
    }
    return InputAction::None;
}
