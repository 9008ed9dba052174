"""The rendering environment every window gets, on one host as across hosts.

GPU drivers hold each frame until the display's next refresh by default on many set-ups
(Mesa's vblank_mode, NVIDIA's __GL_SYNC_TO_VBLANK), which measures the monitor rather than
the GPU; a run turns that off unless asked to keep the driver's default (--vsync). The user's
own choices of renderer and threads reach the windows on every host as they do on one.
"""

NO_VSYNC = {"vblank_mode": "0", "__GL_SYNC_TO_VBLANK": "0"}
USER_VARIABLES = ("LP_NUM_THREADS", "GALLIUM_DRIVER", "LIBGL_ALWAYS_SOFTWARE",
                  "__GLX_VENDOR_LIBRARY_NAME", "DRI_PRIME", "__NV_PRIME_RENDER_OFFLOAD",
                  "MESA_LOADER_DRIVER_OVERRIDE")


def rendering_env(environ, vsync):
    """{name: value} the windows get: sync to the refresh off unless vsync, and the user's
    own USER_VARIABLES that environ sets. With vsync, the user's own settings of the sync
    variables pass on as they are."""
    names = USER_VARIABLES + (tuple(NO_VSYNC) if vsync else ())
    env = {name: environ[name] for name in names if name in environ}
    if not vsync:
        env.update(NO_VSYNC)
    return env
