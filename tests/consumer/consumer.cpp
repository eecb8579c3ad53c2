// The C checks compiled as C++: the header must declare the calls with C linkage.
#include "consumer.c"
