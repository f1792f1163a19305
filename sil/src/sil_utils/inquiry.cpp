// lunscan's entry point.
#include "inquiry.h"

int main(int argc, char** argv) { return inquiry_main(argc, argv); }
