#pragma once

// GLUT input callbacks: they animate, step, pause and end the run.
void on_idle();
void on_mouse(int button, int button_state, int x, int y);
void on_keyboard(unsigned char key, int x, int y);
void on_close();
