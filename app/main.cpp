// orvel: the gateway executable. Everything lives in the library.
#include "app/start.h"

int main() { return orvel_main(); }
