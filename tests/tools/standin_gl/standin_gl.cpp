// A stand-in for a GL driver that draws the wrong picture, put in front of the programs with
// LD_PRELOAD. STANDIN_GL picks the fault:
//   nothing    display lists replay nothing, element draws draw nothing (an empty window)
//   half       element draws draw half their indices; lattice points with x >= 0.5 are left
//              out (half the geometry)
//   white      every colour white (glColor*, and colour arrays through glColorPointer)
//   turned     the model rotation 40 degrees further (the wrong angle)
//   nosmooth   point smoothing never enabled (a legal difference: must still pass)
// Anything else passes every call through. STANDIN_GL may also give a fault per window,
// "2:nothing,3:white", with the window's number in STANDIN_GL_WINDOW (bench-run --wrap
// "env LD_PRELOAD=... STANDIN_GL_WINDOW={window} STANDIN_GL=2:nothing,3:white").
#include <GL/gl.h>
#include <dlfcn.h>
#include <cstdlib>
#include <string>

namespace {

std::string chosen_fault() {
    const char* text = std::getenv("STANDIN_GL");
    std::string faults = text != nullptr ? text : "";
    if (faults.find(':') == std::string::npos) return faults;
    const char* window = std::getenv("STANDIN_GL_WINDOW");
    const std::string mine = std::string(window != nullptr ? window : "") + ":";
    size_t at = 0;
    while (at < faults.size()) {
        size_t end = faults.find(',', at);
        if (end == std::string::npos) end = faults.size();
        const std::string item = faults.substr(at, end - at);
        if (item.compare(0, mine.size(), mine) == 0) return item.substr(mine.size());
        at = end + 1;
    }
    return "";
}

bool fault(const char* name) {
    static const std::string chosen = chosen_fault();
    return chosen == name;
}

template <typename F>
F next(const char* symbol) {
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, symbol));
}

GLdouble white_array[3 * 256];

}  // namespace

extern "C" {

void glCallList(GLuint list) {
    if (fault("nothing")) return;
    next<void (*)(GLuint)>("glCallList")(list);
}

void glDrawElements(GLenum mode, GLsizei count, GLenum type, const void* indices) {
    if (fault("nothing")) return;
    if (fault("half")) count = count / 2 / 3 * 3;
    next<void (*)(GLenum, GLsizei, GLenum, const void*)>("glDrawElements")(mode, count, type,
                                                                           indices);
}

void glVertex3d(GLdouble x, GLdouble y, GLdouble z) {
    if (fault("half") && x >= 0.5) return;
    next<void (*)(GLdouble, GLdouble, GLdouble)>("glVertex3d")(x, y, z);
}

void glColor3d(GLdouble r, GLdouble g, GLdouble b) {
    if (fault("white")) r = g = b = 1.0;
    next<void (*)(GLdouble, GLdouble, GLdouble)>("glColor3d")(r, g, b);
}

void glColor3f(GLfloat r, GLfloat g, GLfloat b) {
    if (fault("white")) r = g = b = 1.0f;
    next<void (*)(GLfloat, GLfloat, GLfloat)>("glColor3f")(r, g, b);
}

void glColorPointer(GLint size, GLenum type, GLsizei stride, const void* pointer) {
    if (fault("white")) {
        for (double& c : white_array) c = 1.0;
        size = 3, type = GL_DOUBLE, stride = 0, pointer = white_array;
    }
    next<void (*)(GLint, GLenum, GLsizei, const void*)>("glColorPointer")(size, type, stride,
                                                                         pointer);
}

void glRotated(GLdouble angle, GLdouble x, GLdouble y, GLdouble z) {
    if (fault("turned")) angle += 40.0;
    next<void (*)(GLdouble, GLdouble, GLdouble, GLdouble)>("glRotated")(angle, x, y, z);
}

void glEnable(GLenum cap) {
    if (fault("nosmooth") && cap == GL_POINT_SMOOTH) return;
    next<void (*)(GLenum)>("glEnable")(cap);
}

}  // extern "C"
