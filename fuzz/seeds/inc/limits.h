/* Shared limit record (a header in a folder of its own, so that the line
   tables of the dumps have a directory table). */
struct Limits {
    short low;
    short high;
};
