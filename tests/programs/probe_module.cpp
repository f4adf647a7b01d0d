// A shared library with nothing in it that would pin it: dlclose really unmaps it.
extern "C" int tarnwickProbe() { return 1; }
