#pragma once

// The colour lattice: one point per displayable colour, compiled once into the scene list.
void build_scene();
void draw_scene();
double vertices_per_frame();
