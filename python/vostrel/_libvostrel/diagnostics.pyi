# The diagnostics submodule has no members yet.
