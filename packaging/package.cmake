# What `cmake --install` and the .deb put in place (prefix /usr for the .deb):
#
#   bin/shardfall, bin/latticeglow           the programs (their own install rules)
#   lib/<package>/tools/                     the tools and their Python package, benchlib
#   bin/bench-run, bin/bench-report, ...     links to the tools: each finds benchlib, the
#                                            agent and the programs from its real path
#   share/doc/<package>/                     README.md and docs/
#
# One package per MPI build, with the MPI runtime it was built with: tarnwick-benchmarks
# (OpenMPI, the `default` preset) and tarnwick-benchmarks-mpich (the `mpich` preset). Both
# hold the same paths, so each conflicts with the other.
#
#   cmake --build --preset default --target package     (or `cpack` in the build tree)

set(BENCH_PACKAGE_BASE tarnwick-benchmarks)
if(MPI_CXX_LIBRARIES MATCHES "mpich")
    set(BENCH_MPI mpich)
    set(BENCH_PACKAGE ${BENCH_PACKAGE_BASE}-mpich)
    set(bench_other_package ${BENCH_PACKAGE_BASE})
    set(bench_mpi_runtime "mpich")
    set(bench_mpi_name MPICH)
elseif(MPI_CXX_LIBRARIES MATCHES "openmpi")
    set(BENCH_MPI openmpi)
    set(BENCH_PACKAGE ${BENCH_PACKAGE_BASE})
    set(bench_other_package ${BENCH_PACKAGE_BASE}-mpich)
    set(bench_mpi_runtime "openmpi-bin")
    set(bench_mpi_name OpenMPI)
else()
    message(FATAL_ERROR "Neither OpenMPI nor MPICH in MPI_CXX_LIBRARIES (${MPI_CXX_LIBRARIES}): "
                        "configure with a preset (cmake --preset default, or --preset mpich)")
endif()

# The commands put on PATH.
set(BENCH_TOOLS bench-run bench-report bench-compare bench-history bench-agent bench-wrap bench-sbatch)

set(bench_tools_dir lib/${BENCH_PACKAGE}/tools)
set(bench_doc_dir share/doc/${BENCH_PACKAGE})
set(bench_links ${CMAKE_CURRENT_BINARY_DIR}/packaging/bin)
file(MAKE_DIRECTORY ${bench_links})
foreach(tool IN LISTS BENCH_TOOLS)
    install(PROGRAMS tools/${tool} DESTINATION ${bench_tools_dir})
    # Relative, so that the links hold under any prefix (bin/ and lib/ are siblings).
    file(CREATE_LINK ../${bench_tools_dir}/${tool} ${bench_links}/${tool} SYMBOLIC)
    install(FILES ${bench_links}/${tool} DESTINATION bin)
endforeach()
install(DIRECTORY tools/benchlib DESTINATION ${bench_tools_dir}
        FILES_MATCHING PATTERN "*.py" PATTERN "*.j2" PATTERN "__pycache__" EXCLUDE)
install(FILES README.md DESTINATION ${bench_doc_dir})
install(DIRECTORY docs DESTINATION ${bench_doc_dir} FILES_MATCHING PATTERN "*.md")

# The package byte-compiles benchlib when installed and removes the compiled files before it
# is removed, so that runs of the tools as root write nothing into /usr.
configure_file(packaging/postinst.in packaging/postinst @ONLY)
configure_file(packaging/prerm.in packaging/prerm @ONLY)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${BENCH_PACKAGE})
set(CPACK_PACKAGE_VENDOR "Tarnwick")
set(CPACK_PACKAGE_CONTACT "Tarnwick benchmark maintainers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "OpenGL benchmarks under MPI (shardfall, latticeglow) and their tools")
set(CPACK_PACKAGE_DESCRIPTION "shardfall draws a growing stream of triangles, latticeglow one point per \
colour of the display; every window times every frame and writes a results file. bench-run runs \
them unattended on one host or across hosts, bench-report and bench-compare read and compare the \
results, bench-sbatch runs them as a Slurm batch job. Built against ${bench_mpi_name}; \
documentation in /usr/${bench_doc_dir}.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_STRIP_FILES ON)
# The libraries the programs link (MPI, freeglut, GL, GLU, SLEEF) come from dpkg-shlibdeps
# (dpkg-dev); these are what they load or run besides: the MPI launcher, Mesa's GLX and DRI
# drivers, glxinfo, and what the tools call.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "${bench_mpi_runtime}, libglx-mesa0, libgl1-mesa-dri, mesa-utils, xvfb, xauth, xdotool, python3, python3-xlib, python3-matplotlib, python3-scipy, python3-jinja2, python3-numpy, python3-pil")
set(CPACK_DEBIAN_PACKAGE_CONFLICTS ${bench_other_package})
set(CPACK_DEBIAN_PACKAGE_REPLACES ${bench_other_package})
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_BINARY_DIR}/packaging/postinst ${CMAKE_CURRENT_BINARY_DIR}/packaging/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
