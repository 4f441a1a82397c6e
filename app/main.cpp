#include "app/RoVivazava.h"

int main(int argc, char** argv) { return runRoVivazava(argc, argv); }
