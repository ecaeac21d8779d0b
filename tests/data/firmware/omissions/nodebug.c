/* Built without -g: its data has no debugging information. */
int nodebug[3] = {1, 2, 3};
struct opaque { int a, b; } opaqueThing;
