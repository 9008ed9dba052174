#include "profile.hpp"
#include "run.hpp"

extern const ProgramProfile latticeglow_profile;

int main(int argc, char** argv) {
    return run_program(latticeglow_profile, argc, argv);
}
