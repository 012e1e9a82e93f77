// The same floor as floor.c, built as C++: what loading the C++ runtime
// costs a program that uses none of it.
#include "floor.c"
