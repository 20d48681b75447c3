// orvel: the gateway executable. Everything lives in the library.
#include "core/loop.h"

int main() { return orvel_main(); }
