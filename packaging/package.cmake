# What `cmake --install` and the packages put in place (prefix /usr for the .deb and RPM):
#
#   bin/shardfall, bin/latticeglow           the programs (their own install rules)
#   lib/<package>/tools/                     the tools and their Python package, benchlib
#   bin/bench-run, bin/bench-report, ...     links to the tools: each finds benchlib, the
#                                            agent and the programs from its real path
#   share/man/man1/                          a man page for every command
#   share/bash-completion/completions/       the tools' completion in bash
#   share/doc/<package>/                     README.md, docs/, copyright, changelog.gz
#   share/modulefiles/<package>/<version>    an environment module of the tree (Tcl, and
#   share/lmod/<package>/<version>.lua       Lmod's Lua), for a prefix other than /usr
#
# One package per MPI build, with the MPI runtime it was built with: tarnwick-benchmarks
# (OpenMPI, the `default` preset) and tarnwick-benchmarks-mpich (the `mpich` preset). Both
# hold the same paths, so each conflicts with the other.
#
#   cmake --build --preset default --target package     (or `cpack` in the build tree)
#   cpack -G RPM                                         (in the build tree: the RPM)

set(BENCH_PACKAGE_BASE tarnwick-benchmarks)
if(MPI_CXX_LIBRARIES MATCHES "mpich")
    set(BENCH_MPI mpich)
    set(BENCH_PACKAGE ${BENCH_PACKAGE_BASE}-mpich)
    set(bench_other_package ${BENCH_PACKAGE_BASE})
    set(bench_mpi_runtime "mpich")
    set(bench_mpi_runtime_rpm "mpich")
    set(bench_mpi_name MPICH)
elseif(MPI_CXX_LIBRARIES MATCHES "openmpi")
    set(BENCH_MPI openmpi)
    set(BENCH_PACKAGE ${BENCH_PACKAGE_BASE})
    set(bench_other_package ${BENCH_PACKAGE_BASE}-mpich)
    set(bench_mpi_runtime "openmpi-bin")
    set(bench_mpi_runtime_rpm "openmpi")
    set(bench_mpi_name OpenMPI)
else()
    message(FATAL_ERROR "Neither OpenMPI nor MPICH in MPI_CXX_LIBRARIES (${MPI_CXX_LIBRARIES}): "
                        "configure with a preset (cmake --preset default, or --preset mpich)")
endif()

# The commands put on PATH.
set(BENCH_TOOLS bench-run bench-report bench-compare bench-history bench-agent bench-wrap bench-sbatch)

set(bench_tools_dir lib/${BENCH_PACKAGE}/tools)
set(bench_doc_dir share/doc/${BENCH_PACKAGE})
set(bench_python /usr/bin/python3)   # the interpreter of the installed tools
set(bench_staged ${CMAKE_CURRENT_BINARY_DIR}/packaging)
set(bench_links ${bench_staged}/bin)
file(MAKE_DIRECTORY ${bench_links} ${bench_staged}/tools)
foreach(tool IN LISTS BENCH_TOOLS)
    # The installed copy starts its interpreter directly: Debian's and RHEL's packaging accept
    # no `#!/usr/bin/env -S ...`, which the checkout's copies use to hold Ctrl-C back.
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS tools/${tool})
    file(READ tools/${tool} script)
    string(REGEX REPLACE "^#![^\n]*python3\n" "#!${bench_python}\n" script "${script}")
    file(WRITE ${bench_staged}/tools/${tool}.new "${script}")
    file(COPY_FILE ${bench_staged}/tools/${tool}.new ${bench_staged}/tools/${tool}
         ONLY_IF_DIFFERENT)
    file(REMOVE ${bench_staged}/tools/${tool}.new)
    install(PROGRAMS ${bench_staged}/tools/${tool} DESTINATION ${bench_tools_dir})
    # Relative, so that the links hold under any prefix (bin/ and lib/ are siblings).
    file(CREATE_LINK ../${bench_tools_dir}/${tool} ${bench_links}/${tool} SYMBOLIC)
    install(FILES ${bench_links}/${tool} DESTINATION bin)
endforeach()
install(DIRECTORY tools/benchlib DESTINATION ${bench_tools_dir}
        FILES_MATCHING PATTERN "*.py" PATTERN "*.j2" PATTERN "*.json" PATTERN "__pycache__" EXCLUDE)
install(FILES README.md packaging/copyright DESTINATION ${bench_doc_dir})
install(DIRECTORY docs DESTINATION ${bench_doc_dir} FILES_MATCHING PATTERN "*.md")

# A man page for every command, made from what its --help shows (packaging/manpages.py), and
# the tools' bash completion (argcomplete): both made again when the tools change.
set(bench_commands ${BENCH_TOOLS} shardfall latticeglow)
set(bench_completed bench-run bench-report bench-compare bench-history)
file(GLOB_RECURSE bench_tool_sources CONFIGURE_DEPENDS tools/benchlib/*.py)
list(TRANSFORM bench_commands PREPEND ${bench_staged}/man/ OUTPUT_VARIABLE bench_man_pages)
list(TRANSFORM bench_man_pages APPEND .1.gz)
list(TRANSFORM bench_completed PREPEND ${bench_staged}/completions/ OUTPUT_VARIABLE
     bench_completions)
add_custom_command(
    OUTPUT ${bench_man_pages}
    COMMAND ${bench_python} -B ${CMAKE_CURRENT_SOURCE_DIR}/packaging/manpages.py
            ${bench_staged}/man ${PROJECT_VERSION} ${bench_commands}
    DEPENDS packaging/manpages.py packaging/man/shardfall.1 packaging/man/latticeglow.1
            tools/bench-sbatch ${bench_tool_sources}
    COMMENT "Man pages of the commands, from their parsers")
add_custom_command(
    OUTPUT ${bench_completions}
    COMMAND ${bench_python} -B ${CMAKE_CURRENT_SOURCE_DIR}/packaging/completions.py
            ${bench_staged}/completions ${bench_completed}
    DEPENDS packaging/completions.py
    COMMENT "Bash completion of the tools")
configure_file(packaging/changelog.in packaging/changelog @ONLY)
add_custom_command(
    OUTPUT ${bench_staged}/changelog.gz
    COMMAND gzip -9nc ${bench_staged}/changelog > ${bench_staged}/changelog.gz
    DEPENDS ${bench_staged}/changelog)
add_custom_target(package-files ALL
    DEPENDS ${bench_man_pages} ${bench_completions} ${bench_staged}/changelog.gz)
install(FILES ${bench_man_pages} DESTINATION share/man/man1)
install(FILES ${bench_completions} DESTINATION share/bash-completion/completions)
install(FILES ${bench_staged}/changelog.gz DESTINATION ${bench_doc_dir})

# The environment module of an install tree of its own (`cmake --install --prefix DIR`): it
# names the tree, so it is written at install time; the packages install into /usr, already
# on PATH, and hold none.
configure_file(packaging/modulefiles.cmake.in packaging/modulefiles.cmake @ONLY)
install(SCRIPT ${bench_staged}/modulefiles.cmake)

# The packages byte-compile benchlib when installed and remove the compiled files before
# they are removed, so that runs of the tools as root write nothing into /usr.
configure_file(packaging/postinst.in packaging/postinst @ONLY)
configure_file(packaging/prerm.in packaging/prerm @ONLY)

# What the packages need, as Debian and RHEL-family systems (RHEL, Rocky, Alma; EPEL for
# xdotool, python-xlib and sleef) name it: "Debian|RHEL". The libraries the programs link
# (MPI, freeglut, libOpenGL, GLU, SLEEF) come on Debian from dpkg-shlibdeps (dpkg-dev), hence
# "-"; besides those, the MPI launcher, Mesa's GLX and DRI drivers, glxinfo and what the
# tools call. Python modules go by the name RHEL's packages provide, python3dist(...).
set(bench_needs
    "${bench_mpi_runtime}|${bench_mpi_runtime_rpm}" "-|freeglut" "-|libOpenGL.so.0()(64bit)"
    "-|mesa-libGLU" "-|sleef" "libglx-mesa0|mesa-libGL" "libgl1-mesa-dri|mesa-dri-drivers"
    "mesa-utils|glx-utils" "xvfb|xorg-x11-server-Xvfb" "xauth|xorg-x11-xauth" "xdotool|xdotool"
    "python3|python3" "python3-xlib|python3dist(python-xlib)"
    "python3-matplotlib|python3dist(matplotlib)" "python3-scipy|python3dist(scipy)"
    "python3-jinja2|python3dist(jinja2)" "python3-markupsafe|python3dist(markupsafe)"
    "python3-jsonschema|python3dist(jsonschema)" "python3-numpy|python3dist(numpy)"
    "python3-psutil|python3dist(psutil)")
set(bench_needs_deb)
set(bench_needs_rpm)
foreach(pair IN LISTS bench_needs)
    string(REPLACE "|" ";" pair "${pair}")
    list(GET pair 0 deb)
    list(GET pair 1 rpm)
    if(NOT deb STREQUAL "-")
        list(APPEND bench_needs_deb ${deb})
    endif()
    list(APPEND bench_needs_rpm ${rpm})
endforeach()
list(JOIN bench_needs_deb ", " bench_needs_deb)
list(JOIN bench_needs_rpm ", " bench_needs_rpm)

set(CPACK_GENERATOR DEB)    # and `cpack -G RPM`
set(CPACK_PACKAGE_NAME ${BENCH_PACKAGE})
set(CPACK_PACKAGE_VENDOR "Tarnwick")
set(CPACK_PACKAGE_CONTACT "Tarnwick benchmarks <bench@tarnwick.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "OpenGL benchmarks under MPI (shardfall, latticeglow) and their tools")
set(CPACK_PACKAGE_DESCRIPTION "shardfall draws a growing stream of triangles, latticeglow one
point per colour of the display; every window times every frame and writes
a results file. bench-run runs them unattended on one host or across hosts,
bench-report and bench-compare read and compare the results, bench-history
follows them over time, bench-sbatch runs them as a Slurm batch job.
Built against ${bench_mpi_name}; documentation in /usr/${bench_doc_dir}.")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${bench_needs_deb}")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3-argcomplete, bash-completion")
set(CPACK_DEBIAN_PACKAGE_CONFLICTS ${bench_other_package})
set(CPACK_DEBIAN_PACKAGE_REPLACES ${bench_other_package})
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_BINARY_DIR}/packaging/postinst ${CMAKE_CURRENT_BINARY_DIR}/packaging/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)

# The RPM names what it needs itself: requirements rpmbuild would read from the programs
# here are Debian's library names, which RHEL-family systems do not provide.
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_RELEASE 1)
set(CPACK_RPM_PACKAGE_DESCRIPTION "${CPACK_PACKAGE_DESCRIPTION}")
set(CPACK_RPM_PACKAGE_LICENSE "Tarnwick-internal")
set(CPACK_RPM_PACKAGE_GROUP "Applications/Engineering")
set(CPACK_RPM_PACKAGE_URL "https://tarnwick.example/benchmarks")
set(CPACK_RPM_PACKAGE_AUTOREQPROV OFF)
set(CPACK_RPM_PACKAGE_REQUIRES "${bench_needs_rpm}")
set(CPACK_RPM_PACKAGE_SUGGESTS "python3dist(argcomplete), bash-completion")
set(CPACK_RPM_PACKAGE_CONFLICTS ${bench_other_package})
set(CPACK_RPM_SPEC_MORE_DEFINE "%define packager ${CPACK_PACKAGE_CONTACT}")
configure_file(packaging/rpm-changelog.in packaging/rpm-changelog @ONLY)
set(CPACK_RPM_CHANGELOG_FILE ${bench_staged}/rpm-changelog)
configure_file(packaging/rpm-post.in packaging/rpm-post @ONLY)
configure_file(packaging/rpm-preun.in packaging/rpm-preun @ONLY)
set(CPACK_RPM_POST_INSTALL_SCRIPT_FILE ${bench_staged}/rpm-post)
set(CPACK_RPM_PRE_UNINSTALL_SCRIPT_FILE ${bench_staged}/rpm-preun)
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    /usr/share/man /usr/share/man/man1 /usr/share/bash-completion /usr/share/bash-completion/completions)
include(CPack)
