#pragma once

// What a key or mouse event asks of the animation.
enum class InputAction { None, FinishRun, StepOnce, Pause, Animate };

// GLUT's codes for the mouse events that act, repeated here so that the dispatch needs no
// GLUT header; the callbacks check at compile time that they agree.
inline constexpr int LeftButton = 0;
inline constexpr int RightButton = 2;
inline constexpr int ButtonDown = 0;

InputAction key_action(unsigned char key);
InputAction mouse_action(int button, int state);
