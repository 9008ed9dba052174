#include "profile.hpp"
#include "run.hpp"

extern const ProgramProfile shardfall_profile;

int main(int argc, char** argv) {
    return run_program(shardfall_profile, argc, argv);
}
