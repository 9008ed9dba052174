#pragma once

// What a key or mouse event asks of the animation.
enum class InputAction { None, FinishRun, StepOnce, Pause, Animate };

InputAction key_action(unsigned char key);
InputAction mouse_action(int button, int state);
