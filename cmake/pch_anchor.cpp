// Gives the GoogleTest precompiled header a target to be built with.
