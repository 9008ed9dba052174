#pragma once

// GL and GLUT side of the frame: render state, display and reshape callbacks.
void setup_render_state();
void on_display();
void on_reshape(int width, int height);
