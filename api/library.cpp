// The shared library's own translation unit: its content comes from the layer archives linked
// whole into it.
